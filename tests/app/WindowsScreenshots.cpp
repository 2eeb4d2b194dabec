// zh-screenshots-windows <folder>: the log viewer, the feedback report, the exclusion editor and the
// custom controls, built over a temporary root in the states worth showing, saved as PNGs.

#include "Blackview.h"
#include "CustomButtonCell.h"
#include "CustomButtonWithImage.h"
#include "CustomTableColumn.h"
#include "CustomTableView.h"
#include "ExcludeController.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "Header.h"
#include "ImageAndTextCell.h"
#include "LogController.h"
#include "PropertyList.h"
#include "SendErrorReport.h"
#include "TestRoots.h"
#include "ZHCustomBox.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QStandardItemModel>
#include <QTimer>

#include <cstdio>

namespace {

QString gOut;
int gFailures = 0;

void save(QWidget* widget, const QString& name) {
    widget->show();
    QCoreApplication::processEvents();
    const QString path = gOut + QStringLiteral("/windows-") + name + QStringLiteral(".png");
    if (!widget->grab().save(path, "PNG", 9)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        ++gFailures;
    }
}

void writeFile(const QString& path, const QByteArray& content) {
    FileTools::makePath(QFileInfo(path).path());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

void logViewer(const TempRoot& root) {
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    const QString folder = paths.pathForApplicationFile(AppPath::SessionLogsFolder);
    for (int day = 1; day <= 4; ++day) {
        QByteArray text;
        for (int line = 0; line < 12; ++line)
            text += QStringLiteral(
                        "Mon Dec 0%1 2026 10:%2:00 AM : Backing up /home/ann/Documents/Report %3.odt \n")
                        .arg(day)
                        .arg(line, 2, 10, QLatin1Char('0'))
                        .arg(line)
                        .toUtf8();
        writeFile(folder + QStringLiteral("/Backup 0%1.12.26_10.00.00.txt").arg(day), text);
    }
    LogController logs(root.profile(), QString(), [](const QUrl&) {});
    logs.showLogWindow();
    save(&logs, QStringLiteral("log-viewer"));
}

void feedback(const TempRoot& root) {
    SendErrorReport report(root.profile(), DeploymentSettings());
    report.setUserName(QStringLiteral("Ann Example"));
    save(&report, QStringLiteral("feedback"));
    SendErrorReport missingName(root.profile(), DeploymentSettings());
    missingName.show();
    missingName.SendErrorReportClicked(); // no name: the message shows, nothing is sent
    save(&missingName, QStringLiteral("feedback-no-name"));
}

void exclusionEditor(const TempRoot& root) {
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::InitialExcludeList),
                                   {QStringLiteral("/home/ann/.cache"), QStringLiteral("/home/ann/Videos"),
                                    QStringLiteral("/home/ann/Projects/build")},
                                   PropertyList::PublicMode);
    PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::ExcludePattern),
                                   {QStringLiteral("node_modules"), QStringLiteral(".tmp")},
                                   PropertyList::PublicMode);
    ExcludeController editor(root.profile(), nullptr);
    editor.setDetails();
    editor.resize(620, 520);
    save(&editor, QStringLiteral("exclusion-editor"));
    editor.AddPattern();
    save(editor.operationSheet(), QStringLiteral("exclusion-pattern-sheet"));
    editor.CancelTheSheet();
    editor.HelpButton(editor.findChild<QWidget*>(QStringLiteral("locationHelpButton")));
    QTimer::singleShot(300, [] {});
    for (int i = 0; i < 30; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (editor.helpPopover()) {
        editor.helpPopover()->setWindowOpacity(1.0);
        save(editor.helpPopover(), QStringLiteral("exclusion-help"));
    }
}

void controls() {
    QWidget sheet;
    sheet.setWindowTitle(QStringLiteral("Custom controls"));
    QPalette white = sheet.palette();
    white.setColor(QPalette::Window, Qt::white);
    sheet.setPalette(white);
    sheet.setAutoFillBackground(true);
    auto* grid = new QGridLayout(&sheet);

    auto* normal = new CustomButtonCell(QStringLiteral("Normal"));
    auto* pressed = new CustomButtonCell(QStringLiteral("Pressed"));
    pressed->setDown(true);
    auto* withImage = new CustomButtonWithImage;
    withImage->setText(QStringLiteral("With image"));
    withImage->setIcon(QIcon(QStringLiteral(":/windows/hostlist_closeicon.png")));
    for (QPushButton* button : {static_cast<QPushButton*>(normal), static_cast<QPushButton*>(pressed),
                                static_cast<QPushButton*>(withImage)})
        button->setMinimumSize(120, 28);
    grid->addWidget(normal, 0, 0);
    grid->addWidget(pressed, 0, 1);
    grid->addWidget(withImage, 0, 2);

    auto* header = new Header;
    header->setMinimumHeight(36);
    (new QLabel(QStringLiteral("Header"), header))->move(10, 10);
    auto* black = new Blackview;
    black->setMinimumHeight(36);
    auto* onBlack = new QLabel(QStringLiteral("Blackview"), black);
    onBlack->setStyleSheet(QStringLiteral("color: white"));
    onBlack->move(10, 10);
    auto* box = new ZHCustomBox;
    box->setTitle(QStringLiteral("ZHCustomBox"));
    box->setMinimumHeight(36);
    grid->addWidget(header, 1, 0);
    grid->addWidget(black, 1, 1);
    grid->addWidget(box, 1, 2);

    auto* table = new CustomTableView;
    auto* model = new QStandardItemModel(3, 2, table);
    model->setHorizontalHeaderLabels(
        {QStringLiteral("ImageAndTextCell"), QStringLiteral("CustomTableColumn")});
    const QPixmap document(QStringLiteral(":/windows/log_document.png"));
    const QStringList names{QStringLiteral("Documents"),
                            QStringLiteral("A rather long file name that is cut at "
                                           "the tail.txt"),
                            QStringLiteral("Pictures")};
    for (int row = 0; row < 3; ++row) {
        auto* item = new QStandardItem(names[row]);
        item->setData(document, Qt::DecorationRole);
        model->setItem(row, 0, item);
        model->setItem(row, 1, new QStandardItem(QStringLiteral("row %1").arg(row)));
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
    save(&sheet, QStringLiteral("controls"));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: zh-screenshots-windows <folder>\n");
        return 64;
    }
    gOut = app.arguments().at(1);
    QDir().mkpath(gOut);
    TempRoot root;
    logViewer(root);
    feedback(root);
    exclusionEditor(root);
    controls();
    return gFailures == 0 ? 0 : 1;
}
