#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The platform's snapshot-backup tool ("tmutil", or our stand-in for it), run to completion.
class TimeMachineTool {
  public:
    struct Result {
        int exitCode = -1; // -1 when the tool could not be run or did not end
        QByteArray output;
        QByteArray error;
        bool succeeded() const { return exitCode == 0; }
    };

    explicit TimeMachineTool(QString toolPath, int timeoutMs = 120000);

    Result run(const QStringList& arguments) const;
    QString toolPath() const { return mToolPath; }

  private:
    QString mToolPath;
    int mTimeoutMs;
};
