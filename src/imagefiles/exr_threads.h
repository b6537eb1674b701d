#pragma once

#include <ImfThreading.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace sv {

// OpenEXR compresses and decompresses blocks on its own thread pool: one thread per core, set
// once for the process.
inline int openExrThreads() {
    static std::once_flag once;
    std::call_once(once, [] { Imf::setGlobalThreadCount(static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))); });
    return Imf::globalThreadCount();
}

}  // namespace sv
