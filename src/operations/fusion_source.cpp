#include "operations/fusion_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sv {

FileFusionSource::FileFusionSource(std::vector<ExposureRecord> records, int imageWidth, int imageHeight,
                                   DecodeHooks hooks)
    : records_(std::move(records)), width_(imageWidth), height_(imageHeight), hooks_(std::move(hooks)),
      gammaAnswers_(records_.size()), readOnce_(records_.size(), false) {}

bool FileFusionSource::loadExposure(int index, FusionExposure& exposure) {
    failure_.reset();
    if (index < 0 || index >= exposureCount()) {
        failure_ = Message{MessageId::CannotReadFile};
        return false;
    }
    const std::size_t i = static_cast<std::size_t>(index);
    if (!decode(i, exposure.pixels) || !correctGhosts(i, exposure.pixels)) return false;
    const ExposureRecord& record = records_[i];
    exposure.shiftX = record.shiftX;
    exposure.shiftY = record.shiftY;
    exposure.multiplier = record.multiplier;
    exposure.weightMask.clear();
    return true;
}

bool FileFusionSource::decode(std::size_t i, FloatImage& pixels) {
    const ExposureRecord& record = records_[i];
    DecodeHooks hooks = hooks_;
    if (readOnce_[i]) {
        // The second reading must decode exactly as the first: same answer, no repeated notices.
        if (gammaAnswers_[i]) {
            const bool answer = *gammaAnswers_[i];
            hooks.askGamma = [answer] { return answer; };
        }
        hooks.notify = nullptr;
    } else {
        // Without a question of its own the file is read as it was when opened (the window's
        // worker and the CLI cannot ask, and a Yes there would fuse other pixels than were merged).
        hooks.askGamma = [this, i, ask = hooks_.askGamma, opened = record.tiffGamma] {
            const bool answer = ask ? ask() : opened;
            gammaAnswers_[i] = answer;
            return answer;
        };
    }
    NullProgress quiet;  // the fusion counts a reading as one pass of rows itself
    DecodedPicture picture = decodePicture(record.path, hooks, quiet);
    readOnce_[i] = true;
    if (!picture.ok) {
        failure_ = picture.failure;
        return false;
    }
    if (picture.pixels.width() != width_ || picture.pixels.height() != height_) {
        failure_ = Message{MessageId::FileChanged, 0, fileNameOf(record.path)};
        return false;
    }
    pixels = std::move(picture.pixels);
    return true;
}

void FileFusionSource::removeGhosts(const GhostRemovalParams& params) {
    ghosts_ = params;
    reference_ = FloatImage();
}

bool FileFusionSource::correctGhosts(std::size_t i, FloatImage& pixels) {
    if (!ghosts_ || records_.empty()) return true;
    // The reference as the merge chose it.
    const std::size_t ref =
        static_cast<std::size_t>(std::clamp(ghosts_->reference, 0, static_cast<int>(records_.size()) - 1));
    if (i == ref) return true;
    if (reference_.empty() && !decode(ref, reference_)) return false;
    const ExposureRecord& record = records_[i];
    // Exposure pixel (u, v) shows what reference pixel (u + dx, v + dy) shows.
    const int dx = record.shiftX - records_[ref].shiftX;
    const int dy = record.shiftY - records_[ref].shiftY;
    const BrightnessMapping mapping = fitBrightnessMapping(reference_, pixels, dx, dy);
    replaceGhosts(pixels, reference_, dx, dy, mapping,
                  judgeGhosts(pixels, reference_, dx, dy, mapping, ghosts_->strength));
    return true;
}

FileFusionSource projectFusionSource(const Project& project, const DecodeHooks& hooks) {
    const auto first = project.exposures.begin();
    std::vector<ExposureRecord> records(first, first + std::max(project.exposureCount, 0));
    return FileFusionSource(std::move(records), project.imageWidth, project.imageHeight, hooks);
}

FileFusionSource projectFusionSource(const Project& project, const DecodeHooks& hooks,
                                     const GhostRemovalState& ghosts) {
    FileFusionSource source = projectFusionSource(project, hooks);
    if (ghosts.active) source.removeGhosts(ghosts.params);
    return source;
}

std::string fusionBracketKey(const Project& project, const GhostRemovalState& ghosts) {
    std::string key = fusionBracketKey(project);
    if (ghosts.active) {
        key += "\nghosts " + std::to_string(ghosts.params.reference) + "," + std::to_string(ghosts.params.strength);
    }
    return key;
}

std::string fusionBracketKey(const Project& project) {
    std::string key = std::to_string(project.imageWidth) + "x" + std::to_string(project.imageHeight);
    for (int k = 0; k < project.exposureCount; ++k) {
        const ExposureRecord& r = project.exposures[static_cast<std::size_t>(k)];
        std::uint32_t bits = 0;
        std::memcpy(&bits, &r.multiplier, sizeof bits);
        key += "\n" + r.path + "\t" + std::to_string(r.shiftX) + "," + std::to_string(r.shiftY) + "," +
               std::to_string(bits);
    }
    return key;
}

}  // namespace sv
