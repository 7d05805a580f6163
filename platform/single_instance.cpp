#include "platform/single_instance.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

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

socklen_t abstractAddress(sockaddr_un& address) {
    const std::string name = SingleInstance::lockName();
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);  // sun_path[0] = 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

std::string SingleInstance::lockName() {
    return fmt::format("MorvelinDesk.SingleInstance.{}.{}", getuid(), displayName());
}

SingleInstance::SingleInstance() {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return;
    sockaddr_un address;
    const socklen_t length = abstractAddress(address);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        anotherInstanceRuns_ = errno == EADDRINUSE;
        return;
    }
    if (listen(fd.get(), 8) != 0)
        return;
    fd_ = std::move(fd);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::signalExisting() {
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    sockaddr_un address;
    const socklen_t length = abstractAddress(address);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
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
        if (!client)
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
