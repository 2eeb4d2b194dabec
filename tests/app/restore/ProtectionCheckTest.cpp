// "Check a File…" on its own: the wording of each kind of exclusion rule and which of them the person may
// lift, the waiting lists' names and order (where they are readable), a path that is not there, and a
// file dropped on a window. Every answer against the states the running system builds is in
// ProtectionCheckEndToEndTest.

#include "ProtectionCheck.h"
#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

const QString Account = QStringLiteral("checkacct");
const QString Machine = QStringLiteral("AlicesMac");

class ProtectionCheckTest : public RequiringTest {
  protected:
    void prepare() override {
        user = FixtureUser::get();
        home = root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + Account);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::BackupListsFolder));
        QDir().mkpath(home + QStringLiteral("/Documents"));
    }

    QString file(const QString& name, const QByteArray& content = "content\n") {
        const QString path = home + QStringLiteral("/Documents/") + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    ProtectionCheck::Result check(const QString& path) {
        return ProtectionCheck::check(path, *paths, Account, Machine);
    }

    TempRoot root;
    FixtureUser user;
    QString home;
    std::unique_ptr<FilePathsController> paths;
};

} // namespace

TEST_F(ProtectionCheckTest, ExcludedFilesNameTheirRuleAndOnlyThePersonsOwnCanBeLifted) {
    const QString music = home + QStringLiteral("/Music");
    QDir().mkpath(music);
    const QString song = music + QStringLiteral("/song.mp3");
    QFile(song).open(QIODevice::WriteOnly);
    const QString iso = file(QStringLiteral("disc.iso"));
    const QString temporary = file(QStringLiteral("draft.tmp"));
    // The exclusion editor's files.
    // The list as the daemon first writes it holds the system's default exclusions besides the person's.
    const QString etc = root.profile().defaultExclusions.filter(QStringLiteral("/etc")).value(0);
    ASSERT_FALSE(etc.isEmpty());
    QDir().mkpath(etc);
    QFile(etc + QStringLiteral("/zh.conf")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(PropertyList::writeStringArray(paths->pathForApplicationFile(AppPath::InitialExcludeList),
                                               {etc, music}, PropertyList::PublicMode));
    ASSERT_TRUE(PropertyList::writeStringArray(paths->pathForApplicationFile(AppPath::ExcludePattern),
                                               {QStringLiteral("*.iso")}, PropertyList::PublicMode));

    ProtectionCheck::Result r = check(temporary);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Excluded);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201cdraft.tmp\u201d is not backed up: it is excluded by a built-in rule "
                             "(paths ending in \u201c.tmp\u201d)."));
    EXPECT_FALSE(r.canStopExcluding);
    EXPECT_FALSE(ProtectionCheck::stopExcluding(r, *paths, nullptr));

    r = check(etc + QStringLiteral("/zh.conf"));
    EXPECT_TRUE(r.defaultList);
    EXPECT_TRUE(r.sentence.contains(QStringLiteral("the default list (\u201c%1\u201d)").arg(etc)));
    EXPECT_FALSE(r.canStopExcluding);

    r = check(song);
    EXPECT_FALSE(r.defaultList);
    EXPECT_EQ(r.exclusion.kind, ExclusionRules::Kind::FolderList);
    EXPECT_TRUE(
        r.sentence.contains(QStringLiteral("your list of excluded items (\u201c%1\u201d)").arg(music)));
    EXPECT_TRUE(r.canStopExcluding);

    r = check(iso);
    EXPECT_EQ(r.exclusion.rule, QStringLiteral("*.iso"));
    EXPECT_TRUE(r.canStopExcluding);
}

TEST_F(ProtectionCheckTest, WaitingFilesSayWhenAndTheirPlaceInTheQueue) {
    const QString report = file(QStringLiteral("report.odt"));
    const QString folder = paths->pathForApplicationFile(AppPath::BackupListsFolder);
    // Two lists in the collector's form ("<yyyy-MM-dd HH-mm-ss-zzz>_<k>", one path a line); a consumed
    // one and one still being written do not count.
    const auto write = [&](const QString& name, const QStringList& lines) {
        QFile f(folder + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(lines.join(u'\n').toUtf8());
    };
    write(QStringLiteral("2026-03-01 09-00-00-000_1"),
          {home + QStringLiteral("/a"), home + QStringLiteral("/b")});
    write(QStringLiteral("2026-03-01 09-05-00-000_1"),
          {home + QStringLiteral("/c"), home + QStringLiteral("/Documents")});
    write(QStringLiteral("2026-03-01 08-00-00-000_1.delete"), {report});
    write(QStringLiteral("2026-03-01 10-00-00-000_1.progress"), {report});
    const ProtectionCheck::Result r = check(report);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Waiting);
    EXPECT_EQ(r.queuePosition, 4); // its folder is the 4th path waiting
    EXPECT_EQ(r.queueLength, 4);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201creport.odt\u201d is waiting to be sent since 2026-03-01 09:05."));
    EXPECT_EQ(r.details, QStringList{"Number 4 of 4 waiting."});
    // "Documents2" is not below "Documents".
    QDir().mkpath(home + QStringLiteral("/Documents2"));
    QFile(home + QStringLiteral("/Documents2/x")).open(QIODevice::WriteOnly);
    EXPECT_EQ(check(home + QStringLiteral("/Documents2/x")).answer, ProtectionCheck::Answer::NeverSeen);
}

TEST_F(ProtectionCheckTest, APathThatIsNotThereIsMissing) {
    const ProtectionCheck::Result r = check(home + QStringLiteral("/Documents/gone.txt"));
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Missing);
    EXPECT_FALSE(r.unreadable);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201c%1/Documents/gone.txt\u201d does not exist on this computer.").arg(home));
}

TEST_F(ProtectionCheckTest, AFileDroppedOnAWindowWithTheButtonIsChecked) {
    // As the status window has it: the button beside "View Logs", and drops anywhere on the window.
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    auto* logs = new QPushButton(QStringLiteral("View Logs"), &window);
    layout->addWidget(logs);
    ProtectionCheckDialog::attachTo(&window, logs, paths.get(), nullptr);
    auto* button = window.findChild<QPushButton*>(QStringLiteral("checkFileButton"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(layout->indexOf(button), 1);

    const QString temporary = file(QStringLiteral("dropped.tmp"));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(temporary)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    auto* dialog = window.findChild<ProtectionCheckDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->result().answer, ProtectionCheck::Answer::Excluded);
    EXPECT_TRUE(dialog->sentence().startsWith(QStringLiteral("\u201cdropped.tmp\u201d is not backed up")));
}
