#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;
using namespace std::chrono_literals;

// A display name of this test process alone, so parallel tests and a running program never
// share the lock.
std::string privateDisplay(const char* suffix = "") {
    return ":test-" + std::to_string(getpid()) + suffix;
}

class ShowCounter {
public:
    void operator()() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool waitFor(int count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// The lock's socket address as a second start finds it.
std::pair<sockaddr_un, socklen_t> lockAddress() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (const auto file = SingleInstance::socketPath(); !file.empty()) {
        std::strcpy(address.sun_path, file.c_str());
        return {address, sizeof address};
    }
    const std::string name = SingleInstance::lockName();
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    return {address, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())};
}

int connectToLock() {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const auto [address, length] = lockAddress();
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
    return fd;
}

// The same behaviour with the abstract name (no runtime folder) and with the socket in a
// private $XDG_RUNTIME_DIR.
class SingleInstanceTest : public ::testing::TestWithParam<bool> {
protected:
    bool inRuntimeFolder() const { return GetParam(); }

    TempDir runtime_{"halvenor-runtime"};  // 0700, as a session's runtime folder is
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", inRuntimeFolder() ? runtime_.path().c_str() : nullptr};
    ScopedEnv display_{"DISPLAY", privateDisplay().c_str()};
};

INSTANTIATE_TEST_SUITE_P(Lock, SingleInstanceTest, ::testing::Bool(), [](const auto& info) {
    return info.param ? "RuntimeFolder" : "Abstract";
});

TEST_P(SingleInstanceTest, OnlyTheFirstTakesTheLockUntilItGoes) {
    EXPECT_EQ(SingleInstance::socketPath().empty(), !inRuntimeFolder());
    EXPECT_FALSE(SingleInstance::signalExisting());  // nobody there yet
    auto first = std::make_unique<SingleInstance>();
    EXPECT_TRUE(first->acquired());
    EXPECT_FALSE(first->anotherInstanceRuns());
    {
        SingleInstance second;
        EXPECT_FALSE(second.acquired());
        EXPECT_TRUE(second.anotherInstanceRuns());
    }
    first.reset();
    SingleInstance third;
    EXPECT_TRUE(third.acquired());
}

TEST_P(SingleInstanceTest, LockIsPerDisplayIgnoringTheScreenNumber) {
    ScopedEnv display("DISPLAY", (privateDisplay() + ".0").c_str());
    SingleInstance screen0;
    ASSERT_TRUE(screen0.acquired());
    {
        ScopedEnv otherScreen("DISPLAY", (privateDisplay() + ".1").c_str());
        EXPECT_TRUE(SingleInstance().anotherInstanceRuns());
    }
    ScopedEnv otherDisplay("DISPLAY", privateDisplay("b").c_str());
    EXPECT_TRUE(SingleInstance().acquired());
}

TEST_P(SingleInstanceTest, ShowRequestsReachTheListenerIncludingEarlyOnes) {
    SingleInstance first;
    ASSERT_TRUE(first.acquired());
    ShowCounter shows;
    // Sent before anyone listens: it waits in the socket's backlog.
    EXPECT_TRUE(SingleInstance::signalExisting());
    {
        SingleInstance::Listener listener(first, [&] { shows(); });
        EXPECT_TRUE(shows.waitFor(1, 5s));
        EXPECT_TRUE(SingleInstance::signalExisting());
        EXPECT_TRUE(shows.waitFor(2, 5s));
    }
    // Stopped and joined: later requests are not served.
    EXPECT_TRUE(SingleInstance::signalExisting());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(shows.count(), 2);
}

