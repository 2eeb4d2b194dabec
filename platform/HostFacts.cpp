#include "HostFacts.h"

#include <QFileInfo>

QStringList HostFacts::namesOf(const QString& path) const {
    QStringList names{path};
    const QString resolved = QFileInfo(path).canonicalFilePath();
    if (!resolved.isEmpty() && resolved != path)
        names << resolved;
    return names;
}
