#pragma once
// The project's exposures for the fusion, read again from their files as removal reads them.

#include <optional>
#include <string>
#include <vector>

#include "imagefiles/picture_decoder.h"
#include "image/messages.h"
#include "stack/ghost_removal.h"
#include "stack/project.h"
#include "tone/exposure_fusion.h"

namespace sv {

class FileFusionSource final : public FusionSource {
public:
    // `hooks` answer the decoders as for an open: a 16/32-bit TIFF's gamma question is asked (if
    // the hooks ask it at all) on the first reading of the file and its answer kept for the
    // second; without askGamma each file is read as its record says it was opened (tiffGamma).
    // Notices are passed on once per file.
    FileFusionSource(std::vector<ExposureRecord> records, int imageWidth, int imageHeight, DecodeHooks hooks);

    int exposureCount() const override { return static_cast<int>(records_.size()); }
    int pictureWidth() const override { return width_; }
    int pictureHeight() const override { return height_; }
    bool loadExposure(int index, FusionExposure& exposure) override;

    // While ghost removal is on the fusion must not bring back what it took out of the stack:
    // every exposure but the reference then has what moved replaced by the reference mapped to
    // its brightness, exactly as the stack was merged (the same mapping, mask and strength). The
    // reference is kept in memory between readings (one more picture while fusing).
    void removeGhosts(const GhostRemovalParams& params);

    // Why the last loadExposure failed: the decoder's message, or FileChanged for a file that no
    // longer has the project's size.
    const std::optional<Message>& failure() const { return failure_; }

private:
    bool decode(std::size_t index, FloatImage& pixels);
    bool correctGhosts(std::size_t index, FloatImage& pixels);

    std::vector<ExposureRecord> records_;
    int width_;
    int height_;
    DecodeHooks hooks_;
    std::vector<std::optional<bool>> gammaAnswers_;
    std::vector<bool> readOnce_;
    std::optional<Message> failure_;
    std::optional<GhostRemovalParams> ghosts_;
    FloatImage reference_;      // the ghost reference's pixels, once read
};

// The exposures of the project, in record order; with `ghosts` on, corrected as its stack was.
FileFusionSource projectFusionSource(const Project& project, const DecodeHooks& hooks);
FileFusionSource projectFusionSource(const Project& project, const DecodeHooks& hooks, const GhostRemovalState& ghosts);

// Names the bracket as the fusion sees it (paths, shifts, multipliers, and the ghost removal in
// force), for FusionPreviewCache.
std::string fusionBracketKey(const Project& project);
std::string fusionBracketKey(const Project& project, const GhostRemovalState& ghosts);

}  // namespace sv
