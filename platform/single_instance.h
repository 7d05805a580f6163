#pragma once
// One running program per user and X display. The lock is an abstract Unix socket named
// after the session: binding it is taking the lock, and the kernel frees it when the process
// ends, even after a crash. The same socket carries a second start's request to show the HUD.

#include <functional>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace morvelin {

class SingleInstance {
public:
    // Takes the lock when it is free.
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Another instance holds the lock. (When the lock could not be taken for any other
    // reason, neither this nor acquired() holds and start-up goes on without it.)
    bool anotherInstanceRuns() const { return anotherInstanceRuns_; }
    bool acquired() const { return fd_.valid(); }

    // Asks the running instance to show its HUD; false when nobody took the request.
    static bool signalExisting();

    // "MorvelinDesk.SingleInstance.<uid>.<display>", the abstract socket's name.
    static std::string lockName();

    // Calls onShow, on its own thread, for each request of a second instance, until it is
    // destroyed. Requests that arrived before it started are served first. Does nothing
    // when the lock was not acquired.
    class Listener {
    public:
        Listener(const SingleInstance& instance, std::function<void()> onShow);
        ~Listener();
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;

    private:
        void serve(std::stop_token stop);

        int listenFd_;  // the instance's; it outlives the listener
        UniqueFd wakeFd_;
        std::function<void()> onShow_;
        std::jthread thread_;
    };

private:
    UniqueFd fd_;
    bool anotherInstanceRuns_ = false;
};

}  // namespace morvelin
