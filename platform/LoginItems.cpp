#include "LoginItems.h"

#ifdef ZH_PLATFORM_LINUX
#include "linux/XdgAutostartLoginItems.h"
#endif

std::unique_ptr<LoginItems> LoginItems::forHome(const QString& home) {
#ifdef ZH_PLATFORM_LINUX
    return std::make_unique<XdgAutostartLoginItems>(home);
#endif
}
