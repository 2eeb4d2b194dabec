#include "TimeMachineTool.h"

#include <QProcess>

TimeMachineTool::TimeMachineTool(QString toolPath, int timeoutMs)
    : mToolPath(std::move(toolPath)), mTimeoutMs(timeoutMs) {}

TimeMachineTool::Result TimeMachineTool::run(const QStringList& arguments, const QByteArray& input) const {
    Result result;
    QProcess tool;
    if (input.isEmpty())
        tool.setStandardInputFile(QProcess::nullDevice());
    tool.start(mToolPath, arguments);
    if (!tool.waitForStarted(10000)) {
        result.error = tool.errorString().toUtf8();
        return result;
    }
    if (!input.isEmpty()) {
        tool.write(input);
        tool.waitForBytesWritten(10000);
        tool.closeWriteChannel();
    }
    if (!tool.waitForFinished(mTimeoutMs)) {
        tool.kill();
        tool.waitForFinished(3000);
        result.error = QByteArrayLiteral("the tool did not end in time");
        return result;
    }
    result.output = tool.readAllStandardOutput();
    result.error = tool.readAllStandardError();
    result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    return result;
}

TimeMachineTool::Result TimeMachineTool::setDestination(const QString& user, const QString& password,
                                                        const QString& address,
                                                        const QString& sharePath) const {
    return run(
        {QStringLiteral("setdestination"), QStringLiteral("-p"), destinationUrl(user, address, sharePath)},
        password.toUtf8() + '\n');
}

QString TimeMachineTool::destinationUrl(const QString& user, const QString& address,
                                        const QString& sharePath) {
    return sharePath.startsWith(u'/') ? QStringLiteral("afp://%1@%2%3").arg(user, address, sharePath)
                                      : QStringLiteral("afp://%1@%2/%3").arg(user, address, sharePath);
}

QString TimeMachineTool::mountPointOf(const QString& url, const QString& folder) {
    return QStringLiteral("%1/%2").arg(folder, url.mid(url.lastIndexOf(u'/') + 1));
}
