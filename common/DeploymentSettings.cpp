#include "DeploymentSettings.h"

#include "PlatformProfile.h"

#include <QSettings>

QString DeploymentSettings::filePath(const PlatformProfile& profile) {
    return profile.rooted(QStringLiteral("/etc/zorvik-hollin/deployment.conf"));
}

DeploymentSettings DeploymentSettings::load(const PlatformProfile& profile) {
    DeploymentSettings settings;
    const QSettings file(filePath(profile), QSettings::IniFormat);
    settings.applianceHostName = file.value("appliance/hostName", settings.applianceHostName).toString();
    settings.feedbackHost = file.value("feedback/host", settings.feedbackHost).toString();
    settings.supportAddress = file.value("feedback/supportAddress", settings.supportAddress).toString();
    return settings;
}
