#include "HostFacts.h"

#ifdef ZH_PLATFORM_LINUX
#include "linux/LinuxHostFacts.h"
#endif

const HostFacts& HostFacts::system() {
#ifdef ZH_PLATFORM_LINUX
    static const LinuxHostFacts facts;
#endif
    return facts;
}
