#include "platform/input_batch.h"

#include <SDL.h>

namespace morvelin {
namespace {

bool isModifier(SDL_Scancode code) {
    return (code >= SDL_SCANCODE_LCTRL && code <= SDL_SCANCODE_RGUI) || code == SDL_SCANCODE_MODE;
}

}  // namespace

bool InputBatch::admits(const SDL_Event& event) {
    const bool keyEvent = event.type == SDL_KEYDOWN || event.type == SDL_KEYUP;
    const auto code = keyEvent ? static_cast<std::size_t>(event.key.keysym.scancode) : kNoKey;
    if (keyEvent && code >= kScancodes)
        return true;
    // Dear ImGui reads the modifiers once a frame, with its keys: a Ctrl released (or pressed)
    // after a key in this batch would change what that key did.
    if (keyEvent && isModifier(event.key.keysym.scancode))
        return pressed_.none();

    switch (event.type) {
        case SDL_KEYDOWN:
            if (released_.test(code))
                return false;  // would look like the key held since its last press
            actionKeyTaken_ = actionKeyTaken_ || keyAwaitingText_ != kNoKey;
            keyAwaitingText_ = code;
            pressed_.set(code);
            return true;
        case SDL_KEYUP:
            if (pressed_.test(code))
                return false;  // its press would be cancelled before any frame saw it
            if (!textKeys_.test(code))
                released_.set(code);
            break;
        case SDL_TEXTINPUT:
        case SDL_TEXTEDITING:
            // A frame applies its text before its key presses: text typed after a key such as
            // Backspace would land before that key's edit.
            if (actionKeyTaken_)
                return false;
            if (keyAwaitingText_ != kNoKey) {  // a text key: its text carries it
                pressed_.reset(keyAwaitingText_);
                textKeys_.set(keyAwaitingText_);
            }
            keyAwaitingText_ = kNoKey;
            return true;
        case SDL_MOUSEMOTION:
            pointerMoved_ = true;
            break;
        case SDL_MOUSEBUTTONDOWN:
            // Released and pressed again in one frame would read as held: a double click's
            // second press would be lost.
            if (pointerMoved_ || buttonReleased(event.button.button))
                return false;
            break;
        case SDL_MOUSEBUTTONUP:
            if (event.button.button < buttonsReleased_.size())
                buttonsReleased_.set(event.button.button);
            break;
        default:
            break;
    }
    actionKeyTaken_ = actionKeyTaken_ || keyAwaitingText_ != kNoKey;
    keyAwaitingText_ = kNoKey;
    return true;
}

}  // namespace morvelin
