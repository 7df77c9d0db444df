// Only one Sincrovia runs per user at a time. A running main window holds an exclusive lock on
// a file in the user's runtime folder; the kernel drops the lock when the process ends, also
// when it crashes, so a stale file never blocks a later start. The lock names this program's
// main window class and nothing else.
#pragma once

#include <functional>
#include <string>

namespace sincrovia {

/// An exclusive per-user lock held for the life of the object.
class SingleInstanceGuard {
public:
    /// A guard over the lock file at `lockPath` (not yet taken).
    explicit SingleInstanceGuard(std::string lockPath = DefaultLockPath());
    /// Releases the lock.
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    /// Outcome of an attempt to take the lock.
    enum class Result {
        Acquired,       ///< this process now holds the lock
        HeldElsewhere,  ///< another process holds it: a main window is running
        Unavailable,    ///< the lock file cannot be used; nothing is known about other copies
    };
    /// Tries once, without waiting.
    Result TryAcquire();
    /// Whether this object holds the lock.
    bool Held() const { return fd_ >= 0; }
    /// $XDG_RUNTIME_DIR/sincrovia-TSincrovia.lock, or /tmp/sincrovia-TSincrovia-<uid>.lock when
    /// that variable is unset or empty.
    static std::string DefaultLockPath();

private:
    std::string path_;
    int fd_ = -1;
};

/// The text of the box that refuses a second copy.
inline constexpr char AlreadyRunningText[] = "Sorry: We are already running!";

/// The start-up check: true when the program may go on. When another main window runs and the
/// developer-workstation test answers false, shows the refusal box and answers false. The test
/// is asked only when another copy runs. A lock file that cannot be used lets the program start.
bool PassSingleInstanceCheck(SingleInstanceGuard& guard, const std::function<bool()>& isDeveloperWorkstation);

}  // namespace sincrovia
