#include "PropertyList.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class PropertyListTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString file(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QString write(const char* name, const QByteArray& data) const {
        QFile f(file(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        return f.fileName();
    }
    mode_t modeOf(const char* name) const {
        struct stat st {};
        ::stat(QFile::encodeName(file(name)).constData(), &st);
        return st.st_mode & 07777;
    }
};

} // namespace

TEST_F(PropertyListTest, DictionariesArraysAndOtherValueTypesRoundTrip) {
    const QVariantMap progress{{"TotalSize", "1.50 KB"},
                               {"UploadingFile", "/home/a/b <&> \"c\".txt"},
                               {"TotalFiles", "3 out of 10"}};
    const QVariantMap details{{"username", "ann"},
                              {"password", "p@ss \"w' $(x)"},
                              {"PauseState", "0"},
                              {"note", "Grüße\nzweite Zeile"},
                              {"progress", progress}};
    ASSERT_TRUE(PropertyList::writeDictionary(file("d.plist"), details, PropertyList::OwnerOnlyMode));
    QString error;
    EXPECT_EQ(PropertyList::readDictionary(file("d.plist"), &error), details);
    EXPECT_TRUE(error.isEmpty());
    QFile xml(file("d.plist")); // what other tools expect of an XML property list
    EXPECT_TRUE(xml.open(QIODevice::ReadOnly) && xml.readAll().startsWith("<?xml"));
    const QStringList paths{"/home/a/with blank", "/home/a/quo\"te's", "/home/a/$(touch x)",
                            "/home/a/new\nline", ""};
    ASSERT_TRUE(PropertyList::writeStringArray(file("a.txt"), paths, PropertyList::PublicMode));
    EXPECT_EQ(PropertyList::readStringArray(file("a.txt")), paths);
    ASSERT_TRUE(PropertyList::writeStringArray(file("empty.txt"), {}, PropertyList::PublicMode));
    EXPECT_TRUE(PropertyList::readStringArray(file("empty.txt"), &error).isEmpty());
    EXPECT_TRUE(error.isEmpty());

    const QVariantMap typed = PropertyList::readDictionary(
        write("typed.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>remembermeState</key><integer>1</integer><key>flag</key><true/>"
              "<key>off</key><false/><key>blob</key><data>AAEC</data>"
              "<key>list</key><array><string>a</string><integer>2</integer></array></dict></plist>"));
    EXPECT_EQ(typed,
              (QVariantMap{
                  {"remembermeState", "1"}, {"flag", "1"}, {"off", "0"}, {"list", QStringList{"a", "2"}}}));
}

TEST_F(PropertyListTest, MalformedOrWronglyTypedFilesReadAsEmpty) {
    const QByteArray good = PropertyList::dictionaryToXml({{"username", "u"}});
    ASSERT_TRUE(QFile::link("/dev/zero", file("zero.plist")));
    const QList<std::pair<QString, QString>> cases{
        {write("empty", ""), ""},
        {write("text", "not xml at all"), ""},
        {write("cut", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"), ""},
        {write("unclosed",
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>b</dict></plist>"),
         ""},
        {write("bytes", QByteArray("\x00\x01\x02\xff\xfe", 5)), ""},
        {write("binary", "bplist00garbage"), ""},
        {file("missing"), "does not exist"},
        {"/dev/zero", "not a regular file"},
        {file("zero.plist"), "symbolic link"},
        {write("large", good + QByteArray(PropertyList::MaxFileSize, ' ')), "larger than"},
        {write("deep", "<plist version=\"1.0\"><dict><key>k</key>" + QByteArray("<array>").repeated(10000) +
                           QByteArray("</array>").repeated(10000) + "</dict></plist>"),
         "nests deeper"}};
    for (const auto& [path, reason] : cases) {
        QString error;
        EXPECT_TRUE(PropertyList::readDictionary(path, &error).isEmpty()) << path.toStdString();
        EXPECT_TRUE(!error.isEmpty() && error.contains(reason)) << error.toStdString();
        EXPECT_TRUE(PropertyList::readStringArray(path).isEmpty()) << path.toStdString();
    }
    // An array where a dictionary is expected, and the other way round.
    QString error;
    ASSERT_TRUE(PropertyList::writeStringArray(file("array"), {"x"}, PropertyList::PublicMode));
    EXPECT_TRUE(PropertyList::readDictionary(file("array"), &error).isEmpty());
    EXPECT_TRUE(error.contains("not a dictionary"));
    ASSERT_TRUE(PropertyList::writeDictionary(file("dict"), {{"k", "v"}}, PropertyList::PublicMode));
    EXPECT_TRUE(PropertyList::readStringArray(file("dict"), &error).isEmpty());
    EXPECT_TRUE(error.contains("not an array"));
}

TEST_F(PropertyListTest, ModesAreSetFromCreationAndOnReplacementAndAFailedWriteKeepsTheOldFile) {
    const mode_t old = ::umask(0);
    ASSERT_TRUE(PropertyList::writeDictionary(file("secret.plist"), {{"password", "x"}},
                                              PropertyList::OwnerOnlyMode));
    EXPECT_EQ(modeOf("secret.plist"), 0600u);
    ASSERT_TRUE(PropertyList::writeDictionary(file("public.plist"), {}, PropertyList::PublicMode));
    EXPECT_EQ(modeOf("public.plist"), 0644u);
    // Replacing a public file with secret content tightens it.
    ASSERT_TRUE(PropertyList::writeDictionary(file("public.plist"), {{"password", "y"}},
                                              PropertyList::OwnerOnlyMode));
    EXPECT_EQ(modeOf("public.plist"), 0600u);
    ::umask(old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left

    ASSERT_TRUE(PropertyList::writeStringArray(file("keep.txt"), {"old"}, PropertyList::PublicMode));
    QString error;
    EXPECT_FALSE(PropertyList::writeStringArray(file("no/such/folder/x.txt"), {"new"},
                                                PropertyList::PublicMode, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(PropertyList::readStringArray(file("keep.txt")), QStringList{"old"});
}
