// One copy per user: the lock is seen from another process, dies with its holder (also on a
// crash), and the start-up check refuses a second copy with the box unless on the developer
// workstation.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/SingleInstance.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

namespace fs = std::filesystem;

/// A fresh folder for lock files, removed at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "sincrovia-lock-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const char* name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

/// Exit codes a child uses to report what its own attempt gave.
int CodeOf(SingleInstanceGuard::Result r) { return static_cast<int>(r) + 10; }

/// Runs TryAcquire in a child process and returns its result code.
int AttemptInChild(const std::string& lockPath) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        SingleInstanceGuard guard(lockPath);
        ::_exit(CodeOf(guard.TryAcquire()));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SingleInstance : public ::testing::Test {
protected:
    TempFolder folder;
};

TEST_F(SingleInstance, AnotherProcessSeesTheLockUntilItIsReleased) {
    ASSERT_FALSE(folder.Path().empty());
    const std::string lock = folder.File("instance.lock");
    {
        SingleInstanceGuard first(lock);
        ASSERT_EQ(first.TryAcquire(), SingleInstanceGuard::Result::Acquired);
        EXPECT_TRUE(first.Held());
        EXPECT_EQ(AttemptInChild(lock), CodeOf(SingleInstanceGuard::Result::HeldElsewhere));
    }
    EXPECT_EQ(AttemptInChild(lock), CodeOf(SingleInstanceGuard::Result::Acquired)) << "released with the guard";
}

TEST_F(SingleInstance, ACrashedHolderLeavesNoStaleLock) {
    const std::string lock = folder.File("crash.lock");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        SingleInstanceGuard guard(lock);
        const char ok = guard.TryAcquire() == SingleInstanceGuard::Result::Acquired ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();  // killed by the parent, no destructor runs
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    SingleInstanceGuard probe(lock);
    EXPECT_EQ(probe.TryAcquire(), SingleInstanceGuard::Result::HeldElsewhere) << "holder alive";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(fs::exists(lock)) << "the file stays behind";
    EXPECT_EQ(probe.TryAcquire(), SingleInstanceGuard::Result::Acquired) << "but its lock died with the process";
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(SingleInstance, UnusableLockFiles) {
    struct Case {
        const char* legend;
        std::string path;
        SingleInstanceGuard::Result expected;
    };
    const std::string link = folder.File("planted.lock");
    fs::create_symlink(folder.File("target"), link);
    const Case cases[] = {
        {"folder missing", folder.File("no/such/folder.lock"), SingleInstanceGuard::Result::Unavailable},
        {"a planted symbolic link is not followed", link, SingleInstanceGuard::Result::Unavailable},
        {"a plain new file", folder.File("fresh.lock"), SingleInstanceGuard::Result::Acquired},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        SingleInstanceGuard guard(c.path);
        EXPECT_EQ(guard.TryAcquire(), c.expected);
    }
    EXPECT_FALSE(fs::exists(folder.File("target"))) << "nothing created through the link";
}

TEST_F(SingleInstance, StartUpCheck) {
    struct Case {
        const char* legend;
        bool otherRunning;
        bool developer;
        bool passes;
        bool boxShown;
        int developerAsked;
    };
    const Case cases[] = {
        {"first copy starts, the developer test is not asked", false, false, true, false, 0},
        {"second copy refused with the box", true, false, false, true, 1},
        {"second copy on the developer workstation starts", true, true, true, false, 1},
        {"first copy on the developer workstation starts", false, true, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        RecordingDesktop desktop;
        ScopedDesktop scoped(desktop);
        const std::string lock = folder.File("check.lock");
        SingleInstanceGuard other(lock);
        if (c.otherRunning) {
            ASSERT_EQ(other.TryAcquire(), SingleInstanceGuard::Result::Acquired);
        }
        // flock locks belong to the open file: a second guard in this process competes like
        // another process would.
        SingleInstanceGuard mine(lock);
        int asked = 0;
        const bool passes = PassSingleInstanceCheck(mine, [&] {
            ++asked;
            return c.developer;
        });
        EXPECT_EQ(passes, c.passes);
        EXPECT_EQ(asked, c.developerAsked);
        const auto boxes = desktop.Boxes();
        ASSERT_EQ(boxes.size(), c.boxShown ? 1u : 0u);
        if (c.boxShown) {
            EXPECT_EQ(boxes[0].caption, "Sincrovia");
            EXPECT_EQ(boxes[0].text, "Sorry: We are already running!");
            EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
            EXPECT_EQ(boxes[0].buttons, MsgButtons::Ok);
        }
    }
}

TEST_F(SingleInstance, ASecondProcessIsRefusedWithTheBoxUnlessOnTheDeveloperWorkstation) {
    // Exit codes of the child: 0 started without a box, 1 refused with the exact box, 2 other.
    struct Case {
        const char* legend;
        bool developer;
        int expected;
    };
    const Case cases[] = {
        {"normal workstation: refused with the box", false, 1},
        {"developer workstation: starts", true, 0},
    };
    const std::string lock = folder.File("process.lock");
    SingleInstanceGuard running(lock);
    ASSERT_EQ(running.TryAcquire(), SingleInstanceGuard::Result::Acquired);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const pid_t pid = ::fork();
        if (pid == 0) {
            RecordingDesktop desktop;
            SetDesktop(&desktop);
            SingleInstanceGuard second(lock);
            const bool passes = PassSingleInstanceCheck(second, [&] { return c.developer; });
            const auto boxes = desktop.Boxes();
            int code = 2;
            if (passes && boxes.empty()) code = 0;
            if (!passes && boxes.size() == 1 && boxes[0].text == "Sorry: We are already running!" &&
                boxes[0].caption == "Sincrovia")
                code = 1;
            ::_exit(code);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.expected);
    }
    EXPECT_TRUE(running.Held()) << "the running copy is left alone";
}

TEST_F(SingleInstance, AnUnusableLockDoesNotStopTheProgram) {
    RecordingDesktop desktop;
    ScopedDesktop scoped(desktop);
    SingleInstanceGuard guard(folder.File("missing/dir.lock"));
    EXPECT_TRUE(PassSingleInstanceCheck(guard, [] { return false; }));
    EXPECT_TRUE(desktop.Boxes().empty());
}

}  // namespace
}  // namespace sincrovia
