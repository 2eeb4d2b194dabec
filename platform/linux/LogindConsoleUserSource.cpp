#include "LogindConsoleUserSource.h"

#include <QSocketNotifier>

#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <vector>

namespace {

QString userNameOf(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found && found->pw_name ? QString::fromLocal8Bit(found->pw_name) : QString();
}

QString errnoText(int negativeErrno) {
    return QString::fromLocal8Bit(std::strerror(-negativeErrno));
}

} // namespace

LogindConsoleUserSource::~LogindConsoleUserSource() {
    delete mNotifier;
    if (mMonitor)
        sd_login_monitor_unref(mMonitor);
}

QString LogindConsoleUserSource::currentUserName() const {
    char* session = nullptr;
    uid_t uid = 0;
    // Fails (ENXIO, ENOENT, ENODATA) when the seat has no active session or logind is not running.
    if (sd_seat_get_active("seat0", &session, &uid) < 0 || !session) {
        std::free(session);
        return QString(LoginWindow);
    }
    char* sessionClass = nullptr;
    const bool greeter = sd_session_get_class(session, &sessionClass) >= 0 && sessionClass &&
                         std::strcmp(sessionClass, "greeter") == 0;
    std::free(sessionClass);
    std::free(session);
    if (greeter)
        return QString(LoginWindow);
    const QString name = userNameOf(uid);
    return name.isEmpty() ? QString(LoginWindow) : name;
}

bool LogindConsoleUserSource::watch(ChangeHandler handler, QString* error) {
    if (mMonitor) {
        if (error)
            *error = QStringLiteral("the console user is already watched");
        return false;
    }
    // All categories: a seat's active session and a session's class change in different files.
    int r = sd_login_monitor_new(nullptr, &mMonitor);
    if (r < 0) {
        mMonitor = nullptr;
        if (error)
            *error = QStringLiteral("sd_login_monitor_new: %1").arg(errnoText(r));
        return false;
    }
    r = sd_login_monitor_get_fd(mMonitor);
    if (r < 0) {
        sd_login_monitor_unref(mMonitor);
        mMonitor = nullptr;
        if (error)
            *error = QStringLiteral("sd_login_monitor_get_fd: %1").arg(errnoText(r));
        return false;
    }
    mHandler = std::move(handler);
    mLastName = currentUserName();
    mNotifier = new QSocketNotifier(r, QSocketNotifier::Read);
    QObject::connect(mNotifier, &QSocketNotifier::activated, mNotifier, [this] { monitorActivated(); });
    return true;
}

void LogindConsoleUserSource::monitorActivated() {
    sd_login_monitor_flush(mMonitor);
    // Sessions come and go without the console changing hands; only a new name is news.
    const QString name = currentUserName();
    if (name == mLastName)
        return;
    mLastName = name;
    if (mHandler)
        mHandler(name);
}
