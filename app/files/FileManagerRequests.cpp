#include "FileManagerRequests.h"

#include "AppDelegate.h"
#include "AppWindows.h"
#include "DistributedNotificationCenter.h"
#include "HandedPath.h"
#include "HostFacts.h"
#include "PersonScope.h"
#include "ProtectionCheck.h"
#include "Protocol.h"
#include "UtilityClass.h"

#include <QFileInfo>
#include <QMessageBox>

#include <unistd.h>

namespace {

QString nameOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString refusal(const QString& item, const QString& why) {
    return HandedPath::shown(item) + QStringLiteral(": ") + why;
}

void bringUp(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

// At most this many lines of items in one window; the rest are counted.
constexpr int ShownLines = 12;

QString listed(const QStringList& lines) {
    QStringList shown = lines.mid(0, ShownLines);
    if (lines.size() > ShownLines)
        shown << FileManagerRequests::tr("… and %n more", nullptr, int(lines.size() - ShownLines));
    return shown.join(u'\n');
}

} // namespace

FileManagerRequests::FileManagerRequests(AppDelegate& app, QObject* parent) : QObject(parent), mApp(app) {}

FileManagerRequests::~FileManagerRequests() {
    for (const QPointer<ProtectionCheckDialog>& check : std::as_const(mChecks))
        delete check.data();
    delete mBackUpNow.data();
    delete mRefusals.data();
}

QString FileManagerRequests::person() const {
    return mApp.paths().m_ConsoleUserName();
}

bool FileManagerRequests::loggedIn() const {
    return AccountRecord::exists(mApp.userDetailsPath());
}

QStringList FileManagerRequests::needLogIn(const QString& what, const QStringList& items) {
    const QString why =
        tr("%1 needs your Zorvik Hollin account: log in first, then choose it again.").arg(what);
    mApp.writeInteractiveTrace(QStringLiteral("File manager: %1 while logged out").arg(what));
    mApp.bringForward(); // the log-in window
    QStringList lines;
    for (const QString& item : items)
        lines << refusal(item, why);
    showRefusals(what, {why});
    return lines;
}

void FileManagerRequests::showRefusals(const QString& title, const QStringList& lines) {
    if (lines.isEmpty())
        return;
    delete mRefusals.data();
    auto* box = new QMessageBox(QMessageBox::Warning, title,
                                lines.size() == 1 ? lines.first() : tr("Some items were not opened."),
                                QMessageBox::Close);
    box->setObjectName(QStringLiteral("fileManagerRefusals"));
    if (lines.size() > 1)
        box->setInformativeText(listed(lines));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    mRefusals = box;
    bringUp(box);
}

QStringList FileManagerRequests::showVersions(const QStringList& items) {
    const QString what = tr("Versions…");
    if (items.isEmpty())
        return {};
    if (!loggedIn())
        return needLogIn(what, items);
    QStringList refused;
    QString shownPath;
    bool folder = false;
    for (const QString& item : items) {
        const HandedPath handed = HandedPath::check(item, person());
        if (!handed.ok())
            refused << refusal(item, handed.error());
        else if (!shownPath.isEmpty())
            refused << refusal(item, tr("Versions… opens one file or folder at a time."));
        else
            shownPath = handed.path(), folder = handed.isFolder();
    }
    if (!shownPath.isEmpty()) {
        // The appliance keeps the file under the name the backup gave it: below the home's own name
        // when the file manager went through another (a home behind /home -> /var/home).
        const PlatformProfile& profile = mApp.paths().profile();
        const PersonScope scope(profile.homeOf(person()), {}, HostFacts::system(), {profile.usersFolder});
        const QString filed = scope.filed(shownPath);
        mApp.writeInteractiveTrace(QStringLiteral("File manager: Versions of %1").arg(shownPath));
        mApp.RestoreWin();
        if (RestoreWindowApi* restore = mApp.restoreWindow())
            restore->showVersionsOf(filed.isEmpty() ? shownPath : filed, folder);
        else
            refused << refusal(shownPath, tr("The restore window is not available."));
    }
    showRefusals(what, refused);
    return refused;
}

QStringList FileManagerRequests::checkFiles(const QStringList& items) {
    QStringList refused;
    const QString account = mApp.userDetails().userName();
    const QString machine = UtilityClass::machineName();
    mChecks.removeIf([](const QPointer<ProtectionCheckDialog>& d) { return d.isNull(); });
    for (const QString& item : items) {
        const HandedPath handed = HandedPath::check(item, person());
        if (!handed.ok()) {
            refused << refusal(item, handed.error());
            continue;
        }
        if (mChecks.size() >= MaxCheckWindows) {
            refused << refusal(item, tr("At most %1 files are checked at once: close some of the windows "
                                        "and check it again.")
                                         .arg(MaxCheckWindows));
            continue;
        }
        mApp.writeInteractiveTrace(QStringLiteral("File manager: Check a File %1").arg(handed.path()));
        auto* dialog = new ProtectionCheckDialog(handed.path(), mApp.paths(), account, machine,
                                                 mApp.notifications(), nullptr);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        mChecks << dialog;
        bringUp(dialog);
    }
    showRefusals(tr("Check a File…"), refused);
    return refused;
}

QStringList FileManagerRequests::backUpNow(const QStringList& items) {
    const QString what = tr("Back Up Now");
    if (items.isEmpty())
        return {};
    if (!loggedIn())
        return needLogIn(what, items);
    const QString account = mApp.userDetails().userName();
    const QString machine = UtilityClass::machineName();
    QStringList refused, handedOver, notSent;
    bool unreachable = false;
    for (const QString& item : items) {
        const HandedPath handed = HandedPath::check(item, person());
        if (!handed.ok()) {
            refused << refusal(item, handed.error());
            notSent << refusal(item, handed.error());
            continue;
        }
        // What the backup would leave out anyway is said, not handed over: excluded, or not readable
        // with the person's rights.
        const ProtectionCheck::Result answer =
            ProtectionCheck::check(handed.path(), mApp.paths(), account, machine);
        if (answer.answer == ProtectionCheck::Answer::Excluded || answer.unreadable ||
            answer.answer == ProtectionCheck::Answer::Missing) {
            refused << refusal(handed.path(), answer.sentence);
            notSent << refusal(nameOf(handed.path()), answer.sentence);
            continue;
        }
        // Addressed to root's processes (the daemon) and the person's own, never broadcast.
        DistributedNotificationCenter* center = mApp.notifications();
        if (!center || !center->postNotificationToUser(::geteuid(), Protocol::BackupNow,
                                                       {{Protocol::KeyPath, handed.path()}},
                                                       Protocol::PostDeliverImmediatelyToAllSessions)) {
            unreachable = true;
            refused << refusal(handed.path(), tr("Zorvik Hollin's backup could not be reached."));
            notSent << refusal(nameOf(handed.path()), tr("Zorvik Hollin's backup could not be reached."));
            continue;
        }
        mApp.writeInteractiveTrace(QStringLiteral("File manager: Back Up Now %1").arg(handed.path()));
        handedOver << nameOf(handed.path());
    }
    QString text;
    if (handedOver.size() == 1)
        text = tr("“%1” is handed to the backup: it is sent with the next run.").arg(handedOver.first());
    else if (!handedOver.isEmpty())
        text = tr("%n items are handed to the backup: they are sent with the next run.", nullptr,
                  int(handedOver.size()));
    else if (unreachable)
        text = tr("Zorvik Hollin's backup could not be reached.");
    else
        text = items.size() == 1 ? tr("It is not handed to the backup.")
                                 : tr("None of them is handed to the backup.");
    delete mBackUpNow.data();
    auto* box = new QMessageBox(handedOver.isEmpty() ? QMessageBox::Warning : QMessageBox::Information, what,
                                text, QMessageBox::Close);
    box->setObjectName(QStringLiteral("backUpNowResult"));
    QStringList details;
    if (handedOver.size() > 1)
        details << listed(handedOver);
    if (!notSent.isEmpty())
        details << tr("Not handed over:") << listed(notSent);
    box->setInformativeText(details.join(u'\n'));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    mBackUpNow = box;
    bringUp(box);
    return refused;
}

QList<ProtectionCheckDialog*> FileManagerRequests::checkWindows() const {
    QList<ProtectionCheckDialog*> open;
    for (const QPointer<ProtectionCheckDialog>& d : mChecks)
        if (d)
            open << d.data();
    return open;
}
