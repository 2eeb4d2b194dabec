#pragma once

#include <chrono>

// Every interval the application waits for, with its standard value; tests shorten them.
struct AppTimings {
    using ms = std::chrono::milliseconds;

    ms startupWindow{120000};      // "Processing..." instead of "nothing to back up" after launch or a choice
    ms completedSecondStop{10000}; // "Backup completed" stops the animation again this much later
    ms userChangedDelay{5000};     // "Reinitialize" after a log-in as another user
    ms animationInterval{170};     // one frame of the menu icon animation
    ms blinkInterval{400};         // one image of the blink
    ms probeTimeout{30000};        // the rsync probe and the discovery ping give up after this
    ms loginCheckTimeout{30000};   // the log-in check gives up on an appliance silent this long
};
