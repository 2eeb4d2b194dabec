#pragma once

#include "QtPrinters.h"

#include <QFile>
#include <QStandardPaths>
#include <QString>

#include <gtest/gtest.h>

#include <unistd.h>

// What a test needs from the machine. Each check answers "" when the machine offers it, else the
// reason the test cannot run here; the fixture below turns a reason into a skip.
namespace needs {

inline QString root(const char* why) {
    return ::geteuid() == 0 ? QString() : QStringLiteral("needs root: ") + QString::fromUtf8(why);
}

inline QString tool(const char* program, const char* package) {
    if (!QStandardPaths::findExecutable(QString::fromUtf8(program)).isEmpty())
        return {};
    return QStringLiteral("%1 is not installed (package %2)")
        .arg(QString::fromUtf8(program), QString::fromUtf8(package));
}

// The first reason of several, or "".
template <typename... Reasons> QString all(const Reasons&... reasons) {
    for (const QString& reason : {QString(reasons)...})
        if (!reason.isEmpty())
            return reason;
    return {};
}

} // namespace needs

// A fixture whose tests need something the machine may not offer. SetUp() asks requirements();
// with a reason it skips and says why, otherwise it calls prepare(). A prepare() that cannot build
// what the test needs calls skip() or fails with ASSERT_*.
class RequiringTest : public ::testing::Test {
  protected:
    virtual QString requirements() { return {}; }
    virtual void prepare() {}

    void SetUp() final {
        const QString why = requirements();
        if (!why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        prepare();
    }
};

// Skips the running test, from a fixture or a test body, when reason is not "".
#define ZH_SKIP_IF(reason)                                                                                   \
    do {                                                                                                     \
        const QString zhSkipReason = (reason);                                                               \
        if (!zhSkipReason.isEmpty())                                                                         \
            GTEST_SKIP() << zhSkipReason.toStdString();                                                      \
    } while (0)

// The whole text of a trace (or any log) file; "" when it does not exist yet.
inline QString readTrace(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}