TEST_P(SingleInstanceTest, OtherRequestsAreIgnored) {
    SingleInstance first;
    ShowCounter shows;
    SingleInstance::Listener listener(first, [&] { shows(); });
    for (const std::string request : {"hide", "showshow", ""}) {
        const int fd = connectToLock();
        if (!request.empty()) {
            ASSERT_EQ(send(fd, request.data(), request.size(), 0),
                      static_cast<ssize_t>(request.size()));
        }
        close(fd);
    }
    EXPECT_TRUE(SingleInstance::signalExisting());
    EXPECT_TRUE(shows.waitFor(1, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(shows.count(), 1);
}

TEST_P(SingleInstanceTest, ListenerWithoutTheLockDoesNothing) {
    SingleInstance first;
    SingleInstance second;
    ASSERT_FALSE(second.acquired());
    ShowCounter shows;
    SingleInstance::Listener idle(second, [&] { shows(); });
    EXPECT_EQ(SingleInstance::lockName(),
              "MorvelinDesk.SingleInstance." + std::to_string(getuid()) + "." + privateDisplay());
}

// ---------------------------------------------------------------------------------------------
// The socket file in the runtime folder.

class RuntimeFolderLock : public ::testing::Test {
protected:
    TempDir runtime_{"halvenor-runtime"};
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
    ScopedEnv display_{"DISPLAY", privateDisplay().c_str()};
};

TEST_F(RuntimeFolderLock, SocketLivesThereAndGoesWithItsOwner) {
    const auto file = SingleInstance::socketPath();
    EXPECT_EQ(file, runtime_.path() / SingleInstance::lockName());
    {
        SingleInstance first;
        ASSERT_TRUE(first.acquired());
        struct stat info {};
        ASSERT_EQ(lstat(file.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        ASSERT_EQ(stat((file.string() + ".lock").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file)));
}

TEST_F(RuntimeFolderLock, SocketLeftByACrashedInstanceDoesNotStopANewStart) {
    // What a crash leaves: the socket file, with nobody listening and nobody holding the lock.
    const pid_t crashed = fork();
    ASSERT_GE(crashed, 0);
    if (crashed == 0) {
        SingleInstance instance;
        _exit(instance.acquired() ? 0 : 1);  // no destructor: the file stays
    }
    int status = 0;
    ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(
        std::filesystem::exists(std::filesystem::symlink_status(SingleInstance::socketPath())));
    EXPECT_FALSE(SingleInstance::signalExisting());

    SingleInstance next;
    EXPECT_TRUE(next.acquired());
    ShowCounter shows;
    SingleInstance::Listener listener(next, [&] { shows(); });
    EXPECT_TRUE(SingleInstance::signalExisting());
    EXPECT_TRUE(shows.waitFor(1, 5s));
}

TEST_F(RuntimeFolderLock, FolderOpenToOthersIsNotUsed) {
    std::filesystem::permissions(runtime_.path(), std::filesystem::perms::all);
    EXPECT_TRUE(SingleInstance::socketPath().empty());
    SingleInstance first;
    EXPECT_TRUE(first.acquired());  // on the abstract name
    EXPECT_TRUE(SingleInstance().anotherInstanceRuns());
}

// ---------------------------------------------------------------------------------------------
// The abstract name, where another user can get there first.

// A child process running as "nobody" that binds the lock's abstract name (and listens when
// asked) or sends one "show" to it, and stays until destroyed. Needs root to change user.
class OtherUser {
public:
    enum Action { Bind, BindAndListen, SendShow };

    explicit OtherUser(Action action) {
        const auto [address, length] = lockAddress();  // computed as this user
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            // Plain system calls only: this is a child of a threaded process.
            close(ready[0]);
            close(release_[1]);  // so that the parent's close ends the wait below
            char byte = 0;
            if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                _exit(2);
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            const auto* where = reinterpret_cast<const sockaddr*>(&address);
            bool done = false;
            if (action == SendShow) {
                // The send may meet a connection already dropped: the refusal being tested.
                done = connect(fd, where, length) == 0;
                send(fd, "show", 4, MSG_NOSIGNAL);
            } else
                done = bind(fd, where, length) == 0 && (action == Bind || listen(fd, 8) == 0);
            byte = done ? 'y' : 'n';
            if (write(ready[1], &byte, 1) != 1 || read(release_[0], &byte, 1) < 0)
                _exit(3);
            _exit(0);
        }
        close(ready[1]);  // a child that fails early ends the read below
        char byte = 0;
        ready_ = pid_ > 0 && read(ready[0], &byte, 1) == 1 && byte == 'y';
        close(ready[0]);
    }
    ~OtherUser() {
        close(release_[1]);
        close(release_[0]);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }

private:
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool ready_ = false;
};

class AbstractNameLock : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to run a process as another user";
    }

    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", nullptr};
    ScopedEnv display_{"DISPLAY", privateDisplay().c_str()};
    // What the lock logs goes to a session log of the test's, not the user's.
    TempDir appData_;
    ScopedEnv appDataEnv_{"LOCALAPPDATA", appData_.path().c_str()};
};

TEST_F(AbstractNameLock, NameHeldByAnotherUserDoesNotStopTheHud) {
    for (const auto action : {OtherUser::Bind, OtherUser::BindAndListen}) {
        OtherUser squatter(action);
        ASSERT_TRUE(squatter.ready());
        SingleInstance instance;
        EXPECT_FALSE(instance.anotherInstanceRuns()) << action;
        EXPECT_FALSE(instance.acquired()) << action;
        EXPECT_FALSE(SingleInstance::signalExisting()) << action;  // not ours to ask
    }
}

TEST_F(AbstractNameLock, ShowFromAnotherUserIsIgnored) {
    SingleInstance first;
    ASSERT_TRUE(first.acquired());
    ShowCounter shows;
    SingleInstance::Listener listener(first, [&] { shows(); });
    {
        OtherUser stranger(OtherUser::SendShow);
        ASSERT_TRUE(stranger.ready());
    }
    EXPECT_TRUE(SingleInstance::signalExisting());
    EXPECT_TRUE(shows.waitFor(1, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(shows.count(), 1);
}

}  // namespace
}  // namespace morvelin
