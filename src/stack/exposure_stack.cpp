#include "stack/exposure_stack.h"

#include <algorithm>
#include <new>

#include "image/memory_budget.h"
#include "stack/stack_sum.h"

namespace sv {

namespace {

bool obtainProjectBuffers(Project& project, int width, int height) {
    // The four working buffers must fit; the old ones are released first, so they count as free.
    const std::uint64_t held = project.buffersAllocated
        ? 4ull * project.stackBuffer.sampleCount() * sizeof(float) : 0ull;
    const double need = static_cast<double>(width) * height * 3.0 * sizeof(float) * 4.0;
    if (need > static_cast<double>(availableMemoryBytes()) + static_cast<double>(held)) return false;
    releaseBuffers(project);
    try {
        project.stackBuffer = FloatImage(width, height);
    } catch (const std::bad_alloc&) {
        releaseBuffers(project);
        return false;
    }
    return true;
}

bool obtainProcessedBuffers(Project& project) {
    try {
        project.processedBuffer = FloatImage(project.imageWidth, project.imageHeight);
        project.processedCopy = FloatImage(project.imageWidth, project.imageHeight);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

OpenResult loadPicture(Project& project, const std::string& path, bool batch, const DecodeHooks& hooks,
                       ProgressSink& progress) {
    OpenResult result;
    if (!project.openInProgress && !batch) return result;

    DecodeHooks decodeHooks = hooks;
    decodeHooks.batch = batch;
    // The gamma answer a 16/32-bit TIFF is read with (a batch applies it unasked), kept so that
    // reading the file again yields the very pixels that were added.
    bool gammaAnswer = true;
    decodeHooks.askGamma = [&gammaAnswer, ask = hooks.askGamma] { return gammaAnswer = ask ? ask() : true; };
    progress.setPosition(0);
    DecodedPicture picture = decodePicture(path, decodeHooks, progress);
    progress.setPosition(0);
    progress.setTextVisible(false);
    if (!picture.ok) {
        // A picture too large to decode is refused like any other unusable file: the project's
        // own buffers are intact, so nothing is lost and the program goes on.
        const bool otherSize = picture.probedWidth != project.imageWidth || picture.probedHeight != project.imageHeight;
        if (picture.outOfMemory && project.exposureCount > 0 && otherSize) {
            result.error = Message{MessageId::WrongImageSize};
        } else {
            result.error = picture.failure;
        }
        return result;
    }
    const int width = picture.pixels.width();
    const int height = picture.pixels.height();

    if (project.exposureCount > 0) {
        if (width != project.imageWidth || height != project.imageHeight) {
            result.error = Message{MessageId::WrongImageSize};
            return result;
        }
    } else {
        if (!obtainProjectBuffers(project, width, height)) {
            result.error = Message{MessageId::NotEnoughMemory};
            result.fatal = true;
            return result;
        }
        project.imageWidth = width;
        project.imageHeight = height;
        project.buffersAllocated = true;
        project.previewRect = centredPreviewRect(width, height);
        progress.setMaximum(height);
    }
    if (project.exposureCount >= kMaxExposures) {
        result.error = Message{MessageId::TooManyImages};
        return result;
    }

    // The decoded floats become the new-image buffer: same size, no copy.
    project.newImageBuffer = std::move(picture.pixels);
    ExposureRecord& record = project.exposures[static_cast<std::size_t>(project.exposureCount)];
    record.multiplier = 1.0f;
    record.shiftX = 0;
    record.shiftY = 0;
    record.path = path;
    record.tiffGamma = gammaAnswer;
    ++project.exposureCount;

    if (project.exposureCount == 1 && !obtainProcessedBuffers(project)) {
        result.error = Message{MessageId::NotEnoughMemory};
        result.fatal = true;
        return result;
    }
    result.opened = true;
    result.readerError = picture.readerError;
    result.bitmap = std::move(picture.bitmap);
    return result;
}

void addExposure(Project& project, ProgressSink& progress) {
    if (project.exposureCount == 0 || !project.buffersAllocated) return;
    project.stackMax = 0.0f;
    progress.setPosition(0);
    progress.setTextVisible(true);
    const float best = accumulateExposure(project.stackBuffer, project.newImageBuffer, project.newestExposure(), false, progress);
    project.stackMax = best == 0.0f ? 1.0f : best;
    progress.setPosition(0);
    progress.setTextVisible(false);
    project.wholeImageProcessed = false;
    project.multiplierTenths = kMultiplierTenthsDefault;
}

std::vector<OpenResult> openPictures(Project& project, const std::vector<std::string>& paths,
                                     const DecodeHooks& hooks, ProgressSink& progress) {
    std::vector<OpenResult> results;
    if (paths.empty()) return results;
    project.openInProgress = true;
    if (paths.size() == 1) {
        results.push_back(loadPicture(project, paths.front(), false, hooks, progress));
        if (results.back().opened && project.exposureCount == 1) addExposure(project, progress);
    } else {
        for (const std::string& path : paths) {
            results.push_back(loadPicture(project, path, true, hooks, progress));
            if (results.back().opened) addExposure(project, progress);
            if (results.back().fatal) break;
        }
    }
    project.openInProgress = false;
    return results;
}

RemoveResult removeExposure(Project& project, int index, const DecodeHooks& hooks, ProgressSink& progress) {
    RemoveResult result;
    if (index < 0 || index >= project.exposureCount || !project.buffersAllocated) {
        result.error = Message{MessageId::NoExposureSelected};
        return result;
    }
    const ExposureRecord record = project.exposures[static_cast<std::size_t>(index)];
    DecodeHooks decodeHooks = hooks;
    decodeHooks.batch = false;
    decodeHooks.alwaysAskGamma = true;
    progress.setPosition(0);
    progress.setTextVisible(true);
    progress.setMaximum(2ll * project.imageHeight);
    DecodedPicture picture = decodePicture(record.path, decodeHooks, progress);
    if (!picture.ok || picture.pixels.width() != project.imageWidth ||
        picture.pixels.height() != project.imageHeight) {
        // Subtracting anything else would corrupt the stack for good.
        result.error = picture.ok ? Message{MessageId::FileChanged, 0, fileNameOf(record.path)} : picture.failure;
        endProgress(progress, project.imageHeight);
        return result;
    }
    project.newImageBuffer = std::move(picture.pixels);
    project.stackMax = 0.0f;
    const float best = accumulateExposure(project.stackBuffer, project.newImageBuffer, record, true, progress);
    project.stackMax = best == 0.0f ? 1.0f : best;
    --project.exposureCount;
    if (project.exposureCount == 0) {
        // With nothing left in it the stack is empty by definition: drop the rounding residue,
        // which would otherwise become a tiny stackMax that every view divides by.
        project.stackBuffer.fill(0.0f);
        project.stackMax = 1.0f;
    }
    endProgress(progress, project.imageHeight);
    for (int i = index; i < project.exposureCount; ++i) {
        project.exposures[static_cast<std::size_t>(i)] = project.exposures[static_cast<std::size_t>(i) + 1];
    }
    project.wholeImageProcessed = false;
    result.removed = true;
    return result;
}

}  // namespace sv
