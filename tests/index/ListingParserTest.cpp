// Reading rsync's list-only output, and the listing command lines.

#include "ListingParser.h"
#include "RezodeListAndUpdateToDBController.h"
#include "RezodeLoger.h"

#include <ctime>
#include <gtest/gtest.h>

namespace {

TEST(ListingParserTest, ReadsAFileLineAsPrinted) {
    const auto entry = ListingParser::parseLine("-rw-r--r--      1,234 2016/03/04 05:06:07 Docs/My File.txt");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, QStringLiteral("Docs/My File.txt"));
    EXPECT_EQ(entry->size, QStringLiteral("1,234"));
    EXPECT_EQ(entry->lmd(), QStringLiteral("2016-03-04 05:06:07 +0000"));
    EXPECT_FALSE(entry->directory);

    const auto dir = ListingParser::parseLine("drwxr-xr-x          4,096 2016/03/04 05:06:07 .");
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->directory);
    EXPECT_EQ(dir->name, QStringLiteral("."));
}

TEST(ListingParserTest, IgnoresShortAndIncompleteLines) {
    EXPECT_FALSE(ListingParser::parseLine("drwxr-xr-x"));
    EXPECT_FALSE(ListingParser::parseLine("-rw-r--r-- "));
    EXPECT_FALSE(ListingParser::parseLine("-rw-r--r--      1,234 2016/03/04 05:06:07"));
    EXPECT_FALSE(ListingParser::parseLine("-rw-r--r--      1,234 2016/03/04 05:06:07 "));
    EXPECT_FALSE(ListingParser::parseLine(""));
    EXPECT_FALSE(ListingParser::parseLine("@ERROR: auth failed on module backup"));
    EXPECT_FALSE(ListingParser::parseLine("rsync error: error starting client-server protocol (code 5)"));
}

TEST(ListingParserTest, KeepsNamesExactly) {
    const auto name = [](const char* line) {
        const auto entry = ListingParser::parseLine(line);
        return entry ? entry->name : QStringLiteral("<none>");
    };
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07 a  b.txt"), QStringLiteral("a  b.txt"));
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07  lead"), QStringLiteral(" lead"));
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07 trail "), QStringLiteral("trail "));
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07 tab\tx"), QStringLiteral("tab\tx"));
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07 it's \"q\" $(x)"),
              QStringLiteral("it's \"q\" $(x)"));
    EXPECT_EQ(name("-rw-r--r--          1 2016/03/04 05:06:07 crlf\r"), QStringLiteral("crlf"));
}

TEST(ListingParserTest, UndoesRsyncEscapesAndKeepsWhatIsNoUtf8) {
    EXPECT_EQ(ListingParser::decodeName("new\\#012line"), QStringLiteral("new\nline"));
    EXPECT_EQ(ListingParser::decodeName("back\\#134#123"), QStringLiteral("back\\#123"));
    EXPECT_EQ(ListingParser::decodeName("Caf\\#303\\#251"), QStringLiteral("Café"));
    EXPECT_EQ(ListingParser::decodeName("Café"), QStringLiteral("Café"));
    EXPECT_EQ(ListingParser::decodeName("bad\\#377"), QStringLiteral("bad\\#377"));
    EXPECT_EQ(ListingParser::decodeName("bad\xff"), QStringLiteral("bad\\#377"));
    EXPECT_EQ(ListingParser::decodeName("half\xc3"), QStringLiteral("half\\#303"));
    EXPECT_EQ(ListingParser::decodeName("\xed\xa0\x80"), QStringLiteral("\\#355\\#240\\#200"))
        << "no surrogates";
    EXPECT_EQ(ListingParser::decodeName("not\\#9999"), QStringLiteral("not\\#9999"));
    EXPECT_EQ(ListingParser::decodeName("emoji 😀"), QStringLiteral("emoji 😀"));
}

TEST(ListingParserTest, JoinsLinesCutBetweenChunks) {
    ListingParser parser;
    QList<QByteArray> lines = parser.feed("-rw-r--r--          1 2016/03/04 05:06:07 one\n-rw-r--r--    ");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(parser.hasPartialLine());
    lines = parser.feed("      2 2016/03/04 05:06:07 Caf\xc3");
    EXPECT_TRUE(lines.isEmpty());
    lines = parser.feed("\xa9 two\n\n-rw-r--r--          3 2016/03/04 05:06:07 last");
    ASSERT_EQ(lines.size(), 2);
    const auto two = ListingParser::parseLine(lines.at(0));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->name, QStringLiteral("Café two")) << "a character cut between chunks is whole again";
    EXPECT_EQ(two->size, QStringLiteral("2"));
    EXPECT_TRUE(lines.at(1).isEmpty());
    const auto last = parser.finish();
    ASSERT_TRUE(last);
    EXPECT_EQ(ListingParser::parseLine(*last)->name, QStringLiteral("last"))
        << "no line end after the last line";
    EXPECT_FALSE(parser.finish());
}

