// POSIX lock file with flock(2): the lock belongs to the open file description, is not inherited
// across exec (O_CLOEXEC) and vanishes with the process.
#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sincrovia {

namespace {
constexpr char kLockName[] = "sincrovia-TSincrovia";
constexpr mode_t kLockFileMode = 0600;
}  // namespace

SingleInstanceGuard::~SingleInstanceGuard() {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the lock
}
std::string SingleInstanceGuard::DefaultLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/" + kLockName + ".lock";
    return std::string("/tmp/") + kLockName + "-" + std::to_string(::getuid()) + ".lock";
}

SingleInstanceGuard::Result SingleInstanceGuard::TryAcquire() {
    if (fd_ >= 0) return Result::Acquired;
    // O_NOFOLLOW: in a shared /tmp, a link planted by someone else must not redirect us.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode);
    if (fd < 0) return Result::Unavailable;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        fd_ = fd;
        return Result::Acquired;
    }
    const int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
}

}  // namespace sincrovia
