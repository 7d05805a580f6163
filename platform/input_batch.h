#pragma once
// Where one frame's share of the window's event queue ends. Dear ImGui 1.86 keeps only the
// state of each key, not the order of presses: a key pressed and released within one frame's
// events is never seen, a key released and pressed again looks held, and the text a frame
// receives is applied before the keys it saw pressed. Quick taps (a fast typist, xdotool, a
// remote desktop, key-repeat bursts) arrive exactly like that. So a frame takes events only up
// to the first one that would be lost or reordered, and leaves that one and everything after
// it, in order, for the next frame. Typing costs no extra frames: a key that produced text is
// carried by its text, so its press and release may share a frame.
//
// The pointer likewise: a tab counts as hovered only when the frame before saw it hovered (or
// nothing), so a press that comes with the pointer's jump onto it (a touch screen's tap, a
// remote desktop's click) waits for the next frame, which sees the pointer there first.

#include <bitset>
#include <cstddef>

union SDL_Event;

namespace morvelin {

class InputBatch {
public:
    // True when the event, next in the queue, belongs to this frame; false when it and every
    // event after it must wait for the next frame. The first event of a batch is always taken.
    bool admits(const SDL_Event& event);

private:
    bool buttonReleased(unsigned button) const {
        return button < buttonsReleased_.size() && buttonsReleased_.test(button);
    }

    static constexpr std::size_t kScancodes = 512;  // SDL_NUM_SCANCODES
    static constexpr std::size_t kNoKey = kScancodes;

    std::bitset<kScancodes> pressed_;   // keys that went down in this batch (not as text)
    std::bitset<kScancodes> released_;  // keys that went up in this batch (not text keys)
    std::bitset<kScancodes> textKeys_;  // keys whose press in this batch typed text
    // The last event taken was this key going down; the text that follows directly is its own.
    std::size_t keyAwaitingText_ = kNoKey;
    // A key that produced no text (Backspace, an arrow, Enter, Ctrl+A) went down in this batch.
    bool actionKeyTaken_ = false;
    bool pointerMoved_ = false;
    std::bitset<8> buttonsReleased_;  // SDL's button numbers
};

}  // namespace morvelin
