// The application in German: the windows show the translation, counts take the right plural form in
// both languages, dates and sizes follow the locale, and every text of the program has its German.

#include "AppTranslations.h"
#include "BackupHealth.h"
#include "LocaleFormat.h"
#include "SearchController.h"
#include "WindowTour.h"
#include "ui_LoginController.h"
#include "ui_RestoreViewController.h"

#include <QFile>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

// German for the duration of a test; English (no translator, the C locale) again after it.
struct InGerman {
    InGerman() {
        installed = AppTranslations::install(*QCoreApplication::instance(),
                                             QLocale(QLocale::German, QLocale::Germany));
    }
    ~InGerman() {
        AppTranslations::remove(*QCoreApplication::instance());
        QLocale::setDefault(QLocale::c());
    }
    bool installed = false;
};

SearchController::Outcome found() {
    return {};
}

TEST(LocalizationTest, CountsTakeTheSingularForOneAndThePluralOtherwiseInEnglish) {
    EXPECT_EQ(SearchController::outcomeText(found(), 1), QStringLiteral("1 item found"));
    EXPECT_EQ(SearchController::outcomeText(found(), 2), QStringLiteral("2 items found"));
    EXPECT_EQ(SearchController::outcomeText(found(), 0), QStringLiteral("No items found"));
    const QList<RestoreSummary::Item> one{{QStringLiteral("a.txt"), 10, false, QStringLiteral("Mac/a.txt")}};
    const QList<RestoreSummary::Item> two{{QStringLiteral("a.txt"), 10, false, QStringLiteral("Mac/a.txt")},
                                          {QStringLiteral("b.txt"), 10, false, QStringLiteral("Mac/b.txt")}};
    EXPECT_TRUE(RestoreSummary::of(one, QStringLiteral("/nowhere/x"), QStringLiteral(".k"))
                    .headline()
                    .startsWith(QStringLiteral("1 item, ")));
    EXPECT_TRUE(RestoreSummary::of(two, QStringLiteral("/nowhere/x"), QStringLiteral(".k"))
                    .headline()
                    .startsWith(QStringLiteral("2 items, ")));
}

TEST(LocalizationTest, CountsTakeTheGermanSingularAndPlural) {
    InGerman german;
    ASSERT_TRUE(german.installed);
    EXPECT_EQ(SearchController::outcomeText(found(), 1), QStringLiteral("1 Element gefunden"));
    EXPECT_EQ(SearchController::outcomeText(found(), 2), QStringLiteral("2 Elemente gefunden"));
    EXPECT_EQ(SearchController::outcomeText(found(), 20000), QStringLiteral("20000 Elemente gefunden"));
    EXPECT_EQ(SearchController::outcomeText(found(), 0), QStringLiteral("Keine Elemente gefunden"));
    const QList<RestoreSummary::Item> one{{QStringLiteral("a.txt"), 10, false, QStringLiteral("Mac/a.txt")}};
    const QList<RestoreSummary::Item> two{{QStringLiteral("a.txt"), 10, false, QStringLiteral("Mac/a.txt")},
                                          {QStringLiteral("b.txt"), 10, false, QStringLiteral("Mac/b.txt")}};
    EXPECT_TRUE(RestoreSummary::of(one, QStringLiteral("/nowhere/x"), QStringLiteral(".k"))
                    .headline()
                    .startsWith(QStringLiteral("1 Element, ")));
    EXPECT_TRUE(RestoreSummary::of(two, QStringLiteral("/nowhere/x"), QStringLiteral(".k"))
                    .headline()
                    .startsWith(QStringLiteral("2 Elemente, ")));
}

