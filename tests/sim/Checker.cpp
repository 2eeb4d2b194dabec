#include "Checker.h"

#include "ExclusionRules.h"
#include "FilePathsController.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "World.h"

#include <QDateTime>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PS = Protocol::PendingState;

namespace {

// Every entry below folder (not following links), depth first: path and its lstat.
template <typename Visit> void walk(const QByteArray& folder, Visit&& visit) {
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    for (const QByteArray& name : std::as_const(names)) {
        const QByteArray path = folder + '/' + name;
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0)
            continue;
        visit(path, st);
        if (S_ISDIR(st.st_mode))
            walk(path, visit);
    }
}

// rsync's name for a file it is still writing: ".<name>.XXXXXX".
bool isTransferTemp(const QByteArray& name) {
    return name.startsWith('.') && name.size() > 8 && name.at(name.size() - 7) == '.';
}

QString shown(const QByteArray& path) {
    return QFile::decodeName(path)
        .replace(u'\n', QStringLiteral("\\n"))
        .replace(u'\r', QStringLiteral("\\r"));
}

} // namespace

Checker::Checker(World& world, Model& model) : mWorld(world), mModel(model) {}

QList<Checker::Required> Checker::required() const {
    QList<Required> out;
    const Model::Rules rules = mModel.rules();
    const uid_t person = mWorld.person().uid;
    // Read through the home as written: a home behind a link is walked where it really lies.
    const QByteArray home = QFile::encodeName(mWorld.home());
    walk(home, [&](const QByteArray& path, const struct stat& st) {
        if (!S_ISREG(st.st_mode) || st.st_uid != person || !(st.st_mode & S_IRUSR) ||
            mModel.isSecretPath(path) || mModel.excluded(path, rules))
            return;
        Required r;
        r.path = path;
        bool ok = false;
        r.digest = Model::digest(path, &ok);
        if (!ok)
            return;
        r.size = st.st_size;
        r.mtime = st.st_mtim.tv_sec;
        const Model::File* known = mModel.file(path);
        r.changedMs = known ? known->changedMs : 0;
        out << r;
    });
    return out;
}

