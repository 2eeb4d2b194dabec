#pragma once

#include <QLatin1String>
#include <QString>

#include <functional>
#include <memory>

// Who is logged in at the screen, and when that changes.
class ConsoleUserSource {
  public:
    // The name reported while nobody is logged in at the screen.
    static constexpr QLatin1String LoginWindow{"loginwindow"};

    using ChangeHandler = std::function<void(const QString& userName)>;

    virtual ~ConsoleUserSource() = default;

    // The console user's short name, or LoginWindow. Callable from any thread.
    virtual QString currentUserName() const = 0;

    // Starts reporting changes to handler, on the calling thread, which must run an event loop. The
    // handler gets the new name (LoginWindow when the user left) and is called only when the name
    // differs from the one last read. False, with a reason, when the watch cannot be set up.
    virtual bool watch(ChangeHandler handler, QString* error = nullptr) = 0;

    // The source of this platform.
    static std::unique_ptr<ConsoleUserSource> create();
};