TEST(ListingParserTest, ListsAreDescribedLikeTheTraceShowsThem) {
    using C = RezodeListAndUpdateToDBController;
    EXPECT_EQ(C::listDescription({}), QStringLiteral("(\n)"));
    EXPECT_EQ(C::listDescription({QStringLiteral("Mac"), QStringLiteral("Office Mac")}),
              QStringLiteral("(\n    Mac,\n    \"Office Mac\"\n)"));
}

TEST(ListingCommandTest, FirstLevelCommandInBothForms) {
    using C = RezodeListAndUpdateToDBController;
    const auto shell = C::firstLevelCommand(true, QStringLiteral("/p/ZorvikHollin_ver_001"),
                                            QStringLiteral("/etc/initialListingPasswd.secrets"),
                                            QStringLiteral("alice"), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(shell.program, QStringLiteral("/bin/bash"));
    EXPECT_EQ(
        shell.arguments,
        QStringList({QStringLiteral("-c"),
                     QStringLiteral("rsync --list-only --password-file=\"/etc/initialListingPasswd.secrets\" "
                                    "alice@10.0.0.5::\"backup/alice/\"")}));
    const auto direct = C::firstLevelCommand(false, QStringLiteral("/p/ZorvikHollin_ver_001"),
                                             QStringLiteral("/etc/initialListingPasswd.secrets"),
                                             QStringLiteral("alice"), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(direct.program, QStringLiteral("/p/ZorvikHollin_ver_001"));
    EXPECT_EQ(direct.arguments,
              QStringList({QStringLiteral("--list-only"),
                           QStringLiteral("--password-file=/etc/initialListingPasswd.secrets"),
                           QStringLiteral("alice@10.0.0.5::\"backup/alice/\"")}));
}

TEST(ListingCommandTest, FolderLevelArgumentsInBothFormsAndNoEscapeFromQuotes) {
    RezodeLoger logger;
    RezodeListAndUpdateToDBController lister(PlatformProfile::forLinux(), logger);
    lister.setUserName(QStringLiteral("alice"));
    lister.setServerIp(QStringLiteral("10.0.0.5"));
    lister.setIsBuiltinRsync(true);
    EXPECT_EQ(lister.folderLevelArguments(QStringLiteral("My Mac")),
              QStringList({QStringLiteral("-c"),
                           QStringLiteral("rsync --list-only  --recursive "
                                          "--password-file=\"/etc/initialListingPasswd.secrets\" "
                                          "alice@10.0.0.5::\"backup/alice/My Mac/\"")}));
    const QStringList odd = lister.folderLevelArguments(QStringLiteral("x\"; touch /tmp/pwned; \"$(id)`id`"));
    EXPECT_TRUE(odd.at(1).endsWith(
        QStringLiteral("::\"backup/alice/x\\\"; touch /tmp/pwned; \\\"\\$(id)\\`id\\`/\"")))
        << odd.at(1).toStdString();

    lister.setIsBuiltinRsync(false);
    EXPECT_EQ(lister.folderLevelArguments(QStringLiteral("My Mac")),
              QStringList({QStringLiteral("--list-only"), QStringLiteral("--recursive"),
                           QStringLiteral("--password-file=/etc/initialListingPasswd.secrets"),
                           QStringLiteral("alice@10.0.0.5::\"backup/alice/My Mac/\"")}));
}

} // namespace

TEST(ListingParserTest, SymlinkLinesNameTheLinkAndLocalTimesBecomeUtc) {
    const QByteArray savedTz = qgetenv("TZ");
    qputenv("TZ", "America/New_York");
    ::tzset();
    const auto link =
        ListingParser::parseLine("lrwxrwxrwx             11 2016/07/04 10:00:00 docs/latest -> v2 -> x");
    const auto file = ListingParser::parseLine("-rw-r--r--              5 2016/01/15 23:30:00 a -> b.txt");
    const QString lmd = link ? link->lmd() : QString();
    if (savedTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", savedTz);
    ::tzset();
    ASSERT_TRUE(link && file);
    EXPECT_EQ(link->name, QStringLiteral("docs/latest"));
    EXPECT_EQ(lmd, QStringLiteral("2016-07-04 14:00:00 +0000")) << "summer time, UTC-4";
    EXPECT_EQ(file->name, QStringLiteral("a -> b.txt")) << "only a symlink's name is cut";
}
