#pragma once
// A picture of the primary monitor for an image question: a PNG no wider than a maximum
// (base64 for the request) and a small BGRA thumbnail for the HUD's screenshot tray.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvelin {

struct ScreenshotOptions {
    int maxWidth = 1920;      // widest PNG; below 1: not scaled
    int thumbMaxWidth = 320;  // widest thumbnail; below 1: no thumbnail
};

struct Screenshot {
    std::string pngBase64;
    int width = 0;  // PNG size after scaling
    int height = 0;
    std::vector<std::uint8_t> thumbBgra;  // B, G, R, A per pixel, rows top-down, no padding
    int thumbWidth = 0;
    int thumbHeight = 0;
};

struct ScreenshotResult {
    std::optional<Screenshot> shot;
    std::string error;  // when shot is empty
};

struct EncodedPng {
    std::optional<std::vector<std::uint8_t>> png;
    std::string error;
};

// Captures the screen, encodes it and makes the thumbnail (a thumbnail failure is silent).
ScreenshotResult captureScreenshot(const ScreenshotOptions& options);

// The pixels are 4 bytes each in B, G, R order plus an unused byte, rows top-down, stride
// width * 4. Wider than maxWidth (when maxWidth >= 1) is scaled down to maxWidth keeping the
// aspect; never scaled up. The PNG is 24-bit without alpha.
EncodedPng encodePng(const std::uint8_t* pixels, int width, int height, int maxWidth, int& outWidth,
                     int& outHeight);

// At most thumbMaxWidth wide (never wider than the source), stored in shot; false (shot
// untouched) when there is nothing to make or it cannot be made.
bool makeThumbnail(const std::uint8_t* pixels, int width, int height, int thumbMaxWidth,
                   Screenshot& shot);

// number * numerator / denominator in 64 bits, rounded to the nearest, halves away from
// zero; -1 for a zero denominator.
int mulDiv(int number, int numerator, int denominator);

}  // namespace morvelin
