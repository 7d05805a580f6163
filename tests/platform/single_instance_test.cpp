#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using halvenor::test::ScopedEnv;
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

TEST(SingleInstance, OnlyTheFirstTakesTheLockUntilItGoes) {
    ScopedEnv display("DISPLAY", privateDisplay().c_str());
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

TEST(SingleInstance, LockIsPerDisplayIgnoringTheScreenNumber) {
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

TEST(SingleInstance, ShowRequestsReachTheListenerIncludingEarlyOnes) {
    ScopedEnv display("DISPLAY", privateDisplay().c_str());
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

TEST(SingleInstance, OtherRequestsAreIgnored) {
    ScopedEnv display("DISPLAY", privateDisplay().c_str());
    SingleInstance first;
    ShowCounter shows;
    SingleInstance::Listener listener(first, [&] { shows(); });
    for (const std::string request : {"hide", "showshow", ""}) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = SingleInstance::lockName();
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        ASSERT_EQ(
            connect(fd, reinterpret_cast<sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
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

TEST(SingleInstance, ListenerWithoutTheLockDoesNothing) {
    ScopedEnv display("DISPLAY", privateDisplay().c_str());
    SingleInstance first;
    SingleInstance second;
    ASSERT_FALSE(second.acquired());
    ShowCounter shows;
    SingleInstance::Listener idle(second, [&] { shows(); });
    EXPECT_EQ(SingleInstance::lockName(),
              "MorvelinDesk.SingleInstance." + std::to_string(getuid()) + "." + privateDisplay());
}

}  // namespace
}  // namespace morvelin
