#pragma once
// One running program per user and X display. The lock is released by the kernel when the
// process ends, even after a crash, and its socket carries a second start's request to show
// the HUD.
//
// Where $XDG_RUNTIME_DIR is set (a folder only the user can enter) the lock is an flock on
// "<name>.lock" there and the socket is "<name>" beside it; the holder of the flock replaces a
// socket file a crashed instance left behind. Elsewhere the socket has an abstract name, which
// any local user could bind first: a name held by a process of another user is not taken for
// our running instance, and the program then starts without the lock. Either way a request
// counts only from a process of the same user.

#include <filesystem>
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

    // Another instance of this user holds the lock. (When the lock could not be taken for any
    // other reason, neither this nor acquired() holds and start-up goes on without it.)
    bool anotherInstanceRuns() const { return anotherInstanceRuns_; }
    bool acquired() const { return fd_.valid(); }

    // Asks the running instance to show its HUD; false when nobody of this user took the
    // request.
    static bool signalExisting();

    // "MorvelinDesk.SingleInstance.<uid>.<display>", the socket's name.
    static std::string lockName();
    // The socket's file in $XDG_RUNTIME_DIR; empty when the abstract name is used (the
    // variable unset or relative, the folder not the user's own or open to others, or the
    // path too long for a socket address).
    static std::filesystem::path socketPath();

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
    void lockInRuntimeFolder(const std::filesystem::path& socketFile);
    void lockAbstractName();

    UniqueFd lockFd_;                   // the flock'ed file, in the runtime folder only
    std::filesystem::path socketFile_;  // removed again by its owner
    UniqueFd fd_;                       // the listening socket
    bool anotherInstanceRuns_ = false;
};

}  // namespace morvelin
