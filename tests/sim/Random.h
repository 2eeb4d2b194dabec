#pragma once

#include <QtGlobal>

#include <cstdint>

// A small generator whose sequence is the same on every machine and library (the standard
// distributions are not), so that a seed replays the same schedule anywhere. splitmix64.
class Random {
  public:
    explicit Random(quint64 seed) : mState(seed) {}

    quint64 next() {
        quint64 z = (mState += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // 0 … bound-1 (bound > 0).
    quint64 below(quint64 bound) { return bound ? next() % bound : 0; }
    // lo … hi inclusive.
    qint64 between(qint64 lo, qint64 hi) { return lo + qint64(below(quint64(hi - lo + 1))); }
    bool chance(int percent) { return below(100) < quint64(percent); }
    template <typename List> const auto& pick(const List& list) {
        return list.at(qsizetype(below(list.size())));
    }

  private:
    quint64 mState;
};
