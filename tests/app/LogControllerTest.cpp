// The log viewer over a temporary support folder: the list, the text, opening and deleting.

#include "LogController.h"
#include "AppTestSupport.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTableView>

TEST(LogController, ListsShowsOpensAndDeletesSessionLogs) {
    TempRoot root;
    const QString folder = FilePathsController(FilePathsController::Table::Application, root.profile())
                               .pathForApplicationFile(AppPath::SessionLogsFolder);
    writeFile(folder + QStringLiteral("/.hidden.txt"), "secret");
    writeFile(folder + QStringLiteral("/Backup 01.12.26_10.00.00.txt"), "first log\n");
    writeFile(folder + QStringLiteral("/Backup 02.12.26_10.00.00.txt"), "second log\n");
    writeFile(folder + QStringLiteral("/Backup 03.12.26_10.00.00.txt"), "bad \xff\xfe bytes\n");
    QList<QUrl> opened;
    LogController logs(root.profile(), QString(), [&](const QUrl& url) { opened << url; });
    logs.showLogWindow();
    auto* table = outlet<QTableView>(&logs, "pLogFileList");
    auto* view = outlet<QPlainTextEdit>(&logs, "pLogView");
    const auto textOf = [&](int row) {
        return LogController::readUtf8Text(folder + u'/' + logs.fileList().at(row));
    };

    // Hidden names never listed; the first log is selected and shown; names without extension.
    ASSERT_EQ(logs.fileList().size(), 3);
    EXPECT_EQ(view->toPlainText(), textOf(0));
    EXPECT_EQ(table->model()->index(0, 0).data().toString(),
              QFileInfo(logs.fileList().at(0)).completeBaseName());
    EXPECT_NE(table->model()->index(0, 1).data().toString(), QStringLiteral("--"));

    // A log that is not UTF-8 is listed but shows nothing; double click opens the selected log.
    const QString bad = QStringLiteral("Backup 03.12.26_10.00.00.txt");
    table->selectRow(int(logs.fileList().indexOf(bad)));
    EXPECT_EQ(view->toPlainText(), QString());
    logs.openFile();
    EXPECT_EQ(opened, QList<QUrl>{QUrl::fromLocalFile(folder + u'/' + bad)});
    // Without a selection nothing is opened or deleted.
    table->clearSelection();
    logs.openFile();
    logs.deleteLog();
    EXPECT_EQ(opened.size(), 1);
    EXPECT_EQ(logs.fileList().size(), 3);

    // A log that vanished shows "--" as its date.
    QFile::remove(folder + u'/' + logs.fileList().at(1));
    EXPECT_EQ(table->model()->index(1, 1).data().toString(), QStringLiteral("--"));
    // Deleting the first row empties the text even though other logs remain.
    table->selectRow(0);
    const QString first = logs.fileList().at(0);
    logs.deleteLog();
    EXPECT_FALSE(QFile::exists(folder + u'/' + first));
    EXPECT_EQ(view->toPlainText(), QString());
    // Deleting a later row selects the one before and shows its text (kept when that text is empty).
    table->selectRow(1);
    const QString shownBefore = view->toPlainText();
    logs.deleteLog();
    ASSERT_EQ(logs.fileList().size(), 1);
    EXPECT_EQ(table->selectionModel()->selectedRows().value(0).row(), 0);
    EXPECT_EQ(view->toPlainText(), textOf(0).isEmpty() ? shownBefore : textOf(0));
}

// The newest log comes first and is the one shown: the last written first, the date in the name
// deciding between logs written in the same second; a log written since is on top at the next opening.
TEST(LogController, ListsTheLastWrittenLogFirstAndShowsIt) {
    TempRoot root;
    const QString folder = FilePathsController(FilePathsController::Table::Application, root.profile())
                               .pathForApplicationFile(AppPath::SessionLogsFolder);
    const QDateTime now = QDateTime::currentDateTimeUtc().addSecs(-60);
    const auto log = [&](const QString& name, const QDateTime& written) {
        const QString path = folder + u'/' + name;
        writeFile(path, (name + u'\n').toUtf8());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(written, QFileDevice::FileModificationTime));
    };
    log(QStringLiteral("notes.txt"), now.addDays(-10));
    log(QStringLiteral("Backup 28.02.26_09.15.00.txt"), now.addDays(-3));
    log(QStringLiteral("Backup 02.03.26_10.00.00.txt"), now);
    log(QStringLiteral("Backup 15.01.27_10.00.00.txt"),
        now.addDays(-2)); // its name says later; written before
    log(QStringLiteral("Backup 01.03.26_11.00.00.txt"), now.addDays(-1));
    log(QStringLiteral("Backup 02.03.26_11.30.00.txt"), now);
    LogController logs(root.profile(), QString(), [](const QUrl&) {});
    logs.showLogWindow();
    auto* table = outlet<QTableView>(&logs, "pLogFileList");
    auto* view = outlet<QPlainTextEdit>(&logs, "pLogView");

    EXPECT_EQ(logs.fileList(), (QStringList{"Backup 02.03.26_11.30.00.txt", "Backup 02.03.26_10.00.00.txt",
                                            "Backup 01.03.26_11.00.00.txt", "Backup 15.01.27_10.00.00.txt",
                                            "Backup 28.02.26_09.15.00.txt", "notes.txt"}));
    EXPECT_EQ(table->model()->index(0, 0).data().toString(), QStringLiteral("Backup 02.03.26_11.30.00"));
    EXPECT_EQ(table->selectionModel()->selectedRows().value(0).row(), 0);
    EXPECT_EQ(view->toPlainText(), QStringLiteral("Backup 02.03.26_11.30.00.txt\n"));

    log(QStringLiteral("Backup 03.03.26_08.00.00.txt"), now.addSecs(30));
    logs.showLogWindow();
    ASSERT_EQ(logs.fileList().size(), 7);
    EXPECT_EQ(logs.fileList().first(), QStringLiteral("Backup 03.03.26_08.00.00.txt"));
    EXPECT_EQ(view->toPlainText(), QStringLiteral("Backup 03.03.26_08.00.00.txt\n"));
}
