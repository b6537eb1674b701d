#pragma once
// Shared by the fuzz targets: the decoders take any size the machine can hold, but a fuzzer's
// memory limit is small, so inputs that announce huge pictures are skipped before decoding.

#include <cstdint>

#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv::fuzz {

inline constexpr std::uint64_t kMaxPixels = 1u << 18;

inline bool fits(std::uint64_t width, std::uint64_t height) {
    return width > 0 && height > 0 && width <= kMaxPixels && height <= kMaxPixels && width * height <= kMaxPixels;
}

// Answers the gamma question from the input itself and notes every message.
inline DecodeHooks hooksFor(const std::uint8_t* data, std::size_t size) {
    DecodeHooks hooks;
    const bool answer = size > 0 && (data[size - 1] & 1);
    hooks.askGamma = [answer] { return answer; };
    hooks.notify = [](const Message& m) { (void)englishText(m); };
    return hooks;
}

// A decoded picture must be whole and consistent whatever the input was.
inline void checkPicture(const DecodedPicture& p) {
    if (!p.ok) return;
    if (p.pixels.width() != p.bitmap.width() || p.pixels.height() != p.bitmap.height()) __builtin_trap();
    volatile float sink = 0.0f;
    for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) sink = sink + p.pixels.data()[i];
}

}  // namespace sv::fuzz
