#pragma once

#include "Appliance.h"
#include "TestRoots.h"

#include <cstdio>
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