TEST(LocalizationTest, TheWindowsShowGerman) {
    InGerman german;
    ASSERT_TRUE(german.installed);
    WindowTour tour;
    QStringList seen;
    tour.visit([&](const QString& name, QWidget* window) {
        seen << name;
        if (name == QLatin1String("log-in")) {
            auto& ui = static_cast<LoginController*>(window)->ui();
            EXPECT_EQ(ui.LoginBtn->text(), QStringLiteral("Anmelden"));
            EXPECT_EQ(ui.pwdLabel->text(), QStringLiteral("Passwort"));
            QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
            EXPECT_EQ(ui.usererror->text(), QStringLiteral("Geben Sie Ihren Benutzernamen ein"));
            EXPECT_EQ(ui.pUsername->accessibleDescription(), ui.usererror->text());
        } else if (name == QLatin1String("quit confirmation")) {
            auto* box = static_cast<QMessageBox*>(window);
            EXPECT_EQ(box->text(), QStringLiteral("Möchten Sie Zorvik Hollin beenden"));
            QStringList buttons;
            for (QAbstractButton* b : box->buttons())
                buttons << b->text();
            EXPECT_TRUE(buttons.contains(QStringLiteral("Ja")) && buttons.contains(QStringLiteral("Nein")))
                << buttons.join(u", ").toStdString();
        } else if (name == QLatin1String("status")) {
            EXPECT_EQ(text(window, "pause"), QStringLiteral("Anhalten"));
            EXPECT_EQ(text(window, "lastBackup"), QStringLiteral("Noch keine Sicherung abgeschlossen"));
        } else if (name == QLatin1String("restore browser")) {
            auto* browser = static_cast<RestoreViewController*>(window);
            EXPECT_EQ(browser->ui()->restoreButton->text(), QStringLiteral("Wiederherstellen"));
            EXPECT_EQ(browser->treeModel()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
                      QStringLiteral("Größe"));
        } else if (name == QLatin1String("exclusion editor")) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Zorvik Hollin – Einstellungen"));
        } else if (name == QLatin1String("log viewer")) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Zorvik Hollin – Protokolle"));
        } else if (name == QLatin1String("feedback")) {
            EXPECT_EQ(text(window, "sendButton"), QStringLiteral("Senden"));
        } else if (name == QLatin1String("Time Machine panel")) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Schnappschuss-Sicherung (Time Machine)"));
        } else if (name == QLatin1String("restore summary")) {
            EXPECT_TRUE(text(window, "headline").startsWith(QStringLiteral("2 Elemente, ")))
                << text(window, "headline").toStdString();
        }
    });
    EXPECT_EQ(seen.size(), 11);
}

// The warning's text after one and after two days without a backup, with the warning at one day.
QStringList daysWithoutBackup() {
    QDateTime clock(QDate(2026, 12, 1), QTime(12, 0));
    BackupHealth health(
        nullptr, nullptr, [&] { return clock; }, DesktopTimings{});
    health.setWarningDays(1);
    health.setWatching(true);
    QStringList said;
    for (int day = 1; day <= 2; ++day) {
        clock = clock.addDays(1);
        health.checkAge();
        said << health.warning();
    }
    return said;
}

TEST(LocalizationTest, DaysWithoutABackupTakeTheSingularForOneDay) {
    EXPECT_EQ(daysWithoutBackup(),
              QStringList({QStringLiteral("No backup for 1 day"), QStringLiteral("No backup for 2 days")}));
    InGerman german;
    EXPECT_EQ(daysWithoutBackup(), QStringList({QStringLiteral("Seit 1 Tag keine Sicherung"),
                                                QStringLiteral("Seit 2 Tagen keine Sicherung")}));
}

TEST(LocalizationTest, DatesAndSizesFollowTheLocale) {
    const QDateTime when(QDate(2026, 12, 7), QTime(9, 41));
    EXPECT_EQ(LocaleFormat::dateTime(when), QLocale().toString(when, QLocale::ShortFormat));
    InGerman german;
    EXPECT_EQ(LocaleFormat::dateTime(when), QStringLiteral("07.12.26 09:41"));
    EXPECT_EQ(LocaleFormat::dataSize(1500), QStringLiteral("1,46 KiB"));
}

TEST(LocalizationTest, TheLogViewerShowsWhenALogChangedInLocalTime) {
    WindowTour tour;
    LogController logs(tour.root.profile(), QString(), [](const QUrl&) {});
    const QString folder = logs.sessionLogFolder();
    ASSERT_FALSE(folder.isEmpty());
    QDir().mkpath(folder);
    writeFile(folder + QStringLiteral("/Backup 26.12.07_09.41.00.txt"), "done\n");
    logs.showLogWindow();
    ASSERT_TRUE(
        waitUntil([&] { return logs.objectValueForTableColumn(QStringLiteral("List"), 0).isValid(); }));
    const QString shown = logs.objectValueForTableColumn(QStringLiteral("LMD"), 0).toString();
    const QFileInfo info(folder + QStringLiteral("/Backup 26.12.07_09.41.00.txt"));
    EXPECT_EQ(shown, LocaleFormat::dateTime(info.lastModified()));
    EXPECT_FALSE(shown.contains(QStringLiteral("+0000")));
}

TEST(LocalizationTest, EveryTextOfTheProgramHasItsGerman) {
    QFile file(QStringLiteral(ZH_SOURCE_DIR "/translations/ZorvikHollin_de.ts"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int messages = 0;
    QStringList untranslated;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("message"))
            ++messages;
        else if (xml.name() == QLatin1String("source"))
            source = xml.readElementText();
        else if (xml.name() == QLatin1String("translation")) {
            const bool unfinished =
                xml.attributes().value(QLatin1String("type")) == QLatin1String("unfinished") ||
                xml.attributes().value(QLatin1String("type")) == QLatin1String("obsolete");
            const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            if (unfinished || text.trimmed().isEmpty())
                untranslated << source;
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_GT(messages, 200);
    EXPECT_TRUE(untranslated.isEmpty()) << untranslated.join(u" | ").toStdString();
}

} // namespace
