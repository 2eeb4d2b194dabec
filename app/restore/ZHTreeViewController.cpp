#include "ZHTreeViewController.h"

#include <QSet>

namespace {

const QString NoText = QStringLiteral("--");

bool anyChildIn(const ZHTreeNode* node, std::initializer_list<int> states) {
    for (const ZHTreeNode* child : node->getChildren()) {
        for (int state : states)
            if (child->checkState() == state)
                return true;
    }
    return false;
}

bool allChildrenAre(const ZHTreeNode* node, int state) {
    for (const ZHTreeNode* child : node->getChildren())
        if (child->checkState() != state)
            return false;
    return true;
}

} // namespace

ZHTreeViewController::ZHTreeViewController() {
    setRootNode();
}

void ZHTreeViewController::setRootNode() {
    mRoot = std::make_unique<ZHTreeNode>(QString(), nullptr, ZHTreeNode::Off, true, NoText, NoText, NoText);
    mRoot->setIsExpanded(true);
}

qint64 ZHTreeViewController::sizeOfEntry(const QString& typeText) {
    qint64 size = 0;
    for (QChar c : typeText.trimmed()) {
        if (c.isDigit())
            size = size * 10 + c.digitValue();
        else if (c != u',' && c != u'.' && c != u'\'')
            break;
    }
    return size;
}

QString ZHTreeViewController::sizeText(qint64 bytes) {
    static const char* const units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int count = 0;
    while (value > 1024 && count < 4) {
        value /= 1024;
        ++count;
    }
    return QString::asprintf("%4.2f %s", value, units[count]);
}

QList<ZHTreeNode*> ZHTreeViewController::makeNodes(const QList<QVariantMap>& entries, ZHTreeNode* parent,
                                                   bool topLevel) const {
    QList<ZHTreeNode*> nodes;
    nodes.reserve(entries.size());
    // The entries of one folder share few dates, times and sizes: one copy of each text serves them
    // all, which keeps a folder of 100,000 entries small.
    QSet<QString> texts;
    const auto shared = [&texts](const QString& text) { return *texts.insert(text); };
    for (const QVariantMap& entry : entries) {
        const bool isDir = entry.value(QStringLiteral("Permission")).toString().startsWith(u'd');
        const qint64 size = sizeOfEntry(entry.value(QStringLiteral("Type")).toString());
        QString sizeString = NoText;
        if (!isDir && (topLevel || size > 0))
            sizeString = shared(sizeText(size));
        auto* node = new ZHTreeNode(entry.value(QStringLiteral("RelativePath")).toString(), parent,
                                    parent->checkState(), isDir, sizeString,
                                    shared(entry.value(QStringLiteral("LMT")).toString()),
                                    shared(entry.value(QStringLiteral("LMD")).toString()));
        // Only a folder waits for its listing; a file never shows children, so it carries no
        // placeholder.
        if (isDir) {
            node->setIsExpanded(true);
            node->setChildren({new ZHTreeNode(ZHTreeNode::LoadingName, node, ZHTreeNode::Off, true, NoText,
                                              NoText, NoText)});
        }
        nodes.append(node);
    }
    return nodes;
}

void ZHTreeViewController::setRootNodeChildren(const QList<QVariantMap>& entries) {
    mRoot->setChildren(makeNodes(entries, mRoot.get(), true));
}

void ZHTreeViewController::setChildren(const QList<QVariantMap>& entries, ZHTreeNode* node) {
    node->setChildren(makeNodes(entries, node, false));
}

void ZHTreeViewController::addDummyNodeToItem(ZHTreeNode* node) {
    node->setChildren(
        {new ZHTreeNode(ZHTreeNode::LoadingName, node, ZHTreeNode::Off, true, NoText, NoText, NoText)});
}

void ZHTreeViewController::removeDummyFornode(ZHTreeNode* node) {
    node->removeChildren();
}

void ZHTreeViewController::toggleCheckboxStateforNode(ZHTreeNode* node) {
    if (!node)
        return;
    const int s = node->checkState();
    ZHTreeNode* parent = node->parentNode();
    const int p = parent ? parent->checkState() : ZHTreeNode::Off;
    if (s == ZHTreeNode::On && p == ZHTreeNode::On) {
        node->setCheckBoxState(ZHTreeNode::Off);
        bool stop = false;
        for (ZHTreeNode* a = parent; a; a = a->parentNode()) {
            if (stop || anyChildIn(a, {ZHTreeNode::On})) {
                a->setCheckBoxState(ZHTreeNode::Mixed);
                stop = true;
            } else {
                a->setCheckBoxState(ZHTreeNode::Off);
            }
        }
    } else if (s == ZHTreeNode::Off && p == ZHTreeNode::Off) {
        node->setCheckBoxState(ZHTreeNode::On);
        bool stop = false;
        for (ZHTreeNode* a = parent; a; a = a->parentNode()) {
            if (stop || anyChildIn(a, {ZHTreeNode::Off, ZHTreeNode::Mixed})) {
                a->setCheckBoxState(ZHTreeNode::Mixed);
                stop = true;
            } else {
                a->setCheckBoxState(ZHTreeNode::On);
            }
        }
    } else if ((s == ZHTreeNode::Off || s == ZHTreeNode::Mixed) && p == ZHTreeNode::Mixed) {
        node->setCheckBoxState(ZHTreeNode::On);
        for (ZHTreeNode* a = parent; a && allChildrenAre(a, ZHTreeNode::On); a = a->parentNode())
            a->setCheckBoxState(ZHTreeNode::On);
    } else if (s == ZHTreeNode::On && p == ZHTreeNode::Mixed) {
        node->setCheckBoxState(ZHTreeNode::Off);
        for (ZHTreeNode* a = parent; a && allChildrenAre(a, ZHTreeNode::Off); a = a->parentNode())
            a->setCheckBoxState(ZHTreeNode::Off);
    } else if (!parent) {
        node->setCheckBoxState(s == ZHTreeNode::On ? ZHTreeNode::Off : ZHTreeNode::On);
    }
    if (node->isExpanded())
        updateChildNode(node);
}

void ZHTreeViewController::updateChildNode(ZHTreeNode* node) {
    if (!node || node->isPlaceholder() || !node->hasChildren())
        return;
    const int state = node->checkState();
    for (ZHTreeNode* child : node->getChildren()) {
        if (state == ZHTreeNode::Off || state == ZHTreeNode::On)
            child->setCheckBoxState(state);
        if (child->isExpanded())
            updateChildNode(child);
    }
}

void ZHTreeViewController::enumurateForSelChild(ZHTreeNode* node, QList<ZHTreeNode*>& out) const {
    for (ZHTreeNode* child : node->getChildren()) {
        if (child->isPlaceholder())
            continue;
        if (child->checkState() == ZHTreeNode::On)
            out.append(child);
        else
            enumurateForSelChild(child, out);
    }
}

QList<ZHTreeNode*> ZHTreeViewController::getAllSelectedNode() const {
    QList<ZHTreeNode*> out;
    enumurateForSelChild(mRoot.get(), out);
    return out;
}

void ZHTreeViewController::resetTree() {
    mRoot->removeChildren();
    mRoot->setCheckBoxState(ZHTreeNode::Off);
}
