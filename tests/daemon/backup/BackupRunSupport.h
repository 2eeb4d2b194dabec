#pragma once

#include "Appliance.h"
#include "DaemonTestServices.h"
#include "FilePathsController.h"

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <memory>

// A backup run's surroundings: daemon services over a temporary root with a private bus, the
// appliance fixture with an account, the private rsync installed at its place, the account's user
// details, and the "Progress" notifications as the application side receives them.
struct BackupRunSupport {
    static constexpr const char* ApplianceUser = "alice";
    static constexpr const char* Password = "s3cret pass\"word";

    DaemonTestServices svc;
    std::unique_ptr<Appliance> appliance;
    FilePathsController paths{FilePathsController::Table::Daemon, svc.root.profile()};
    QObject receiver;
    QList<QVariantMap> progress; // payloads of "Progress", in arrival order
    int initialBackupFailedPosts = 0;

    // "" when ready, else why not (the caller skips).
    QString setUp(Appliance::Options options = Appliance::Options());
    // Without an appliance: the private rsync is a script that plays rsync. Call n counts itself in
    // fakeFile("count"), copies its list to fakeFile("list", n), "<uid> <password file's owner> <mode>"
    // to fakeFile("who", n), and runs the bash text of step(n) (or of the default, a clean transfer).
    QString setUpFakeRsync();
    void step(const QString& bash, int call = 0);
    QStringList fakeFile(const QString& name, int call = 0) const;
    int rsyncCalls() const { return fakeFile(QStringLiteral("count")).value(0).toInt(); }
    QString control;

    static Timings shortTimings();
    DaemonServices services() { return svc.services(shortTimings()); }

    void writeUserDetails(const QVariantMap& extra = QVariantMap());
    QVariantMap userDetails() const;
    void setDefaultRsync(bool system);
    // Files below the fixture user's home; returns their absolute paths.
    QStringList makeFiles(const QString& folder, int count, int size = 16);
    QString home() const;
    // Where an absolute local path lands on the appliance.
    QString onAppliance(const QString& localPath) const;
    QString path(int index) const { return paths.pathForApplicationFile(index); }
    QString trace() const { return svc.trace(); }
    QStringList progressTexts() const; // the "progress" values that are texts
    int dataPosts() const;             // payloads with "Backup running"
    QStringList readLines(const QString& file) const;
    void writeList(const QString& name, const QStringList& lines);
};
