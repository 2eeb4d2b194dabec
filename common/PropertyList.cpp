#include "PropertyList.h"

#include "FileTools.h"

#include <QFile>
#include <QLoggingCategory>

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcPlist, "zorvikhollin.plist")

namespace PropertyList {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistFree>;

bool setError(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

plist_t toNode(const QVariant& value) {
    if (value.typeId() == QMetaType::QVariantMap) {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (plist_t child = toNode(it.value()))
                plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    if (value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList) {
        plist_t array = plist_new_array();
        for (const QVariant& item : value.toList()) {
            if (plist_t child = toNode(item))
                plist_array_append_item(array, child);
        }
        return array;
    }
    if (!value.isValid())
        return nullptr;
    return plist_new_string(value.toString().toUtf8().constData());
}

QVariant fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        const QString value = QString::fromUtf8(text ? text : "");
        std::free(text);
        return value;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return QString::number(v);
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return QString::number(v);
    }
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return v ? QStringLiteral("1") : QStringLiteral("0");
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &key, &child);
            if (!child) {
                std::free(key);
                break;
            }
            const QVariant value = fromNode(child);
            if (value.isValid())
                map.insert(QString::fromUtf8(key), value);
            std::free(key);
        }
        std::free(iter);
        return map;
    }
    case PLIST_ARRAY: {
        QStringList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            const QVariant item = fromNode(plist_array_get_item(node, i));
            if (item.typeId() == QMetaType::QString)
                list << item.toString();
        }
        return list;
    }
    default:
        return QVariant();
    }
}

QByteArray toXml(plist_t node) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    QByteArray out(xml, int(length));
    plist_to_xml_free(xml);
    return out;
}

// How deep dictionaries and arrays nest, counted on the XML before it is parsed: the parser and
// fromNode() recurse once per level. Text cannot hold a raw '<', so every tag is a real one (a
// CDATA section can only make the count larger, which errs on the safe side).
int nestingDepth(const QByteArray& xml) {
    int depth = 0;
    int deepest = 0;
    for (qsizetype at = xml.indexOf('<'); at >= 0; at = xml.indexOf('<', at + 1)) {
        const bool closing = at + 1 < xml.size() && xml.at(at + 1) == '/';
        const qsizetype nameAt = at + (closing ? 2 : 1);
        const auto named = [&](const char* name, qsizetype length) {
            return nameAt + length <= xml.size() &&
                   qstrncmp(xml.constData() + nameAt, name, size_t(length)) == 0;
        };
        if (!named("dict", 4) && !named("array", 5))
            continue;
        const qsizetype end = xml.indexOf('>', at);
        if (end > 0 && xml.at(end - 1) == '/')
            continue; // <dict/>, <array/>
        depth += closing ? -1 : 1;
        deepest = std::max(deepest, depth);
    }
    return deepest;
}

// Parses XML and checks the root's type. libplist prints nothing and returns no node for bad input.
Node parse(const QByteArray& xml, plist_type expected, QString* error) {
    if (xml.trimmed().isEmpty()) {
        setError(error, QStringLiteral("empty property list"));
        return nullptr;
    }
    if (nestingDepth(xml) > MaxNesting) {
        setError(error, QStringLiteral("property list nests deeper than %1 levels").arg(MaxNesting));
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    Node node(root);
    if (!node) {
        setError(error, QStringLiteral("not a property list"));
        return nullptr;
    }
    if (plist_get_node_type(root) != expected) {
        setError(error, expected == PLIST_DICT ? QStringLiteral("property list is not a dictionary")
                                               : QStringLiteral("property list is not an array"));
        return nullptr;
    }
    return node;
}

bool readFile(const QString& path, QByteArray& data, QString* error) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 && errno == ENOENT)
        return setError(error, QStringLiteral("%1 does not exist").arg(path));
    QString why;
    if (!FileTools::readRegularFile(path, MaxFileSize, data, &why)) {
        qCWarning(lcPlist).noquote() << why;
        return setError(error, why);
    }
    return true;
}

} // namespace

QByteArray dictionaryToXml(const QVariantMap& dictionary) {
    Node node(toNode(dictionary));
    return toXml(node.get());
}

QByteArray stringArrayToXml(const QStringList& array) {
    Node node(toNode(array));
    return toXml(node.get());
}

bool dictionaryFromXml(const QByteArray& xml, QVariantMap& out, QString* error) {
    Node node = parse(xml, PLIST_DICT, error);
    if (!node)
        return false;
    out = fromNode(node.get()).toMap();
    return true;
}

bool stringArrayFromXml(const QByteArray& xml, QStringList& out, QString* error) {
    Node node = parse(xml, PLIST_ARRAY, error);
    if (!node)
        return false;
    out = fromNode(node.get()).toStringList();
    return true;
}

QVariantMap readDictionary(const QString& path, QString* error) {
    QByteArray data;
    QVariantMap map;
    if (!readFile(path, data, error))
        return map;
    QString why;
    if (!dictionaryFromXml(data, map, &why)) {
        qCWarning(lcPlist).noquote() << path << ":" << why;
        setError(error, QStringLiteral("%1: %2").arg(path, why));
        return QVariantMap();
    }
    return map;
}

QStringList readStringArray(const QString& path, QString* error) {
    QByteArray data;
    QStringList list;
    if (!readFile(path, data, error))
        return list;
    QString why;
    if (!stringArrayFromXml(data, list, &why)) {
        qCWarning(lcPlist).noquote() << path << ":" << why;
        setError(error, QStringLiteral("%1: %2").arg(path, why));
        return QStringList();
    }
    return list;
}

bool writeDictionary(const QString& path, const QVariantMap& dictionary, mode_t mode, QString* error) {
    return FileTools::writeAtomically(path, dictionaryToXml(dictionary), mode, error);
}

bool writeStringArray(const QString& path, const QStringList& array, mode_t mode, QString* error) {
    return FileTools::writeAtomically(path, stringArrayToXml(array), mode, error);
}

} // namespace PropertyList
