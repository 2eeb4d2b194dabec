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

    // input, if any, is written to the tool's standard input, which is closed then.
    Result run(const QStringList& arguments, const QByteArray& input = QByteArray()) const;
    // Points the tool at the appliance's share: "setdestination -p" with the destination without its
    // password, which goes through standard input. An argument would show it to every local user.
    Result setDestination(const QString& user, const QString& password, const QString& address,
                          const QString& sharePath) const;
    // "afp://user@address/share" (no password), with or without a leading "/" on the share path.
    static QString destinationUrl(const QString& user, const QString& address, const QString& sharePath);
    // "<folder>/<last component of the share>", where the share is mounted: the profile's
    // shareMountFolder ("/Volumes" on macOS).
    static QString mountPointOf(const QString& url, const QString& folder);
    QString toolPath() const { return mToolPath; }

  private:
    QString mToolPath;
    int mTimeoutMs;
};
