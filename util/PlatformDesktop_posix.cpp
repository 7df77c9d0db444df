// POSIX systems have no desktop of their own below a window toolkit: the headless default
// serves (boxes and beeps on standard error).
#include "util/PlatformDesktop.h"

namespace sincrovia {

DesktopServices& PlatformDesktop() {
    static HeadlessDesktop instance;
    return instance;
}

}  // namespace sincrovia
