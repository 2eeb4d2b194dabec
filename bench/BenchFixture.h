#pragma once

#include "Appliance.h"
#include "TestRoots.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <optional>

// The local account the appliance benchmarks act for, or nothing (with the reason printed) when the
// machine cannot run the appliance fixture.
inline std::optional<FixtureUser> benchFixtureUser() {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty()) {
        std::printf("skipped: %s\n", qPrintable(reason));
        return std::nullopt;
    }
    QString error;
    FixtureUser user = FixtureUser::get(&error);
    if (user.name.isEmpty()) {
        std::printf("skipped: no fixture user: %s\n", qPrintable(error));
        return std::nullopt;
    }
    return user;
}

// Runs a real event loop (it sleeps while nothing happens, as the application's does) until condition
// holds, looking every pollMs; false after timeoutMs.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs, int pollMs = 5) {
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer t;
    t.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || t.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(pollMs);
    if (!condition())
        loop.exec();
    return condition();
}
