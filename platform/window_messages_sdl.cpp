// The payload travels in the event itself (message, flag, sender number), never as a
// pointer to a heap object: an event left in the queue when the window goes away then
// leaks nothing and can be dropped unread.

#include "platform/window_messages.h"

#include <cstdint>

#include <SDL.h>

#include "base/error_text.h"

namespace morvelin {

std::string WindowMessages::registerType() {
    const Uint32 type = SDL_RegisterEvents(1);
    if (type == static_cast<Uint32>(-1))
        return describeFailure("SDL_RegisterEvents", SDL_GetError());
    eventType_.store(type);
    return {};
}

void WindowMessages::close() {
    {
        std::lock_guard lock(mutex_);
        open_.store(false);
    }
    answered_.notify_all();
}

bool WindowMessages::push(Message message, bool on, std::uint64_t sender) {
    SDL_Event event{};
    event.type = eventType_.load();
    event.user.code = static_cast<Sint32>(message);
    event.user.data1 = reinterpret_cast<void*>(static_cast<std::uintptr_t>(on));
    event.user.data2 = reinterpret_cast<void*>(static_cast<std::uintptr_t>(sender));
    return SDL_PushEvent(&event) == 1;
}

void WindowMessages::post(Message message, bool on) {
    if (open_.load())
        push(message, on, 0);
}

bool WindowMessages::send(Message message, bool on) {
    std::unique_lock lock(mutex_);
    if (!open_.load())
        return false;
    const std::uint64_t sender = nextSender_++;
    auto& slot = waiting_[sender];
    // Pushed under the lock: close() cannot slip in between and miss this sender.
    if (!push(message, on, sender)) {
        waiting_.erase(sender);
        return false;
    }
    answered_.wait(lock, [&] { return slot.has_value() || !open_.load(); });
    const bool result = slot.value_or(false);
    waiting_.erase(sender);
    return result;
}

std::optional<WindowMessages::Request> WindowMessages::decode(const SDL_Event& event) const {
    const Uint32 type = eventType_.load();
    if (type == 0 || event.type != type)
        return std::nullopt;
    return Request{static_cast<Message>(event.user.code), event.user.data1 != nullptr,
                   static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(event.user.data2))};
}

void WindowMessages::answer(std::uint64_t sender, bool result) {
    if (sender == 0)
        return;
    {
        std::lock_guard lock(mutex_);
        const auto it = waiting_.find(sender);
        if (it == waiting_.end())
            return;
        it->second = result;
    }
    answered_.notify_all();
}

}  // namespace morvelin
