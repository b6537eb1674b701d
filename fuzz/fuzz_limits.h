#pragma once
// Shared by the fuzz targets. Inputs may claim any size: the engine is given a small memory
// budget, so the readers' own refusal of sizes that do not fit (or that the input is too short
// to hold) is what keeps a fuzzer inside its memory limit, and that path is fuzzed too.

#include <cmath>
#include <cstdint>

#include "image/memory_budget.h"
#include "image/progress.h"
#include "imagefiles/picture_decoder.h"
#include "stack/exposure_stack.h"

namespace sv::fuzz {

// What a first picture may take in all (its decode and the whole project's buffers): about a
// quarter of a million pixels. Far inside libFuzzer's -rss_limit_mb with the sanitizers'
// overhead, and small enough that pictures claimed by a few bytes (run-length BMPs, arithmetic
// JPEGs, which no length bound can refuse) decode quickly.
inline constexpr std::uint64_t kMemoryBudget = 16ull << 20;

// Answers the gamma question from the input itself, notes every message, and admits a picture
// as the opening of a first picture does.
inline DecodeHooks hooksFor(const std::uint8_t* data, std::size_t size) {
    DecodeHooks hooks;
    const bool answer = size > 0 && (data[size - 1] & 1);
    hooks.askGamma = [answer] { return answer; };
    hooks.notify = [](const Message& m) { (void)englishText(m); };
    hooks.admit = [](const PictureClaim& claim) {
        static const Project empty;
        return admitIntoProject(empty, claim);
    };
    return hooks;
}

// A decoded picture must be whole, consistent and finite whatever the input was.
inline void checkPicture(const DecodedPicture& p) {
    (void)englishText(p.failure);
    if (!p.ok) return;
    if (p.pixels.width() != p.bitmap.width() || p.pixels.height() != p.bitmap.height()) __builtin_trap();
    for (std::size_t i = 0; i < p.pixels.sampleCount(); ++i) {
        if (!std::isfinite(p.pixels.data()[i])) __builtin_trap();
    }
}

}  // namespace sv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sv::setMemoryBudget(sv::fuzz::kMemoryBudget);
    return 0;
}
