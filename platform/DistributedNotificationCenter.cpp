#include "DistributedNotificationCenter.h"

#include "ConsoleUserSource.h"
#include "ServedPerson.h"

#include <pwd.h>
#include <vector>

namespace {

bool uidOf(const QString& userName, uid_t& uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    const QByteArray name = userName.toLocal8Bit();
    while (getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    uid = found->pw_uid;
    return true;
}

bool isStringMap(const QVariantMap& map) {
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        if (it.value().typeId() != QMetaType::QString)
            return false;
    return true;
}

} // namespace

DistributedNotificationCenter::SenderCheck
DistributedNotificationCenter::rootOrConsoleUser(const ConsoleUserSource& consoleUser) {
    return [&consoleUser](uint uid) {
        if (uid == 0)
            return true;
        const QString name = consoleUser.currentUserName();
        uid_t consoleUid = 0;
        return name != ConsoleUserSource::LoginWindow && uidOf(name, consoleUid) && consoleUid == uid;
    };
}

DistributedNotificationCenter::SenderCheck
DistributedNotificationCenter::rootOrServedPerson(const ConsoleUserSource& consoleUser,
                                                  const ServedPerson& served) {
    return [&served, console = rootOrConsoleUser(consoleUser)](uint uid) {
        uid_t servedUid = 0;
        if (!served.get(nullptr, &servedUid))
            return console(uid);
        return uid == 0 || uid == servedUid;
    };
}

DistributedNotificationCenter::SenderCheck DistributedNotificationCenter::rootOnly() {
    return [](uint uid) { return uid == 0; };
}

bool DistributedNotificationCenter::isValidPayload(const QVariantMap& userInfo) {
    for (auto it = userInfo.cbegin(); it != userInfo.cend(); ++it) {
        const QVariant& value = it.value();
        if (value.typeId() == QMetaType::QString)
            continue;
        if (value.typeId() == QMetaType::QVariantMap && isStringMap(value.toMap()))
            continue;
        return false;
    }
    return true;
}
