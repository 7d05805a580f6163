#pragma once
// The private messages through which other threads (and a second instance, through its
// listener thread) change the HUD window. A message is an SDL user event: SDL's queue is
// the one thread-safe way into the UI thread's loop. Posting never touches window state;
// the UI thread carries the request out when it pumps, with the same checks as a direct
// call. A "send" waits for the UI thread's answer, and is released with false when the
// window goes away first.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

union SDL_Event;

namespace morvelin {

class WindowMessages {
public:
    enum class Message : int { SetClickThrough = 1, SetCaptureProtection, SetVisible, Show, Close };

    struct Request {
        Message message = Message::Show;
        bool on = false;
        std::uint64_t sender = 0;  // the waiting sender to answer; 0 for a posted message
    };

    WindowMessages() = default;
    ~WindowMessages() { close(); }
    WindowMessages(const WindowMessages&) = delete;
    WindowMessages& operator=(const WindowMessages&) = delete;

    // UI thread, once SDL's video subsystem is up: reserves the event type. Empty on
    // success, else the failure text.
    std::string registerType();
    // UI thread: the window exists; from now on messages are delivered.
    void open() { open_.store(true); }
    // UI thread: the window is gone. Later messages are dropped and every sender still
    // waiting is answered false.
    void close();

    // Any thread. Nothing happens unless the window is open.
    void post(Message message, bool on);
    // Any thread but the UI thread (which would wait for itself): posts the message and
    // waits for answer(). False when the window is not open or closes before answering.
    bool send(Message message, bool on);

    // UI thread: the request an event carries; nothing for other events.
    std::optional<Request> decode(const SDL_Event& event) const;
    // UI thread: the result for a sent request (ignored for a posted one or a sender that
    // was already released).
    void answer(std::uint64_t sender, bool result);

private:
    bool push(Message message, bool on, std::uint64_t sender);

    std::atomic<std::uint32_t> eventType_{0};
    std::atomic<bool> open_{false};
    std::mutex mutex_;  // guards the two members below
    std::uint64_t nextSender_ = 1;
    std::map<std::uint64_t, std::optional<bool>> waiting_;
    std::condition_variable answered_;
};

}  // namespace morvelin
