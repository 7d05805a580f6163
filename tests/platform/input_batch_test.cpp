// How the window's event queue is cut into frames: every press is seen by one frame and its
// release by a later one, and text never overtakes the editing keys typed before it.
#include "platform/input_batch.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace morvelin {
namespace {

// "+a"/"-a": key a down/up (a letter, or B for Backspace, L for Left, C for left Ctrl);
// "'x": the text "x"; "m": mouse motion; "v"/"^": the left button down/up.
SDL_Event event(const std::string& token) {
    SDL_Event e{};
    const std::map<char, SDL_Scancode> named = {{'B', SDL_SCANCODE_BACKSPACE},
                                                {'L', SDL_SCANCODE_LEFT},
                                                {'R', SDL_SCANCODE_RETURN},
                                                {'C', SDL_SCANCODE_LCTRL}};
    const auto scancode = [&](char key) {
        return named.contains(key) ? named.at(key)
                                   : static_cast<SDL_Scancode>(SDL_SCANCODE_A + (key - 'a'));
    };
    if (token[0] == '+' || token[0] == '-') {
        e.type = token[0] == '+' ? SDL_KEYDOWN : SDL_KEYUP;
        e.key.keysym.scancode = scancode(token[1]);
    } else if (token[0] == '\'') {
        e.type = SDL_TEXTINPUT;
        e.text.text[0] = token[1];
    } else if (token[0] == 'v' || token[0] == '^') {
        e.type = token[0] == 'v' ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        e.button.button = SDL_BUTTON_LEFT;
    } else {
        e.type = SDL_MOUSEMOTION;
    }
    return e;
}

// The frames the queue is taken in, each written as its tokens joined by spaces.
std::vector<std::string> frames(const std::vector<std::string>& queue) {
    std::vector<std::string> result;
    std::size_t next = 0;
    while (next < queue.size()) {
        InputBatch batch;
        std::string frame;
        while (next < queue.size() && batch.admits(event(queue[next]))) {
            frame += (frame.empty() ? "" : " ") + queue[next];
            ++next;
        }
        result.push_back(frame);
    }
    return result;
}

using Frames = std::vector<std::string>;

TEST(InputBatch, TypedTextSharesOneFrameAndATapIsSplitFromItsRelease) {
    EXPECT_EQ(frames({"+a", "'a", "-a", "+a", "'a", "-a", "+b", "'b", "-b"}),
              Frames({"+a 'a -a +a 'a -a +b 'b -b"}));
    EXPECT_EQ(frames({"+B", "-B", "+R", "-R"}), Frames({"+B", "-B +R", "-R"}));
}

TEST(InputBatch, RepeatedTapsOfOneKeyAreEachANewPress) {
    // Released and pressed again in one frame would read as the key held down.
    EXPECT_EQ(frames({"+L", "-L", "+L", "-L", "+L", "-L"}),
              Frames({"+L", "-L", "+L", "-L", "+L", "-L"}));
}

TEST(InputBatch, TextAfterAnEditingKeyWaitsForTheNextFrame) {
    // "ab", Backspace, "c": the c must land after the b is erased.
    EXPECT_EQ(frames({"+a", "'a", "-a", "+b", "'b", "-b", "+B", "-B", "+c", "'c", "-c"}),
              Frames({"+a 'a -a +b 'b -b +B", "-B +c 'c -c"}));
    // A held Backspace repeats as presses with no release between them.
    EXPECT_EQ(frames({"+B", "+B", "m", "-B"}), Frames({"+B +B m", "-B"}));
}

TEST(InputBatch, AKeyKeepsTheModifiersItWasPressedWith) {
    // Ctrl+A as xdotool sends it: Ctrl goes up before the A.
    EXPECT_EQ(frames({"+C", "+a", "-C", "-a", "+B", "-B"}), Frames({"+C +a", "-C -a +B", "-B"}));
    EXPECT_EQ(frames({"+B", "+C", "-B", "-C"}), Frames({"+B", "+C -B -C"}));
}

TEST(InputBatch, APressWaitsForAFrameThatSawThePointerArrive) {
    // A tap: the pointer jumps and the button goes down and up at once.
    EXPECT_EQ(frames({"m", "v", "^", "m", "m", "v", "^"}), Frames({"m", "v ^ m m", "v ^"}));
    // A double click without motion: the second press must not read as the first held on.
    EXPECT_EQ(frames({"v", "^", "v", "^"}), Frames({"v ^", "v ^"}));
    // Keys typed while the pointer moves are not held back.
    EXPECT_EQ(frames({"m", "+a", "'a", "-a", "m"}), Frames({"m +a 'a -a m"}));
}

}  // namespace
}  // namespace morvelin
