#pragma once

#include <cstdint>

namespace sv {

// Bytes the machine can still hand out (available memory plus free swap). On Linux an
// allocation of an absurd size can "succeed" and fail later when the pages are touched, so
// large buffers are checked against this before they are obtained.
std::uint64_t availableMemoryBytes();

// Whether `count` float pictures of width x height (3 floats per pixel), plus `extraBytes`,
// fit in the memory the machine can give. False for a non-positive size or on overflow.
bool floatImagesFit(int width, int height, int count, std::uint64_t extraBytes = 0);

}  // namespace sv
