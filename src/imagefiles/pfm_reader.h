#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/progress.h"
#include "imagefiles/picture_decoder.h"

namespace sv {

// The header of a Portable Float Map: "PF" (colour) or "Pf" (grey), width, height and a scale
// whose sign gives the byte order (negative: little-endian), each separated by white space (and
// comment lines, which some writers add), then one white-space character before the samples.
// Rows run bottom to top.
struct PfmHeader {
    bool valid = false;
    bool colour = false;
    bool littleEndian = false;
    long long width = 0;
    long long height = 0;
    std::size_t dataOffset = 0;
    // Bytes of samples a complete file holds after its header (0 when the size is unusable).
    std::uint64_t dataBytes() const;
};

PfmHeader parsePfmHeader(const unsigned char* data, std::size_t size);

// Opens a PFM held in memory as HDR input: the samples on the Radiance reader's scale,
// (s / M x 10)^0.4 with M the largest. A file shorter than its size needs is incomplete.
DecodedPicture decodePfmMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
