// ZorvikHollinWatcher: the backup daemon. Started by the service supervisor with system rights and
// started again whenever it exits.

#include "ConsoleUserManager.h"
#include "ConsoleUserSource.h"
#include "DaemonRestarter.h"
#include "RezodeLoger.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    static const std::unique_ptr<ConsoleUserSource> consoleUser = ConsoleUserSource::create();
    static DaemonRestarter restarter;

    DaemonServices services;
    services.profile = PlatformProfile::current();
    services.timings = Timings::standard();
    services.logger = &RezodeLoger::progressLogger();
    services.consoleUser = consoleUser.get();
    services.restarter = &restarter;
    ConsoleUserManager::sharedController(services, [](const QString&) { return std::unique_ptr<QObject>(); });

    return app.exec();
}
