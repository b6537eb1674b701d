#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace sv {

// Writes a file so that the target is either the complete new file or untouched: the bytes go to
// a fresh temporary file beside the target, which is flushed and then renamed over it.
// `produce` writes through the given FILE*; it returns false (or the write fails) to abandon.
// On failure the temporary file is removed and `error` says why.
bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         std::string& error);

}  // namespace sv
