// Windows lock file: the file is opened with no sharing at all, so a second opener is refused
// while this process holds it; the system closes the handle when the process ends, also when it
// crashes, so a stale file never blocks a later start.
#include "app/SingleInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdlib>

namespace sincrovia {

namespace {
constexpr char kLockName[] = "sincrovia-TSincrovia.lock";
}  // namespace

SingleInstanceGuard::~SingleInstanceGuard() {
    if (fd_ >= 0) ::_close(fd_);  // closing the file lets the next copy in
}

std::string SingleInstanceGuard::DefaultLockPath() {
    const char* temp = std::getenv("TEMP");
    if (temp && *temp) return std::string(temp) + "\\" + kLockName;
    return std::string(".\\") + kLockName;
}

SingleInstanceGuard::Result SingleInstanceGuard::TryAcquire() {
    if (fd_ >= 0) return Result::Acquired;
    int fd = -1;
    const errno_t err =
        ::_sopen_s(&fd, path_.c_str(), _O_RDWR | _O_CREAT | _O_NOINHERIT, _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (err == 0) {
        fd_ = fd;
        return Result::Acquired;
    }
    // A sharing violation shows as EACCES: another process holds the file open.
    return err == EACCES ? Result::HeldElsewhere : Result::Unavailable;
}

}  // namespace sincrovia
