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