QString Checker::differs(const Required& file, bool bytesOnly) const {
    QString why = QStringLiteral("not on the appliance");
    for (const QByteArray& copy : {mWorld.onAppliance(file.path), mWorld.onApplianceResolved(file.path)}) {
        struct stat st {};
        if (::lstat(copy.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (st.st_size != file.size || Model::digest(copy) != file.digest) {
            why = QStringLiteral("other bytes on the appliance");
            continue;
        }
        if (!bytesOnly && st.st_mtim.tv_sec != file.mtime) {
            why = QStringLiteral("modification time %1 on the appliance, %2 here")
                      .arg(QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec).toString(Qt::ISODate),
                           QDateTime::fromSecsSinceEpoch(file.mtime).toString(Qt::ISODate));
            continue;
        }
        return {};
    }
    return why;
}

QList<Violation> Checker::shownWhileMissing(const QList<Required>& missing, qint64 graceMs) const {
    QList<Violation> out;
    const QVariantMap state = mWorld.pendingState();
    if (state.isEmpty() || !mWorld.daemonRunning())
        return out;
    const qint64 now = Model::now();
    const bool paused = state.value(PS::Paused).toString() == Protocol::FlagOn;
    // The person's last pause or resume has had the grace to reach the state file.
    if (paused != mWorld.paused() && mWorld.pausedChangedMs() < now - graceMs)
        out << Violation{4, QStringLiteral("the application shows backup %1 while it is %2")
                                .arg(paused ? QStringLiteral("paused") : QStringLiteral("running"),
                                     mWorld.paused() ? QStringLiteral("paused") : QStringLiteral("running"))};
    const int count = state.value(PS::Count).toInt();
    if (count > 0) {
        const QDateTime oldest = QDateTime::fromString(state.value(PS::Oldest).toString(), Qt::ISODate);
        if (!oldest.isValid())
            out << Violation{
                4,
                QStringLiteral("the application shows %1 changes waiting with no oldest change").arg(count)};
        else if (oldest.toMSecsSinceEpoch() > now + 2000)
            out << Violation{
                4, QStringLiteral("the application shows the oldest waiting change in the future (%1)")
                       .arg(oldest.toString(Qt::ISODate))};
        return out;
    }
    for (const Required& file : missing)
        if (file.changedMs > 0 && file.changedMs < now - graceMs && !differs(file, true).isEmpty()) {
            out << Violation{
                4, QStringLiteral("the application shows \"All changes are on the device\" (nothing "
                                  "waiting) while %1, changed %2 s ago, is not on the appliance")
                       .arg(shown(file.path))
                       .arg((now - file.changedMs) / 1000)};
            break;
        }
    return out;
}

QString Checker::stateSaysAllSafe(const QVariantMap& state, bool paused) {
    if (state.isEmpty())
        return QStringLiteral("no state file");
    if (state.value(PS::Count).toString() != QLatin1String("0"))
        return QStringLiteral("%1 changes waiting").arg(state.value(PS::Count).toString());
    if (!state.value(PS::Oldest).toString().isEmpty())
        return QStringLiteral("an oldest change of %1").arg(state.value(PS::Oldest).toString());
    if ((state.value(PS::Paused).toString() == Protocol::FlagOn) != paused)
        return QStringLiteral("paused \"%1\"").arg(state.value(PS::Paused).toString());
    return {};
}

QList<Violation> Checker::checkExclusionList() const {
    QList<Violation> out;
    const QStringList homes{mWorld.home(), mWorld.resolvedHome()};
    for (const QString& entry : PropertyList::readStringArray(mWorld.personsExcludeList())) {
        bool touches = false;
        for (const QString& home : homes)
            touches = touches || entry.startsWith(home + u'/') || home.startsWith(entry);
        if (touches && !mModel.entryAccountedFor(entry))
            out << Violation{1, QStringLiteral("the exclusion list holds \"%1\", which neither the person, a "
                                               "restore nor the defaults put there")
                                    .arg(entry)};
    }
    return out;
}

QList<Violation> Checker::checkAppliance() const {
    QList<Violation> out;
    const QByteArray mirror = mWorld.applianceMirror();
    const QByteArray home = QFile::encodeName(mWorld.home());
    const QByteArray resolved = QFile::encodeName(mWorld.resolvedHome());
    const Model::Rules rules = mModel.rules();
    const QList<QByteArray> secrets = mModel.secrets();
    // Folders outside the users folder that the initial set took as the person's (shared folders).
    QList<QByteArray> shared;
    for (const QString& entry :
         PropertyList::readStringArray(mWorld.paths().pathForApplicationFile(DaemonPath::InitialBackupList)))
        if (!entry.startsWith(mWorld.paths().profile().usersFolder + u'/'))
            shared << QFile::encodeName(entry);
    int reported = 0;
    const auto report = [&](int invariant, const QString& text) {
        if (++reported <= 12)
            out << Violation{invariant, text};
    };
    walk(mirror, [&](const QByteArray& copy, const struct stat& st) {
        if (!S_ISREG(st.st_mode))
            return;
        const QByteArray shownAt = copy.mid(mirror.size());
        // The local path the copy stands for, in the home's written form.
        QByteArray local;
        if (shownAt.startsWith(home + '/'))
            local = shownAt;
        else if (shownAt.startsWith(resolved + '/'))
            local = home + shownAt.mid(resolved.size());
        for (const QByteArray& folder : std::as_const(shared))
            if (local.isEmpty() && (shownAt == folder || shownAt.startsWith(folder + '/')))
                return;
        if (local.isEmpty()) {
            report(2, QStringLiteral("%1 reached the appliance: it is outside the person's home")
                          .arg(shown(shownAt)));
            return;
        }
        if (isTransferTemp(local.mid(local.lastIndexOf('/') + 1)))
            return; // a session the appliance lost (frozen) left its partial file
        // A secret inside any copy (a session's cookie, the appliance password in a state file).
        if (st.st_size <= 1024 * 1024) {
            QFile f(QFile::decodeName(copy));
            if (f.open(QIODevice::ReadOnly)) {
                const QByteArray data = f.readAll();
                for (const QByteArray& secret : secrets)
                    if (!secret.isEmpty() && data.contains(secret))
                        report(2, QStringLiteral("a secret is inside %1 on the appliance").arg(shown(local)));
            }
        }
        if (mModel.isSecretPath(local)) {
            report(2, QStringLiteral("the session secret %1 reached the appliance").arg(shown(local)));
            return;
        }
        if (mModel.linksOut().contains(local)) {
            report(2,
                   QStringLiteral("%1, a link to a file outside the home, reached the appliance as that file")
                       .arg(shown(local)));
            return;
        }
        const Model::File* known = mModel.file(local);
        if (!known) {
            const bool excluded = mModel.excluded(local, rules);
            report(excluded ? 2 : 3,
                   excluded
                       ? QStringLiteral("%1 reached the appliance though excluded (%2), and "
                                        "never held there by the person")
                             .arg(shown(local), ExclusionRules::evaluate(QFile::decodeName(local),
                                                                         rules.folders, {}, rules.patterns)
                                                    .rule)
                       : QStringLiteral("%1 is on the appliance, but no such file ever "
                                        "existed in the home")
                             .arg(shown(local)));
            return;
        }
        if (!known->everEligible) {
            report(2,
                   QStringLiteral("%1 reached the appliance though it was excluded whenever it was written")
                       .arg(shown(local)));
            return;
        }
        if (!known->contents.contains(Model::digest(copy)))
            report(3,
                   QStringLiteral("%1 on the appliance holds content that never existed at that path (a torn "
                                  "or mixed copy)")
                       .arg(shown(local)));
    });
    return out;
}

QList<Violation> Checker::checkTraces() const {
    QList<Violation> out;
    const struct {
        QString name;
        QByteArray text;
    } traces[] = {{QStringLiteral("the daemon's trace"), mWorld.daemonTrace().toUtf8()},
                  {QStringLiteral("a session log"), mWorld.sessionLogs().toUtf8()},
                  {QStringLiteral("the daemon's output (journal)"), mWorld.hostLog().toUtf8()}};
    const QList<QByteArray> secrets = mModel.secrets();
    for (const auto& trace : traces)
        for (int i = 0; i < secrets.size(); ++i)
            if (!secrets.at(i).isEmpty() && trace.text.contains(secrets.at(i)))
                out << Violation{2, QStringLiteral("%1 holds a secret (%2)")
                                        .arg(trace.name, i >= secrets.size() - mWorld.passwordsUsed().size()
                                                             ? QStringLiteral("an appliance password")
                                                             : QStringLiteral("a session's secret cookie"))};
    return out;
}

QList<Violation> Checker::checkHeld(const QSet<QByteArray>& held) const {
    QList<Violation> out;
    // When it tripped (the state says so to the second), and whether a run was under way then.
    const QDateTime since =
        QDateTime::fromString(mWorld.pendingState().value(PS::HeldSince).toString(), Qt::ISODate);
    const qint64 trippedMs = since.isValid() ? since.toMSecsSinceEpoch() + 1000 : 0;
    const bool runEnded = mWorld.daemonTrace().contains(QStringLiteral("The run under way ends"));
    for (const QByteArray& path : held) {
        const Model::File* known = mModel.file(path);
        // Rewritten before the trip, a file may have gone out with a run that read it then: the one
        // the trip ended, or one that ended on its own in the moment before (its copy is older).
        const bool before = known && known->changedMs <= trippedMs;
        if (runEnded && before)
            continue;
        struct stat st {};
        bool ok = false;
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const QByteArray digest = Model::digest(path, &ok);
        if (!ok || !mModel.isAttackContent(digest))
            continue;
        for (const QByteArray& copy : {mWorld.onAppliance(path), mWorld.onApplianceResolved(path)})
            if (::lstat(copy.constData(), &st) == 0 && S_ISREG(st.st_mode) && Model::digest(copy) == digest &&
                !(before && qint64(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000 <= trippedMs)) {
                out << Violation{
                    6, QStringLiteral("%1 is held by the tripwire, yet what the attack wrote there is "
                                      "on the appliance")
                           .arg(shown(path))};
                break;
            }
        if (out.size() >= 8)
            break;
    }
    return out;
}
