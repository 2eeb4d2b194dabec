// zh-screenshots-windows <folder>: the log viewer, the feedback report, the exclusion editor and the
// custom controls, built over a temporary root in the states worth showing, saved as PNGs.

#include "AppTestSupport.h"
#include "Blackview.h"
#include "CustomButtonCell.h"
#include "CustomButtonWithImage.h"
#include "CustomTableColumn.h"
#include "CustomTableView.h"
#include "Header.h"
#include "ImageAndTextCell.h"
#include "LogController.h"
#include "PropertyList.h"
#include "SendErrorReport.h"
#include "ZHCustomBox.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStandardItemModel>
#include <QTcpServer>

namespace {

// Every custom control on one white sheet.
void controls(Shots& shots) {
    QWidget sheet;
    QPalette white = sheet.palette();
    white.setColor(QPalette::Window, Qt::white);
    sheet.setPalette(white);
    sheet.setAutoFillBackground(true);
    auto* grid = new QGridLayout(&sheet);
    auto* pressed = new CustomButtonCell(QStringLiteral("Pressed"));
    pressed->setDown(true);
    auto* withImage = new CustomButtonWithImage;
    withImage->setText(QStringLiteral("With image"));
    withImage->setIcon(QIcon(QStringLiteral(":/windows/hostlist_closeicon.png")));
    QList<QWidget*> row{new CustomButtonCell(QStringLiteral("Normal")),
                        pressed,
                        withImage,
                        new Header,
                        new Blackview,
                        new ZHCustomBox};
    static_cast<ZHCustomBox*>(row[5])->setTitle(QStringLiteral("ZHCustomBox"));
    for (int i = 0; i < 6; ++i) {
        i < 3 ? row[i]->setMinimumSize(120, 28) : row[i]->setMinimumHeight(36);
        grid->addWidget(row[i], i / 3, i % 3);
    }
    for (int i : {3, 4}) {
        auto* label = new QLabel(i == 3 ? QStringLiteral("Header") : QStringLiteral("Blackview"), row[i]);
        label->setStyleSheet(i == 3 ? QString() : QStringLiteral("color: white"));
        label->move(10, 10);
    }
    auto* table = new CustomTableView;
    auto* model = new QStandardItemModel(3, 2, table);
    model->setHorizontalHeaderLabels(
        {QStringLiteral("ImageAndTextCell"), QStringLiteral("CustomTableColumn")});
    const QStringList names{"Documents", "A rather long file name that is cut at the tail.txt", "Pictures"};
    for (int r = 0; r < 3; ++r) {
        auto* item = new QStandardItem(names[r]);
        item->setData(QPixmap(QStringLiteral(":/windows/log_document.png")), Qt::DecorationRole);
        model->setItem(r, 0, item);
        model->setItem(r, 1, new QStandardItem(QStringLiteral("row %1").arg(r)));
    }
    table->setModel(model);
    table->setItemDelegateForColumn(0, new ImageAndTextCell(table));
    table->setItemDelegateForColumn(1, new CustomTableColumn(table));
    table->horizontalHeader()->resizeSection(0, 220);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setMinimumHeight(130);
    table->selectRow(0);
    grid->addWidget(table, 2, 0, 1, 3);
    sheet.resize(460, 260);
    shots.save(&sheet, QStringLiteral("controls"));
}

} // namespace

int main(int argc, char** argv) {
    return screenshotsMain(argc, argv, "windows", [](Shots& shots) {
        TempRoot root;
        const FilePathsController paths(FilePathsController::Table::Application, root.profile());
        // Four sessions, written on four days: the last one is listed first and shown.
        for (int day = 1; day <= 4; ++day) {
            QByteArray log;
            for (int line = 0; line < 12; ++line)
                log += QStringLiteral(
                           "Mon Dec 0%1 2026 10:%2:00 AM : Backing up /home/ann/Documents/Report %3.odt \n")
                           .arg(day)
                           .arg(line, 2, 10, QLatin1Char('0'))
                           .arg(line)
                           .toUtf8();
            const QString path = paths.pathForApplicationFile(AppPath::SessionLogsFolder) +
                                 QStringLiteral("/Backup 0%1.12.26_10.00.00.txt").arg(day);
            writeFile(path, log);
            QFile file(path);
            if (file.open(QIODevice::ReadWrite))
                file.setFileTime(QDateTime(QDate(2026, 12, day), QTime(10, 11, 0), Qt::UTC),
                                 QFileDevice::FileModificationTime);
        }
        LogController logs(root.profile(), QString(), [](const QUrl&) {});
        logs.showLogWindow();
        shots.save(&logs, QStringLiteral("log-viewer"));

        // Feedback where an endpoint is set, then one that refuses, then none at all.
        DeploymentSettings endpoint;
        endpoint.feedbackHost = QStringLiteral("feedback.example.lan");
        SendErrorReport report(root.profile(), endpoint);
        report.setUserName(QStringLiteral("Ann Example"));
        shots.save(&report, QStringLiteral("feedback"));
        SendErrorReport missingName(root.profile(), endpoint);
        missingName.show();
        missingName.SendErrorReportClicked(); // no name: the message shows, nothing is sent
        shots.save(&missingName, QStringLiteral("feedback-no-name"));

        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        DeploymentSettings refusing;
        refusing.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        SendErrorReport failed(root.profile(), refusing);
        failed.show();
        failed.setUserName(QStringLiteral("Ann Example"));
        outlet<QLineEdit>(&failed, "emailAddress")->setText(QStringLiteral("ann@example.org"));
        outlet<QPlainTextEdit>(&failed, "message")
            ->setPlainText(QStringLiteral("Since Monday the icon keeps spinning and my new photos are not "
                                          "backed up."));
        failed.SendErrorReportClicked(); // refused: the window stays and offers the file
        shots.save(&failed, QStringLiteral("feedback-send-failed"));
        SendErrorReport notSetUp(root.profile(), DeploymentSettings());
        notSetUp.setUserName(QStringLiteral("Ann Example"));
        shots.save(&notSetUp, QStringLiteral("feedback-not-set-up"));

        PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::InitialExcludeList),
                                       {"/home/ann/.cache", "/home/ann/Videos", "/home/ann/Projects/build"},
                                       PropertyList::PublicMode);
        PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::ExcludePattern),
                                       {"node_modules", ".tmp"}, PropertyList::PublicMode);
        ExcludeController editor(root.profile(), nullptr);
        editor.setDetails();
        editor.resize(620, 520);
        shots.save(&editor, QStringLiteral("exclusion-editor"));
        editor.AddPattern(); // empty, with its placeholder
        shots.save(editor.operationSheet(), QStringLiteral("exclusion-pattern-sheet"));
        editor.CancelTheSheet();
        // "Add Folder…": the folder chooser in the person's home.
        const QString home = root.profile().homeOf(QString());
        for (const char* folder : {"Documents", "Music", "Pictures", "Projects", "Videos"})
            QDir().mkpath(home + u'/' + QLatin1String(folder));
        editor.AddToExclude();
        if (auto* chooser = editor.findChild<QFileDialog*>()) {
            chooser->selectFile(home + QStringLiteral("/Videos"));
            chooser->resize(640, 400);
            spinFor(400);
            shots.save(chooser, QStringLiteral("exclusion-folder-chooser"));
            chooser->reject();
        }
        editor.HelpButton(outlet(&editor, "locationHelpButton"));
        spinFor(600);
        if (editor.helpPopover()) {
            editor.helpPopover()->setWindowOpacity(1.0);
            shots.save(editor.helpPopover(), QStringLiteral("exclusion-help"));
        }
        controls(shots);
    });
}
