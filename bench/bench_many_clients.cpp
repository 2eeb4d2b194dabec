// Many Macs, one appliance: N daemons (each a machine of its own: profile root, home, appliance
// account) make their first backup against one appliance that serves at most 4 connections at a
// time ("max connections = 4"), all at once, beside the same work done one machine after another
// (each daemon started once the one before has brought everything over). Every file must arrive, and
// no daemon may give up or tell the application of an error for the busy appliance: being turned
// away ("@ERROR: max connections (4) reached") is waited for.
//
//   bench_many_clients [machines=20] [documents each=1000] [MB of the big file each=10]
//                      [timings: standard|host]
//
// Each home holds the documents (4 KB) in folders under Documents and Pictures, and one big file
// under Videos. The appliance's module is a tmpfs (not an event on the watched disk). Needs root.

#include "BenchFixture.h"
#include "BenchTable.h"
#include "DaemonBench.h"
#include "PrivateBus.h"

#include <QCoreApplication>

#include <cstdio>

using namespace DaemonBench;

namespace {

struct Client {
    std::unique_ptr<Machine> machine;
    std::unique_ptr<HostedDaemon> daemon;
    Arrivals arrivals;
    double done = 0; // seconds from the start of its batch
};

QList<QPair<QString, qint64>> makeHome(const QString& home, int documents, int bigMegabytes) {
    QList<QPair<QString, qint64>> files;
    const QByteArray document = fileContent(4096, 7);
    for (int d = 0; d < documents; ++d) {
        const QString folder = QStringLiteral("/%1/Folder %2")
                                   .arg(d % 2 ? QStringLiteral("Pictures") : QStringLiteral("Documents"))
                                   .arg(d / 100);
        QDir().mkpath(home + folder);
        QByteArray content = document;
        const QByteArray stamp = QByteArray::number(d);
        content.replace(0, stamp.size(), stamp);
        const QString name = QStringLiteral("%1/Document %2.txt").arg(folder).arg(d);
        writeFile(home + name, content);
        files << qMakePair(name, qint64(content.size()));
    }
    QDir().mkpath(home + QStringLiteral("/Videos"));
    const QByteArray big = fileContent(qint64(bigMegabytes) << 20, 99);
    writeFile(home + QStringLiteral("/Videos/Holiday.mkv"), big);
    files << qMakePair(QStringLiteral("/Videos/Holiday.mkv"), qint64(big.size()));
    return files;
}

// Machines with the build installed, the home linked in and logged in to their own account.
bool prepare(std::vector<Client>& clients, int count, const QString& prefix, const QString& source,
             const QList<QPair<QString, qint64>>& files, const FixtureUser& user, Appliance& appliance) {
    for (int i = 0; i < count; ++i) {
        Client client;
        client.machine = std::make_unique<Machine>();
        QString error;
        if (!client.machine->install(user, &error)) {
            std::printf("installation failed: %s\n", qPrintable(error));
            return false;
        }
        if (ChildProcess::run({QStringLiteral("cp"), QStringLiteral("-al"), source + QStringLiteral("/."),
                               client.machine->home + u'/'}) != 0)
            return false;
        const QString account = QStringLiteral("%1%2").arg(prefix).arg(i + 1, 2, 10, QLatin1Char('0'));
        const QString password = account + QStringLiteral("-pw-") + QString::number(i * 7919, 36);
        appliance.addUser(account, password);
        if (!client.machine->logIn(account, password, appliance.address()))
            return false;
        for (const auto& [name, size] : files)
            client.arrivals.expect(client.machine->onAppliance(appliance, client.machine->home + name), size);
        clients.push_back(std::move(client));
    }
    return true;
}

struct Outcome {
    double seconds = 0;
    int turnedAway = 0;
    int listingsTurnedAway = 0;
    int errorsHeard = 0;
    int giveUps = 0;
    qsizetype missing = 0;
};

// What the daemons' traces and the application side say about the batch.
void collect(std::vector<Client>& clients, const ProgressListener& listener, Outcome& outcome) {
    for (Client& c : clients) {
        const QString trace = c.machine->trace();
        outcome.turnedAway += int(trace.count(QStringLiteral("The appliance is busy")));
        outcome.giveUps += int(trace.count(QStringLiteral("10 retrys hapend")));
        for (const QString& line : trace.split(u'\n'))
            if (line.contains(QStringLiteral("Listing:@ERROR: max connections")))
                ++outcome.listingsTurnedAway;
        outcome.missing += c.arrivals.missing();
    }
    outcome.errorsHeard = int(listener.texts.count(QStringLiteral("Error")));
}

// Starts the clients' daemons at once and waits until every file of every one has arrived.
Outcome together(std::vector<Client>& clients, PrivateBus& bus, const QString& timings) {
    Outcome outcome;
    ProgressListener listener(bus.connect(QStringLiteral("bench-together")));
    QElapsedTimer clock;
    clock.start();
    for (Client& c : clients) {
        c.daemon = std::make_unique<HostedDaemon>();
        c.daemon->start(*c.machine, bus.address(), timings);
    }
    pollWithEvents(
        [&] {
            bool all = true;
            for (Client& c : clients) {
                if (c.done == 0 && c.arrivals.allThere())
                    c.done = clock.nsecsElapsed() / 1e9;
                all = all && c.done > 0;
            }
            return all;
        },
        60 * 60 * 1000, 100);
    outcome.seconds = clock.nsecsElapsed() / 1e9;
    pollWithEvents(
        [&] { return listener.texts.count(Protocol::ProgressBackupCompleted) >= qsizetype(clients.size()); },
        30000);
    collect(clients, listener, outcome);
    for (Client& c : clients)
        c.daemon->stop();
    return outcome;
}

// The same, one machine after another.
Outcome oneAfterAnother(std::vector<Client>& clients, PrivateBus& bus, const QString& timings) {
    Outcome outcome;
    ProgressListener listener(bus.connect(QStringLiteral("bench-sequential")));
    // Each machine's time runs from its daemon's start until its last file is there; stopping it is
    // not part of the work.
    for (Client& c : clients) {
        QElapsedTimer clock;
        clock.start();
        c.daemon = std::make_unique<HostedDaemon>();
        c.daemon->start(*c.machine, bus.address(), timings);
        pollWithEvents([&] { return c.arrivals.allThere() || !c.daemon->running(); }, 60 * 60 * 1000, 50);
        c.done = clock.nsecsElapsed() / 1e9;
        outcome.seconds += c.done;
        // Its end of the run and the listing that follows an initial backup, before the next starts.
        pollWithEvents(
            [&] { return c.machine->trace().contains(QStringLiteral("Initial Listing Finished")); }, 30000,
            100);
        c.daemon->stop();
    }
    collect(clients, listener, outcome);
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int machines = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const int documents = argc > 2 ? std::max(1, atoi(argv[2])) : 1000;
    const int bigMegabytes = argc > 3 ? std::max(1, atoi(argv[3])) : 10;
    const QString timings = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QStringLiteral("standard");
    const std::optional<FixtureUser> user = benchFixtureUser();
    if (!user)
        return 0;
    Appliance::Options options;
    options.maxConnections = 4;
    options.tmpfs = true;
    options.tmpfsBytes = 8ll << 30;
    Appliance appliance(options);
    PrivateBus bus;
    QString error;
    if (!appliance.start(&error) || !bus.start(&error)) {
        std::printf("fixture did not start: %s\n", qPrintable(error));
        return 1;
    }
    TempRoot scratch;
    const QString source = scratch.path() + QStringLiteral("/home");
    const QList<QPair<QString, qint64>> files = makeHome(source, documents, bigMegabytes);

    std::vector<Client> first, second;
    QElapsedTimer made;
    made.start();
    if (!prepare(first, machines, QStringLiteral("seq"), source, files, *user, appliance) ||
        !prepare(second, machines, QStringLiteral("mac"), source, files, *user, appliance)) {
        std::printf("could not prepare the machines\n");
        return 1;
    }
    std::printf("%d + %d machines of %d documents and a %d MB file each, %s timings, ready in %.1f s\n",
                machines, machines, documents, bigMegabytes, qPrintable(timings), made.nsecsElapsed() / 1e9);
    std::fflush(stdout);

    const Outcome alone = oneAfterAnother(first, bus, timings);
    QList<double> each;
    for (const Client& c : first)
        each << c.done;
    std::sort(each.begin(), each.end());
    std::printf(
        "one after another: %.2f s (a machine %.2f to %.2f s, median %.2f s); %lld files missing, %d errors "
        "heard, %d turned away\n",
        alone.seconds, each.value(0), each.value(each.size() - 1), each.value(each.size() / 2),
        (long long)alone.missing, alone.errorsHeard, alone.turnedAway);
    std::fflush(stdout);
    const Outcome all = together(second, bus, timings);
    QList<double> ends;
    for (const Client& c : second)
        ends << c.done;
    std::sort(ends.begin(), ends.end());
    std::printf(
        "all at once: %.2f s (first machine done after %.2f s, median %.2f s); %lld files missing, %d "
        "errors heard, %d gave up, %d turned away; listings turned away: %d\n",
        all.seconds, ends.value(0), ends.value(ends.size() / 2), (long long)all.missing, all.errorsHeard,
        all.giveUps, all.turnedAway, all.listingsTurnedAway);
    const bool clean = all.missing == 0 && all.errorsHeard == 0 && all.giveUps == 0;
    tableRow(qPrintable(QStringLiteral("%1 daemons at once, appliance of 4 connections (%2 timings)")
                            .arg(machines)
                            .arg(timings)),
             QStringLiteral("%1 s, %2 turned away%3")
                 .arg(all.seconds, 0, 'f', 1)
                 .arg(all.turnedAway)
                 .arg(clean ? QString() : QStringLiteral(", NOT ALL ARRIVED OR ERRORS")),
             QStringLiteral("one after another %1 s").arg(alone.seconds, 0, 'f', 1),
             ratioText(all.seconds / alone.seconds), "≤ 1.3×");
    return clean ? 0 : 1;
}
