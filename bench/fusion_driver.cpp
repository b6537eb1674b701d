// Fuses exposure files into a TIFF the way the program does it (files read again per pass,
// one exposure at a time), so that fusion_vs_enfuse.py can time it and measure its peak memory
// with /usr/bin/time beside enfuse on the same files.
//
// usage: fusion_driver OUT.tif [--size WxH] [--weights C,S,E] [--pfm OUT.pfm]
//                      [--region X,W,Y,H] IN1 IN2 ...
//   --size     the picture's size (otherwise the first file is decoded once to learn it)
//   --weights  the three track-bar positions (0..200, default 100,100,100)
//   --pfm      also write the fused floats (before any 8-bit rounding)
//   --region   fuse only this rectangle (the preview path) and write it as the PFM
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/float_image.h"
#include "imagefiles/pfm_writer.h"
#include "imagefiles/picture_decoder.h"
#include "imagefiles/tiff_writer.h"
#include "tone/exposure_fusion.h"
#include "operations/fusion_source.h"

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "fusion_driver: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace sv;
    if (argc < 3) return fail("usage: fusion_driver OUT.tif [--size WxH] [--weights C,S,E] [--pfm F] [--region X,W,Y,H] IN...");
    const std::string out = argv[1];
    std::string pfm;
    int width = 0, height = 0;
    FusionParams params;
    Region region;
    bool regionOnly = false;
    std::vector<ExposureRecord> records;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2) return fail("bad --size");
        } else if (a == "--weights" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d,%d,%d", &params.contrastPosition, &params.saturationPosition,
                            &params.exposurePosition) != 3) {
                return fail("bad --weights");
            }
        } else if (a == "--pfm" && i + 1 < argc) {
            pfm = argv[++i];
        } else if (a == "--region" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d,%d,%d,%d", &region.x, &region.width, &region.y, &region.height) != 4) {
                return fail("bad --region");
            }
            regionOnly = true;
        } else {
            ExposureRecord r;
            r.path = a;
            records.push_back(r);
        }
    }
    if (records.empty()) return fail("no exposures");
    DecodeHooks hooks;
    hooks.batch = true;
    if (width <= 0 || height <= 0) {
        NullProgress quiet;
        const DecodedPicture first = decodePicture(records[0].path, hooks, quiet);
        if (!first.ok) return fail("cannot read " + records[0].path);
        width = first.pixels.width();
        height = first.pixels.height();
    }
    FileFusionSource source(records, width, height, hooks);
    NullProgress progress;
    const auto start = std::chrono::steady_clock::now();
    if (regionOnly) {
        FloatImage crop;
        const FusionOutcome outcome = fuseRegion(source, params, region, crop, progress);
        if (!outcome.ok()) return fail("fusion failed at exposure " + std::to_string(outcome.exposure));
        if (!pfm.empty()) {
            if (const Failure failed = writePfm(pfm, crop)) return fail(englishText(*failed));
        }
    } else {
        FloatImage fused(width, height);
        const FusionOutcome outcome = fusePicture(source, params, fused, progress);
        if (!outcome.ok()) return fail("fusion failed at exposure " + std::to_string(outcome.exposure));
        if (!pfm.empty()) {
            if (const Failure failed = writePfm(pfm, fused)) return fail(englishText(*failed));
        }
        if (const Failure failed = writeTiff(out, fused, width, height, 8, TiffCompressionChoice::None, progress)) {
            return fail(englishText(*failed));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "fusion_driver: %.3f s\n", seconds);
    return 0;
}
