#include "MassChangeTripwire.h"

#include "DaemonTestServices.h"
#include "FileSystemEventStream.h"

#include <QRandomGenerator>

using F = FileSystemEventStream;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

class MassChangeTripwireTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    QStringList released;
    Timings timings;
    std::unique_ptr<MassChangeTripwire> make() {
        timings.massChangeWindow = 400ms;
        auto tripwire = std::make_unique<MassChangeTripwire>(
            env.services(timings), [this](const QString& path) { released << path; });
        tripwire->start(env.user.name);
        return tripwire;
    }
    QString file(int i) const { return env.home() + QStringLiteral("/Docs/doc %1.odt").arg(i); }
    static void write(const QString& path, const QByteArray& data) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
    }
    bool admit(MassChangeTripwire& t, const QString& path, quint32 flags) {
        return t.admit(path, QFile::encodeName(path), flags | F::ItemIsFile);
    }
};

} // namespace

TEST(MassChangeTripwireContent, RandomBytesWithoutAKnownFormatLookEncrypted) {
    const QByteArray random = randomBytes(64 * 1024, 7);
    EXPECT_TRUE(MassChangeTripwire::looksEncrypted(random));
    EXPECT_GT(MassChangeTripwire::entropy(random), 7.9);
    // Compressed by nature: an office document, a photo, an archive.
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(QByteArray("PK\x03\x04", 4) + random));
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(QByteArray("\xFF\xD8\xFF\xE0", 4) + random));
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(QByteArray("\x1F\x8B\x08", 3) + random));
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(QByteArray(4, 0) + "ftypisom" + random));
    // Text, and too little to tell.
    QByteArray text;
    while (text.size() < 64 * 1024)
        text += "Dear diary, today the backup held what ransomware rewrote. ";
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(text));
    EXPECT_LT(MassChangeTripwire::entropy(text), 5.0);
    EXPECT_FALSE(MassChangeTripwire::looksEncrypted(random.left(512)));
}

TEST_F(MassChangeTripwireTest, EncryptedRewritesAreHeldFromTheFirstAndLetGoOnContinue) {
    auto tripwire = make();
    tripwire->setFileCount(100); // thresholds: 20 encrypted-looking, 500 rewrites
    for (int i = 0; i < 30; ++i)
        write(file(i), randomBytes(8192, quint32(i)));
    // The first ones are parked while the window judges them: none goes out.
    for (int i = 0; i < MassChangeTripwire::EncryptedMinimum - 1; ++i)
        EXPECT_FALSE(admit(*tripwire, file(i), F::ItemModified)) << i;
    EXPECT_FALSE(tripwire->snapshot().tripped);
    int trips = 0;
    QObject::connect(tripwire.get(), &MassChangeTripwire::tripped, [&trips](int) { ++trips; });
    EXPECT_FALSE(admit(*tripwire, file(19), F::ItemModified));
    EXPECT_TRUE(tripwire->snapshot().tripped);
    // Held from now on: every rewrite, also a renamed-over save and a plain text one.
    write(env.home() + "/notes.txt", "plain words");
    EXPECT_FALSE(admit(*tripwire, env.home() + "/notes.txt", F::ItemModified));
    for (int i = 20; i < 30; ++i)
        EXPECT_FALSE(admit(*tripwire, file(i), F::ItemRenamed));
    // Everything else flows: new files, even random ones. What is held stays held whatever happens to
    // it next (made anew, removed): the person decides about it.
    write(env.home() + "/new photo.raw", randomBytes(8192, 99));
    EXPECT_TRUE(admit(*tripwire, env.home() + "/new photo.raw", F::ItemCreated));
    EXPECT_FALSE(admit(*tripwire, file(3), F::ItemCreated | F::ItemRemoved));
    ASSERT_TRUE(waitUntil([&] { return trips == 1; }));
    EXPECT_EQ(tripwire->snapshot().held, 31);
    EXPECT_TRUE(released.isEmpty());
    spinFor(800);
    EXPECT_TRUE(released.isEmpty()) << "held, not released when the window has passed";

    // What is held survives a restart.
    tripwire.reset();
    auto again = make();
    EXPECT_TRUE(again->snapshot().tripped);
    EXPECT_EQ(again->snapshot().held, 31);
    // The person's "Continue": everything goes, and the window starts anew.
    again->release();
    EXPECT_EQ(released.size(), 31);
    EXPECT_TRUE(released.contains(env.home() + "/notes.txt"));
    EXPECT_FALSE(again->snapshot().tripped);
    write(env.home() + "/notes.txt", "more plain words");
    EXPECT_TRUE(admit(*again, env.home() + "/notes.txt", F::ItemModified));
    EXPECT_EQ(make()->snapshot().held, 0) << "nothing held on disk any more";
}

TEST_F(MassChangeTripwireTest, AFewEncryptedLookingRewritesGoOutAfterTheWindowAndBulkWorkNeverTrips) {
    auto tripwire = make();
    tripwire->setFileCount(2000);
    for (int i = 0; i < 5; ++i) {
        write(file(i), randomBytes(8192, quint32(100 + i)));
        EXPECT_FALSE(admit(*tripwire, file(i), F::ItemModified));
    }
    EXPECT_TRUE(waitUntil([&] { return released.size() == 5; }, 3000)) << "parked, then let go";
    EXPECT_FALSE(tripwire->snapshot().tripped);
    // An unpacked archive or a photo import: new files, however many; an editor saving text.
    released.clear();
    for (int i = 0; i < 3000; ++i)
        EXPECT_TRUE(tripwire->admit(env.home() + QStringLiteral("/Import/%1.jpg").arg(i), {},
                                    F::ItemCreated | F::ItemIsFile));
    for (int i = 0; i < 400; ++i) {
        write(file(1000 + i), "text that changed");
        EXPECT_TRUE(admit(*tripwire, file(1000 + i), F::ItemModified));
    }
    EXPECT_FALSE(tripwire->snapshot().tripped);
}
