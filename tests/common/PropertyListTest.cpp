#include "PropertyList.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

void writeRaw(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

class PropertyListTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString file(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

} // namespace

TEST_F(PropertyListTest, DictionaryRoundTripWithNestedProgress) {
    const QVariantMap progress{{QStringLiteral("TotalSize"), QStringLiteral("1.50 KB")},
                               {QStringLiteral("UploadingFile"), QStringLiteral("/home/a/b <&> \"c\".txt")},
                               {QStringLiteral("TotalFiles"), QStringLiteral("3 out of 10")}};
    const QVariantMap details{{QStringLiteral("username"), QStringLiteral("ann")},
                              {QStringLiteral("password"), QStringLiteral("p@ss \"w' $(x)")},
                              {QStringLiteral("PauseState"), QStringLiteral("0")},
                              {QStringLiteral("note"), QStringLiteral("Grüße\nzweite Zeile")},
                              {QStringLiteral("progress"), progress}};
    ASSERT_TRUE(PropertyList::writeDictionary(file("d.plist"), details, PropertyList::OwnerOnlyMode));
    QString error;
    EXPECT_EQ(PropertyList::readDictionary(file("d.plist"), &error), details);
    EXPECT_TRUE(error.isEmpty());
    // What other tools expect of an XML property list.
    QFile f(file("d.plist"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray xml = f.readAll();
    EXPECT_TRUE(xml.startsWith("<?xml"));
    EXPECT_TRUE(xml.contains("<key>username</key>"));
}

TEST_F(PropertyListTest, StringArrayRoundTrip) {
    const QStringList paths{QStringLiteral("/home/a/with blank"), QStringLiteral("/home/a/quo\"te's"),
                            QStringLiteral("/home/a/$(touch x)"), QStringLiteral("/home/a/new\nline"),
                            QStringLiteral("")};
    ASSERT_TRUE(PropertyList::writeStringArray(file("a.txt"), paths, PropertyList::PublicMode));
    EXPECT_EQ(PropertyList::readStringArray(file("a.txt")), paths);
    ASSERT_TRUE(PropertyList::writeStringArray(file("empty.txt"), {}, PropertyList::PublicMode));
    QString error;
    EXPECT_TRUE(PropertyList::readStringArray(file("empty.txt"), &error).isEmpty());
    EXPECT_TRUE(error.isEmpty());
}

TEST_F(PropertyListTest, MalformedOrWronglyTypedFilesReadAsEmpty) {
    const QList<QByteArray> bad = {
        "",
        "not xml at all",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>b</dict></plist>",
        QByteArray("\x00\x01\x02\xff\xfe", 5),
        "bplist00garbage",
    };
    int n = 0;
    for (const QByteArray& content : bad) {
        const QString path = dir.filePath(QStringLiteral("bad%1").arg(n++));
        writeRaw(path, content);
        QString error;
        EXPECT_TRUE(PropertyList::readDictionary(path, &error).isEmpty()) << content.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(PropertyList::readStringArray(path, &error).isEmpty());
    }
    // An array where a dictionary is expected, and the other way round.
    ASSERT_TRUE(
        PropertyList::writeStringArray(file("array"), {QStringLiteral("x")}, PropertyList::PublicMode));
    QString error;
    EXPECT_TRUE(PropertyList::readDictionary(file("array"), &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("not a dictionary")));
    ASSERT_TRUE(PropertyList::writeDictionary(file("dict"), {{QStringLiteral("k"), QStringLiteral("v")}},
                                              PropertyList::PublicMode));
    EXPECT_TRUE(PropertyList::readStringArray(file("dict"), &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("not an array")));
    // Missing.
    EXPECT_TRUE(PropertyList::readDictionary(file("missing"), &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("does not exist")));
}

TEST_F(PropertyListTest, OtherValueTypesReadAsText) {
    writeRaw(file("typed.plist"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<plist version=\"1.0\"><dict>"
                                  "<key>remembermeState</key><integer>1</integer>"
                                  "<key>flag</key><true/>"
                                  "<key>off</key><false/>"
                                  "<key>blob</key><data>AAEC</data>"
                                  "<key>list</key><array><string>a</string><integer>2</integer></array>"
                                  "</dict></plist>");
    const QVariantMap map = PropertyList::readDictionary(file("typed.plist"));
    EXPECT_EQ(map.value(QStringLiteral("remembermeState")).toString(), QStringLiteral("1"));
    EXPECT_EQ(map.value(QStringLiteral("flag")).toString(), QStringLiteral("1"));
    EXPECT_EQ(map.value(QStringLiteral("off")).toString(), QStringLiteral("0"));
    EXPECT_FALSE(map.contains(QStringLiteral("blob")));
    EXPECT_EQ(map.value(QStringLiteral("list")).toStringList(),
              (QStringList{QStringLiteral("a"), QStringLiteral("2")}));
}

TEST_F(PropertyListTest, ModesAreSetFromCreationAndOnReplacement) {
    const mode_t old = ::umask(0);
    ASSERT_TRUE(PropertyList::writeDictionary(file("secret.plist"),
                                              {{QStringLiteral("password"), QStringLiteral("x")}},
                                              PropertyList::OwnerOnlyMode));
    EXPECT_EQ(modeOf(file("secret.plist")), 0600u);
    ASSERT_TRUE(PropertyList::writeDictionary(file("public.plist"), {}, PropertyList::PublicMode));
    EXPECT_EQ(modeOf(file("public.plist")), 0644u);
    // Replacing a public file with secret content tightens it.
    ASSERT_TRUE(PropertyList::writeDictionary(file("public.plist"),
                                              {{QStringLiteral("password"), QStringLiteral("y")}},
                                              PropertyList::OwnerOnlyMode));
    EXPECT_EQ(modeOf(file("public.plist")), 0600u);
    ::umask(old);
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(PropertyListTest, FailedWriteKeepsTheOldFile) {
    ASSERT_TRUE(
        PropertyList::writeStringArray(file("keep.txt"), {QStringLiteral("old")}, PropertyList::PublicMode));
    QString error;
    EXPECT_FALSE(PropertyList::writeStringArray(dir.filePath(QStringLiteral("no/such/folder/x.txt")),
                                                {QStringLiteral("new")}, PropertyList::PublicMode, &error));
    EXPECT_FALSE(error.isEmpty());
    if (geteuid() != 0) {
        ::chmod(QFile::encodeName(dir.path()).constData(), 0555);
        EXPECT_FALSE(PropertyList::writeStringArray(file("keep.txt"), {QStringLiteral("new")},
                                                    PropertyList::PublicMode));
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    }
    EXPECT_EQ(PropertyList::readStringArray(file("keep.txt")), QStringList{QStringLiteral("old")});
}

TEST_F(PropertyListTest, FilesInAUsersFolderBelongToThatUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "ownership changes need root";
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    const QString home = root.createHome(user);
    ASSERT_TRUE(PropertyList::writeDictionary(home + QStringLiteral("/userDetails.plist"),
                                              {{QStringLiteral("username"), QStringLiteral("u")}},
                                              PropertyList::OwnerOnlyMode));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(home + QStringLiteral("/userDetails.plist")).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PropertyListTest, DevicesSymlinksHugeAndDeepFilesReadAsEmpty) {
    const QByteArray good =
        PropertyList::dictionaryToXml({{QStringLiteral("username"), QStringLiteral("u")}});
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), file("zero.plist")));
    writeRaw(file("large.plist"), good + QByteArray(PropertyList::MaxFileSize, ' '));
    writeRaw(file("deep.plist"), "<plist version=\"1.0\"><dict><key>k</key>" +
                                     QByteArray("<array>").repeated(10000) +
                                     QByteArray("</array>").repeated(10000) + "</dict></plist>");
    const QList<std::pair<QString, QLatin1String>> cases{
        {QStringLiteral("/dev/zero"), QLatin1String("not a regular file")},
        {file("zero.plist"), QLatin1String("symbolic link")},
        {file("large.plist"), QLatin1String("larger than")},
        {file("deep.plist"), QLatin1String("nests deeper")}};
    for (const auto& [path, reason] : cases) {
        QString error;
        EXPECT_TRUE(PropertyList::readDictionary(path, &error).isEmpty()) << path.toStdString();
        EXPECT_TRUE(error.contains(reason)) << error.toStdString();
    }
}
