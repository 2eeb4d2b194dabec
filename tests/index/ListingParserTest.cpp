// Reading rsync's list-only output, and the listing command lines.

#include "ListingParser.h"
#include "IndexTestSupport.h"

#include <ctime>

using namespace indextest;

namespace {

// "size|date|time|name" and "/" for a folder, or "<none>".
QString read(const QByteArray& line) {
    const auto e = ListingParser::parseLine(line);
    return e ? e->size + u'|' + e->date + u'|' + e->time + u'|' + e->name + (e->directory ? u"/"_s : u""_s)
             : u"<none>"_s;
}

TEST(ListingParserTest, KeepsNamesExactlyAndIgnoresLinesThatAreNoEntry) {
    EXPECT_EQ(read("-rw-r--r--      1,234 2016/03/04 05:06:07 Docs/My File.txt"),
              u"1,234|2016/03/04|05:06:07|Docs/My File.txt"_s);
    EXPECT_EQ(read("drwxr-xr-x          4,096 2016/03/04 05:06:07 ."), u"4,096|2016/03/04|05:06:07|./"_s);
    for (const char* name : {"a  b.txt", " lead", "trail ", "tab\tx", "it's \"q\" $(x)", "crlf\r"})
        EXPECT_EQ(read(QByteArray("-rw-r--r-- 1 2016/03/04 05:06:07 ") + name),
                  u"1|2016/03/04|05:06:07|"_s + QString::fromUtf8(name).remove(u'\r'));
    for (const char* line : {"drwxr-xr-x", "-rw-r--r--      1,234 2016/03/04 05:06:07 ", "",
                             "@ERROR: auth failed on module backup",
                             "rsync error: error starting client-server protocol (code 5)"})
        EXPECT_EQ(read(line), u"<none>"_s) << line;
}

TEST(ListingParserTest, UndoesRsyncEscapesAndKeepsWhatIsNoUtf8) {
    const std::pair<const char*, const char*> cases[] = {{"new\\#012line", "new\nline"},
                                                         {"back\\#134#123", "back\\#123"},
                                                         {"Caf\\#303\\#251", "Café"},
                                                         {"bad\\#377", "bad\\#377"},
                                                         {"bad\xff", "bad\\#377"},
                                                         {"half\xc3", "half\\#303"},
                                                         {"\xed\xa0\x80", "\\#355\\#240\\#200"},
                                                         {"not\\#9999", "not\\#9999"},
                                                         {"emoji 😀", "emoji 😀"}};
    for (const auto& [printed, name] : cases)
        EXPECT_EQ(ListingParser::decodeName(printed), QString::fromUtf8(name)) << printed;
}

TEST(ListingParserTest, SymlinkLinesNameTheLinkAndLocalTimesBecomeUtc) {
    const QByteArray savedTz = qgetenv("TZ");
    qputenv("TZ", "America/New_York");
    ::tzset();
    const auto link =
        ListingParser::parseLine("lrwxrwxrwx             11 2016/07/04 10:00:00 docs/latest -> v2");
    const QString lmd = link ? link->lmd() : QString();
    savedTz.isNull() ? qunsetenv("TZ") : qputenv("TZ", savedTz);
    ::tzset();
    EXPECT_EQ(lmd, u"2016-07-04 14:00:00 +0000"_s) << "summer time, UTC-4";
    EXPECT_EQ(read("lrwxrwxrwx 11 2016/07/04 10:00:00 docs/latest -> v2 -> x"),
              u"11|2016/07/04|10:00:00|docs/latest"_s);
    EXPECT_EQ(read("-rw-r--r-- 5 2016/01/15 23:30:00 a -> b.txt"), u"5|2016/01/15|23:30:00|a -> b.txt"_s)
        << "only a symlink's name is cut";
}

} // namespace
