// The system's own desktop services, for programs that have no window toolkit of their own (the
// decoder console): on Windows the system's message boxes, beep and sounds; elsewhere the
// headless default.
#pragma once

#include "util/DesktopServices.h"

namespace sincrovia {

/// The system's desktop services; lives as long as the program. Install it with SetDesktop.
DesktopServices& PlatformDesktop();

}  // namespace sincrovia
