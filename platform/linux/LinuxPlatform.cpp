// The Linux platform layer behind the portable interfaces: the one place that picks an implementation.
#include "ConsoleUserSource.h"
#include "DistributedNotificationCenter.h"
#include "HostFacts.h"
#include "LoginItems.h"
#include "PlatformProfile.h"

#include "DBusNotificationCenter.h"
#include "LinuxHostFacts.h"
#include "LogindConsoleUserSource.h"
#include "XdgAutostartLoginItems.h"

PlatformProfile PlatformProfile::current(const QString& root) {
    return forLinux(root);
}

std::unique_ptr<ConsoleUserSource> ConsoleUserSource::create() {
    return std::make_unique<LogindConsoleUserSource>();
}

const HostFacts& HostFacts::system() {
    static const LinuxHostFacts facts;
    return facts;
}

std::unique_ptr<LoginItems> LoginItems::forHome(const QString& home) {
    return std::make_unique<XdgAutostartLoginItems>(home);
}

std::unique_ptr<DistributedNotificationCenter> DistributedNotificationCenter::create(SenderCheck check) {
    // The system bus may not be up yet when the daemon starts, or restart under it.
    return std::make_unique<DBusNotificationCenter>(DBusNotificationCenter::systemBus(), std::move(check),
                                                    std::chrono::seconds(5));
}
