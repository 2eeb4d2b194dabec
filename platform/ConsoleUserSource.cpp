#include "ConsoleUserSource.h"

#ifdef ZH_PLATFORM_LINUX
#include "linux/LogindConsoleUserSource.h"
#endif

std::unique_ptr<ConsoleUserSource> ConsoleUserSource::create() {
#ifdef ZH_PLATFORM_LINUX
    return std::make_unique<LogindConsoleUserSource>();
#endif
}
