#pragma once

#include <QString>

struct PlatformProfile;

// What a deployment sets once for every machine: the appliance's local host name, which the log-in
// window pings to find it and the daemon pings when the appliance's address seems to have changed,
// and where feedback reports go. Read from "/etc/zorvik-hollin/deployment.conf" (an INI file, below
// the profile's root; the installation puts a commented example there); a missing file or key keeps
// the default.
struct DeploymentSettings {
    QString applianceHostName = QStringLiteral("hollin.local");
    // Empty: no feedback endpoint here; the feedback window saves reports to a file instead.
    QString feedbackHost;
    QString supportAddress = QStringLiteral("support@zorvikhollin.invalid");

    static QString filePath(const PlatformProfile& profile);
    static DeploymentSettings load(const PlatformProfile& profile);
};
