#pragma once
// The HUD window: a frameless, always-on-top tool window across the top of the work area
// that never takes the keyboard focus unless the user types into it. It owns the global
// hotkeys of the whole program and the private messages through which other threads (and
// a second instance) change it. Everything touching the window runs on the thread that
// called create (the UI thread); the setters other threads may call only post a request
// that the UI thread carries out when it pumps.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/window_messages.h"

struct SDL_Window;
union SDL_Event;

namespace morvelin {

// The window's opacity while it takes input and while clicks pass through it, until told otherwise.
inline constexpr float kDefaultInteractiveOpacity = 0.97f;
inline constexpr float kDefaultClickThroughOpacity = 0.55f;

class GlobalHotkeys;

class OverlayWindow {
public:
    // Receives every event before the window does; returning true means "handled, the
    // window does nothing else with it".
    using MessageHook = std::function<bool(const SDL_Event& event)>;
    using HotkeyCallback = std::function<void()>;

    struct Rect {
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
    };
    struct Point {
        int x = 0;
        int y = 0;
        bool operator==(const Point&) const = default;
    };

    // Hotkey modifiers and key codes keep the values callers know from other desktops.
    static constexpr std::uint32_t ModAlt = 0x0001;
    static constexpr std::uint32_t ModControl = 0x0002;
    static constexpr std::uint32_t ModShift = 0x0004;
    static constexpr std::uint32_t ModSuper = 0x0008;
    static constexpr std::uint32_t KeyBackspace = 0x08;
    static constexpr std::uint32_t KeyTab = 0x09;
    static constexpr std::uint32_t KeyReturn = 0x0D;
    static constexpr std::uint32_t KeyEscape = 0x1B;
    static constexpr std::uint32_t KeySpace = 0x20;
    static constexpr std::uint32_t KeyF1 = 0x70;  // F1..F12 follow; letters and digits are ASCII

    static constexpr int ClickThroughHotkeyId = 0x5041;
    static constexpr int VisibilityHotkeyId = 0x5042;

    OverlayWindow();
    ~OverlayWindow();
    OverlayWindow(const OverlayWindow&) = delete;
    OverlayWindow& operator=(const OverlayWindow&) = delete;

    // Opens the HUD (hidden) on the calling thread; empty on success, else the error text.
    std::string create(const std::string& title);

    // Any thread. Off the UI thread they post a request (setCaptureProtection also waits for
    // its answer); the checks (no window, click-through without its hotkey) run when the UI
    // thread carries it out.
    void setClickThrough(bool on);
    bool setCaptureProtection(bool on);  // off the UI thread: waits for the UI thread's answer
    void setVisible(bool visible);
    void show();
    // What a second instance's "show" turns into: shows a hidden HUD without activating it.
    void postShowRequest();

    // UI thread only.
    void setInteractive(bool on);
    void setOpacity(float normal, float clickThrough);
    void setHeight(int height);
    // After setVisible(false): returns once the X server has unmapped the window and the
    // windows below have had two frames to repaint (what a screenshot must wait for), or
    // after timeoutMs.
    void waitUntilHidden(int timeoutMs = 250);
    void moveTo(int x, int y);
    // Whether the HUD stays above ordinary windows (it does unless told otherwise). Another
    // program's dialog maps in the ordinary layer, under an above HUD; while one is up for
    // the HUD, the HUD steps down to that layer. Never shows a hidden HUD.
    void setAboveOthers(bool above);
    bool aboveOthers() const;
    // The X window id other programs' dialogs attach to; 0 without a window.
    unsigned long nativeWindowId() const;
    // Makes the window that the process `processId` has put on screen a dialog of the HUD, for
    // dialog programs that do not attach themselves, so that the window manager keeps it above
    // the HUD. True once that window is found; false while the process has none yet.
    bool adoptDialogOf(long processId);
    Point position() const;
    // Where the pointer is, asked of the X server: on the screen, and inside the HUD (window
    // coordinates; empty while the pointer is elsewhere).
    Point cursorPosition() const;
    std::optional<Point> pointerInWindow() const;
    Rect windowRect() const;
    int workAreaBottom() const;
    float dpiScale() const;
    void requestClose();
    bool takePendingResize(std::uint32_t& width, std::uint32_t& height);
    bool registerHotkey(int id, std::uint32_t modifiers, std::uint32_t virtualKey,
                        HotkeyCallback callback);
    bool registerVisibilityHotkey(std::uint32_t modifiers, std::uint32_t virtualKey);
    void unregisterHotkey(int id);
    void unregisterAllHotkeys();
    void setMessageHook(MessageHook hook) { messageHook_ = std::move(hook); }

    // Handles every queued event; false once the quit event arrives (it is not dispatched).
    bool pumpMessages();
    // Blocks until an event is queued or the time-out passes.
    void waitForMessages(int timeoutMs);

    // Any thread.
    bool exists() const { return exists_.load(); }
    bool isVisible() const;
    bool isMinimized() const;
    SDL_Window* sdlWindow() const { return window_; }

    bool clickThrough() const { return clickThrough_.load(); }
    bool captureProtected() const { return captureProtected_.load(); }
    const std::string& lastError() const { return lastError_; }
    // UI thread. Why clicks on the HUD do not reach the window below while click-through is on
    // (the window manager's frame takes them); empty while they do and while it is off.
    const std::string& clickThroughError() const;
    // UI thread, like the registry they read.
    bool clickThroughHotkeyRegistered() const;
    bool visibilityHotkeyRegistered() const;
    float opacity() const { return opacity_; }
    float clickThroughOpacity() const { return clickThroughOpacity_; }
    bool interactive() const { return interactive_; }

private:
    struct X11State;
    using Message = WindowMessages::Message;

    bool onOwnerThread() const { return std::this_thread::get_id() == ownerThread_.load(); }
    void handleEvent(const SDL_Event& event);
    void releaseKeysHeldElsewhere();
    void handleRequest(const WindowMessages::Request& request);
    void handleX11Event(const SDL_Event& event);
    // The window manager's states of the window (its layer among them) against the wanted
    // ones: rewritten while the window is withdrawn, asked for again while it is managed.
    void reconcileWindowStates();
    void noteShown();
    // Moves and resizes: sends the newest wish when no request is out (or the one out has gone
    // unanswered too long), and takes the window manager's answer.
    void askForGeometry();
    void noteGeometryAnswered();
    void destroyHud();
    void applyWindowStyles();
    bool applyCaptureProtection(bool on);
    void showWithoutActivation();
    void toggleVisibility();

    SDL_Window* window_ = nullptr;
    // Set once the window can take calls, cleared when it is destroyed; the one piece of
    // window state other threads read.
    std::atomic<bool> exists_{false};
    std::atomic<std::thread::id> ownerThread_{};
    std::atomic<bool> clickThrough_{false};
    std::atomic<bool> captureProtected_{false};
    std::string lastError_;
    float opacity_ = kDefaultInteractiveOpacity;
    float clickThroughOpacity_ = kDefaultClickThroughOpacity;
    bool interactive_ = false;
    bool resizePending_ = false;
    std::uint32_t pendingWidth_ = 0;
    std::uint32_t pendingHeight_ = 0;
    MessageHook messageHook_;
    WindowMessages messages_;
    std::unique_ptr<GlobalHotkeys> hotkeys_;
    std::unique_ptr<X11State> x11_;
};

}  // namespace morvelin
