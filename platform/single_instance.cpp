#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "base/session_log.h"

namespace morvelin {
namespace {

constexpr char kShowRequest[] = "show";

// The display without its screen number: ":0.1" and ":0" are the same session.
std::string displayName() {
    const char* value = std::getenv("DISPLAY");
    std::string display = value ? value : "";
    const auto colon = display.rfind(':');
    if (colon != std::string::npos) {
        const auto dot = display.find('.', colon);
        if (dot != std::string::npos)
            display.erase(dot);
    }
    return display;
}

struct SocketAddress {
    sockaddr_un address{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// The socket file, or the abstract name (sun_path[0] = 0) when there is none.
SocketAddress addressOf(const std::filesystem::path& file) {
    SocketAddress result;
    result.address.sun_family = AF_UNIX;
    char* const path = result.address.sun_path;
    if (!file.empty()) {
        std::memcpy(path, file.c_str(), file.native().size() + 1);
        result.length = sizeof result.address;
        return result;
    }
    const std::string name = SingleInstance::lockName();
    const std::size_t length = std::min(name.size(), sizeof result.address.sun_path - 1);
    std::memcpy(path + 1, name.data(), length);
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return result;
}

SocketAddress lockAddress() {
    return addressOf(SingleInstance::socketPath());
}

// The user the process at the other end of a connected socket ran as when it connected (or,
// for our connection to a listener, when it started listening).
bool peerIsThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

// Non-blocking: a listener whose backlog is full (hung, or never accepting) refuses at once
// instead of holding a new start up for ever.
UniqueFd connectTo(const SocketAddress& address) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd && connect(fd.get(), address.get(), address.length) != 0)
        fd.reset();
    return fd;
}

// Invalid on failure, with errno telling why (EADDRINUSE: the name is taken).
UniqueFd listenOn(const SocketAddress& address) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && (bind(fd.get(), address.get(), address.length) != 0 || listen(fd.get(), 8) != 0)) {
        const int error = errno;
        fd.reset();
        errno = error;
    }
    return fd;
}

}  // namespace

std::string SingleInstance::lockName() {
    return fmt::format("MorvelinDesk.SingleInstance.{}.{}", getuid(), displayName());
}

std::filesystem::path SingleInstance::socketPath() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (!value || *value != '/')
        return {};
    // Only a folder that no one else can enter keeps the name ours.
    struct stat folder {};
    if (stat(value, &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != getuid() ||
        (folder.st_mode & 077) != 0)
        return {};
    std::string name = lockName();
    std::replace(name.begin(), name.end(), '/', '_');  // a DISPLAY may hold a path
    std::filesystem::path file = std::filesystem::path(value) / name;
    // Room for the lock file's name too, which must be just as usable.
    if (file.native().size() + sizeof ".lock" > sizeof sockaddr_un{}.sun_path)
        return {};
    return file;
}

SingleInstance::SingleInstance() {
    if (const std::filesystem::path file = socketPath(); !file.empty())
        lockInRuntimeFolder(file);
    else
        lockAbstractName();
}

void SingleInstance::lockInRuntimeFolder(const std::filesystem::path& socketFile) {
    std::filesystem::path lockFile = socketFile;
    lockFile += ".lock";
    UniqueFd lock(open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        return;
    if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        anotherInstanceRuns_ = errno == EWOULDBLOCK;
        return;
    }
    // The lock is ours, so a socket file still there was left by an instance that crashed.
    unlink(socketFile.c_str());
    fd_ = listenOn(addressOf(socketFile));
    if (!fd_)
        return;
    lockFd_ = std::move(lock);
    socketFile_ = socketFile;
}

void SingleInstance::lockAbstractName() {
    const SocketAddress address = addressOf({});
    fd_ = listenOn(address);
    if (fd_ || errno != EADDRINUSE)
        return;
    // Any local user can bind an abstract name. Ours listens right after binding: give a
    // first instance that is just starting one more chance before deciding it is not ours.
    UniqueFd peer = connectTo(address);
    if (!peer) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer = connectTo(address);
    }
    if (peer && peerIsThisUser(peer.get())) {
        anotherInstanceRuns_ = true;
        return;
    }
    log("the single-instance name {} is held by another user's process: starting without it",
        lockName());
}

SingleInstance::~SingleInstance() {
    // Removed while the flock is still held, so it is never a newer instance's socket.
    if (!socketFile_.empty())
        unlink(socketFile_.c_str());
}

bool SingleInstance::signalExisting() {
    const UniqueFd fd = connectTo(lockAddress());
    if (!fd || !peerIsThisUser(fd.get()))
        return false;
    const auto size = sizeof kShowRequest - 1;
    return send(fd.get(), kShowRequest, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

SingleInstance::Listener::Listener(const SingleInstance& instance, std::function<void()> onShow)
    : listenFd_(instance.fd_.get()),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      onShow_(std::move(onShow)) {
    if (listenFd_ >= 0 && wakeFd_)
        thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

SingleInstance::Listener::~Listener() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void SingleInstance::Listener::serve(std::stop_token stop) {
    const int wakeFd = wakeFd_.get();
    std::stop_callback wake(stop, [wakeFd] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = write(wakeFd, &one, sizeof one);
    });
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (stop.stop_requested() || !(fds[0].revents & POLLIN))
            continue;
        const UniqueFd client(accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
        if (!client || !peerIsThisUser(client.get()))
            continue;
        // A second instance writes its request at once; one that stalls is not waited for.
        char request[16] = {};
        pollfd readable{client.get(), POLLIN, 0};
        ssize_t n = 0;
        if (poll(&readable, 1, 500) > 0)
            n = recv(client.get(), request, sizeof request - 1, 0);
        if (n == static_cast<ssize_t>(sizeof kShowRequest - 1) &&
            std::memcmp(request, kShowRequest, sizeof kShowRequest - 1) == 0 && onShow_)
            onShow_();
    }
}

}  // namespace morvelin
