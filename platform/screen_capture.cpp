// The platform-free half of screen capture: the size rules, an area-averaging down-scaler
// and PNG encoding with libpng. The capture itself is in screen_capture_x11.cpp.

#include "platform/screen_capture.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <png.h>
#include <zlib.h>

#include "base/error_text.h"

namespace morvelin {
namespace {

// For one output column (or row): the source pixels it covers and how much of each, in
// 1/65536 units summing to exactly 65536.
struct Span {
    int first = 0;
    std::vector<std::uint32_t> weights;
};

std::vector<Span> coverage(int source, int target) {
    std::vector<Span> spans(static_cast<std::size_t>(target));
    const double ratio = static_cast<double>(source) / target;
    for (int i = 0; i < target; ++i) {
        const double start = i * ratio;
        const double end = std::min<double>((i + 1) * ratio, source);
        Span& span = spans[static_cast<std::size_t>(i)];
        span.first = std::min(static_cast<int>(start), source - 1);
        const int last =
            std::max(span.first, std::min(static_cast<int>(std::ceil(end)) - 1, source - 1));
        // Rounded down, so the remainder given to the last pixel is never negative.
        std::uint32_t total = 0;
        for (int j = span.first; j < last; ++j) {
            const double covered = std::min<double>(end, j + 1) - std::max<double>(start, j);
            const auto weight =
                static_cast<std::uint32_t>(std::max(covered, 0.0) / (end - start) * 65536.0);
            span.weights.push_back(weight);
            total += weight;
        }
        span.weights.push_back(65536u - total);
    }
    return spans;
}

// Scales 4-byte pixels (B, G, R, fourth byte) by averaging the source area behind each output
// pixel, in two passes. The fourth byte of the output is set to 255.
std::vector<std::uint8_t> scaleArea(const std::uint8_t* pixels, int width, int height, int outWidth,
                                    int outHeight) {
    const auto columns = coverage(width, outWidth);
    const auto rows = coverage(height, outHeight);
    const std::size_t rowValues = static_cast<std::size_t>(outWidth) * 3;
    // Horizontal pass into 8.8 fixed point, one row of the source at a time.
    std::vector<std::uint16_t> narrow(rowValues * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = pixels + static_cast<std::size_t>(y) * width * 4;
        std::uint16_t* out = narrow.data() + static_cast<std::size_t>(y) * rowValues;
        for (int x = 0; x < outWidth; ++x) {
            const Span& span = columns[static_cast<std::size_t>(x)];
            std::uint64_t sum[3] = {0, 0, 0};
            const std::uint8_t* p = source + static_cast<std::size_t>(span.first) * 4;
            for (const std::uint32_t w : span.weights) {
                sum[0] += std::uint64_t{p[0]} * w;
                sum[1] += std::uint64_t{p[1]} * w;
                sum[2] += std::uint64_t{p[2]} * w;
                p += 4;
            }
            for (int c = 0; c < 3; ++c)
                out[x * 3 + c] = static_cast<std::uint16_t>((sum[c] + 128) >> 8);
        }
    }
    std::vector<std::uint8_t> result(static_cast<std::size_t>(outWidth) * outHeight * 4);
    std::vector<std::uint64_t> sums(rowValues);
    for (int y = 0; y < outHeight; ++y) {
        const Span& span = rows[static_cast<std::size_t>(y)];
        std::fill(sums.begin(), sums.end(), 0);
        int sourceRow = span.first;
        for (const std::uint32_t w : span.weights) {
            const std::uint16_t* in =
                narrow.data() + static_cast<std::size_t>(sourceRow++) * rowValues;
            for (std::size_t i = 0; i < rowValues; ++i)
                sums[i] += std::uint64_t{in[i]} * w;
        }
        std::uint8_t* out = result.data() + static_cast<std::size_t>(y) * outWidth * 4;
        for (int x = 0; x < outWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                const std::uint64_t value =
                    (sums[static_cast<std::size_t>(x) * 3 + c] + (1u << 23)) >> 24;
                out[x * 4 + c] = static_cast<std::uint8_t>(std::min<std::uint64_t>(value, 255));
            }
            out[x * 4 + 3] = 255;
        }
    }
    return result;
}

struct PngWriteState {
    std::vector<std::uint8_t>* bytes;
    char message[256];
};

void writeBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngWriteState*>(png_get_io_ptr(png));
    state->bytes->insert(state->bytes->end(), data, data + length);
}

[[noreturn]] void pngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngWriteState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message ? message : "");
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp, so nothing with a destructor may live in this frame
// between setjmp and the end; the output vector belongs to the caller. Returns an error
// text or nullptr.
const char* writePng(PngWriteState& state, const std::uint8_t* pixels, int width, int height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    if (!png)
        return "Creating PNG encoder";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "Creating PNG encoder";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "Encoding PNG";
    }
    png_set_write_fn(png, &state, writeBytes, nullptr);
    // Fastest deflate with one cheap filter: several times faster than the defaults on a
    // 1920x1080 screen for a PNG a little larger.
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);  // the rows carry a fourth byte that is dropped
    for (int y = 0; y < height; ++y)
        png_write_row(png,
                      pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return nullptr;
}

}  // namespace

int mulDiv(int number, int numerator, int denominator) {
    if (denominator == 0)
        return -1;
    const std::int64_t product = std::int64_t{number} * numerator;
    const std::int64_t half = std::llabs(denominator) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(denominator);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

EncodedPng encodePng(const std::uint8_t* pixels, int width, int height, int maxWidth, int& outWidth,
                     int& outHeight) {
    EncodedPng result;
    if (!pixels || width < 1 || height < 1) {
        result.error = describeFailure("CreateBitmapFromMemory", "no pixels");
        return result;
    }
    outWidth = width;
    outHeight = height;
    std::vector<std::uint8_t> scaled;
    const std::uint8_t* source = pixels;
    if (maxWidth >= 1 && width > maxWidth) {
        outWidth = maxWidth;
        outHeight = std::max(1, mulDiv(height, maxWidth, width));
        try {
            scaled = scaleArea(pixels, width, height, outWidth, outHeight);
        } catch (const std::bad_alloc&) {
            result.error = describeFailure("Scaling screenshot", "out of memory");
            return result;
        }
        source = scaled.data();
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(outWidth) * outHeight);
    PngWriteState state{&bytes, {}};
    if (const char* failedStep = writePng(state, source, outWidth, outHeight)) {
        result.error =
            describeFailure(failedStep, state.message[0] ? state.message : "libpng error");
        return result;
    }
    result.png = std::move(bytes);
    return result;
}

bool makeThumbnail(const std::uint8_t* pixels, int width, int height, int thumbMaxWidth,
                   Screenshot& shot) {
    if (!pixels || thumbMaxWidth < 1 || width < 1 || height < 1)
        return false;
    const int thumbWidth = std::min(thumbMaxWidth, width);
    const int thumbHeight = std::max(1, mulDiv(height, thumbWidth, width));
    try {
        shot.thumbBgra = scaleArea(pixels, width, height, thumbWidth, thumbHeight);
    } catch (const std::bad_alloc&) {
        return false;
    }
    shot.thumbWidth = thumbWidth;
    shot.thumbHeight = thumbHeight;
    return true;
}

}  // namespace morvelin
