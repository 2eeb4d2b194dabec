#pragma once

#include "Schedule.h"

#include <QByteArray>
#include <QList>

class Model;
class Random;
class World;

// What people and their programs do to a home, each act with the person's rights (the files are
// theirs from the start, as when their programs write them), and every content written recorded in
// the model right after it is written.
class Workload {
  public:
    // big: a folder of 100,000 files may come.
    Workload(World& world, Model& model, bool big);

    // The home as the person has it before the first backup: documents, pictures, a cache, and the
    // desktop's hidden files (settings, the X session's secret, its log).
    void populate(quint64 seed);
    // Carries out one step of the person's (isFault(step.op) is false). Returns what it did, for the
    // run's log.
    QString apply(const Step& step);

    // Programs writing that many files at once into a new folder.
    QString storm(quint64 value, int files);

    int operations() const { return mOperations; }

  private:
    // The person's acts, each with their rights.
    bool write(const QByteArray& path, const QByteArray& content, bool append = false);
    bool makeFolder(const QByteArray& path);
    bool move(const QByteArray& from, const QByteArray& to); // rename, or copy and remove across disks
    bool remove(const QByteArray& path);                     // a file, a link or a whole folder
    QByteArray content(Random& random, qint64 size) const;

    // Choices among what is there now, the same for the same home and value.
    QList<QByteArray> documents() const;         // the regular files of the home the model knows
    QByteArray pickFile(Random& random) const;   // one of them, "" when none
    QByteArray pickFolder(Random& random) const; // a folder of the home (the home itself at worst)
    QList<QByteArray> folders() const;
    void observe(const QByteArray& path); // the path and every other name of its file
    QByteArray home() const;

    QString newTree(Random& r);
    QString saveThroughTemp(Random& r);
    QString changeInPlace(Random& r, Op op);
    QString moveIn(Random& r);
    QString moveFromExcluded(Random& r);
    QString moveOut(Random& r);
    QString renameFile(Random& r);
    QString renameFolder(Random& r);
    QString deleteSomething(Random& r);
    QString hardLink(Random& r);
    QString symlink(Random& r, bool out);
    QString readability(Random& r, bool readable);
    QString largeFile(Random& r);
    QString oddNames(Random& r);
    QString deepPath(Random& r);
    QString burst(Random& r, int files);
    QString dotFiles(Random& r);
    QString encrypt(Random& r);

    World& mWorld;
    Model& mModel;
    bool mBig;
    int mOperations = 0;
};
