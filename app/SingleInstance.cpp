// The start-up check shared by every platform; the lock itself is per platform
// (SingleInstance_posix.cpp, SingleInstance_win32.cpp).
#include "app/SingleInstance.h"

#include "app/SSincrovia.h"
#include "util/DesktopServices.h"

namespace sincrovia {

SingleInstanceGuard::SingleInstanceGuard(std::string lockPath) : path_(std::move(lockPath)) {}

bool PassSingleInstanceCheck(SingleInstanceGuard& guard, const std::function<bool()>& isDeveloperWorkstation) {
    if (guard.TryAcquire() != SingleInstanceGuard::Result::HeldElsewhere) return true;
    if (isDeveloperWorkstation && isDeveloperWorkstation()) return true;
    Desktop().MessageBox(ApplicationTitle, AlreadyRunningText, MsgIcon::Error, MsgButtons::Ok, MsgAnswer::Ok);
    return false;
}

}  // namespace sincrovia
