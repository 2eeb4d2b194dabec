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

    ConsoleUserManager::Collaborators collaborators;
    collaborators.profile = PlatformProfile::current();
    collaborators.timings = Timings::standard();
    collaborators.logger = &RezodeLoger::progressLogger();
    collaborators.consoleUser = consoleUser.get();
    collaborators.restarter = &restarter;
    collaborators.accountManagerFactory = [](const QString&) { return std::unique_ptr<QObject>(); };
    ConsoleUserManager::sharedController(std::move(collaborators));

    return app.exec();
}
