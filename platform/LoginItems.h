#pragma once

#include <QString>

#include <memory>

// The programs the user's desktop session starts at log-in.
class LoginItems {
  public:
    virtual ~LoginItems() = default;

    // Adds the application at applicationPath to the user's login items. False, with nothing
    // changed, when the list cannot be written.
    virtual bool add(const QString& applicationPath) = 0;
    // Removes every login item whose program path begins with applicationPath. False when the list
    // cannot be read or an item cannot be removed.
    virtual bool remove(const QString& applicationPath) = 0;

    // The login items of the user whose home is given.
    static std::unique_ptr<LoginItems> forHome(const QString& home);
};
