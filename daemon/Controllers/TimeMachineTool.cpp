#include "TimeMachineTool.h"

#include <QProcess>

TimeMachineTool::TimeMachineTool(QString toolPath, int timeoutMs)
    : mToolPath(std::move(toolPath)), mTimeoutMs(timeoutMs) {}

TimeMachineTool::Result TimeMachineTool::run(const QStringList& arguments) const {
    Result result;
    QProcess tool;
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.start(mToolPath, arguments);
    if (!tool.waitForStarted(10000)) {
        result.error = tool.errorString().toUtf8();
        return result;
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
