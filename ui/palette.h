#pragma once
// The HUD's five named colours. Every drawing file uses these by name so that one dark theme
// reads the same everywhere: accent for "us" and live activity, interviewer blue for "them",
// muted for secondary text, error red and the amber of timed notices.

#include <imgui.h>

namespace morvelin::palette {

inline ImVec4 accent() {
    return {0.24f, 0.86f, 0.59f, 1.00f};
}
inline ImVec4 muted() {
    return {0.55f, 0.58f, 0.63f, 1.00f};
}
inline ImVec4 error() {
    return {1.00f, 0.45f, 0.45f, 1.00f};
}
inline ImVec4 interviewer() {
    return {0.47f, 0.70f, 1.00f, 1.00f};
}
inline ImVec4 notice() {
    return {1.00f, 0.78f, 0.35f, 1.00f};
}

// The colour with another alpha.
inline ImVec4 withAlpha(ImVec4 colour, float alpha) {
    colour.w = alpha;
    return colour;
}

}  // namespace morvelin::palette
