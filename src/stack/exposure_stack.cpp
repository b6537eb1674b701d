#include "stack/exposure_stack.h"

#include <algorithm>
#include <new>

#include "image/memory_budget.h"
#include "stack/stack_sum.h"

namespace sv {

namespace {

// Bytes of the project's buffers that a new first picture replaces, and so will have back.
MemoryNeed heldBuffers(const Project& project) {
    MemoryNeed held;
    if (!project.buffersAllocated) return held;
    for (int i = 0; i < 4; ++i) held += floatPictureNeed(project.imageWidth, project.imageHeight);
    return held;
}

bool obtainProjectBuffers(Project& project, int width, int height) {
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

std::optional<Message> admitIntoProject(const Project& project, const PictureClaim& claim) {
    const MemoryLimit free = availableMemory();
    if (project.exposureCount > 0) {
        // A later picture must have the project's size; then only its own decode has to fit.
        if (claim.width != project.imageWidth || claim.height != project.imageHeight) {
            return Message{MessageId::WrongImageSize};
        }
        return admitBySize(claim, MemoryNeed{}, free);
    }
    // A first picture is decoded while the old buffers are still held, then they make room for
    // the whole project.
    if (std::optional<Message> refusal = admitBySize(claim, MemoryNeed{}, free)) return refusal;
    MemoryLimit afterRelease = free;
    afterRelease.bytes = (bytesNeed(free.bytes) + heldBuffers(project)).bytes;
    const MemoryNeed rest = projectNeed(claim.width, claim.height) + bytesNeed(claim.scratchBytes);
    if (!fits(rest, afterRelease)) return Message{MessageId::NotEnoughMemory, 0, claim.name};
    return std::nullopt;
}

OpenResult loadPicture(Project& project, const std::string& path, bool batch, const DecodeHooks& hooks,
                       ProgressSink& progress) {
    OpenResult result;
    if (!project.openInProgress && !batch) return result;

    DecodeHooks decodeHooks = hooks;
    decodeHooks.batch = batch;
    decodeHooks.admit = [&project](const PictureClaim& claim) { return admitIntoProject(project, claim); };
    // The gamma answer a 16/32-bit TIFF is read with (a batch applies it unasked), kept so that
    // reading the file again yields the very pixels that were added.
    bool gammaAnswer = true;
    decodeHooks.askGamma = [&gammaAnswer, ask = hooks.askGamma] { return gammaAnswer = ask ? ask() : true; };
    progress.setPosition(0);
    DecodedPicture picture = decodePicture(path, decodeHooks, progress);
    progress.setPosition(0);
    progress.setTextVisible(false);
    // A picture refused or not wholly read leaves the project exactly as it was, the pending new
    // image too: a size the project cannot take, too little memory (nothing was obtained, so
    // nothing is lost and the program goes on), data that end early, or a TIFF whose pixels the
    // reader could not decode (its notices have told the user why).
    if (!picture.ok || picture.incomplete) {
        result.error = picture.failure;
        return result;
    }
    if (picture.readerError) {
        result.readerError = true;
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
    record.exif = picture.exif;
    ++project.exposureCount;

    if (project.exposureCount == 1 && !obtainProcessedBuffers(project)) {
        result.error = Message{MessageId::NotEnoughMemory};
        result.fatal = true;
        return result;
    }
    result.opened = true;
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
    // A 16/32-bit TIFF is read again with the gamma answer it was added with: any other answer
    // would subtract other pixels than were added and leave a remainder in the stack for good.
    decodeHooks.alwaysAskGamma = true;
    decodeHooks.askGamma = [gamma = record.tiffGamma] { return gamma; };
    const std::string name = fileNameOf(record.path);
    decodeHooks.admit = [&project, &name](const PictureClaim& claim) -> std::optional<Message> {
        if (claim.width != project.imageWidth || claim.height != project.imageHeight) {
            return Message{MessageId::FileChanged, 0, name};
        }
        return admitBySize(claim, MemoryNeed{}, availableMemory());
    };
    progress.setPosition(0);
    progress.setTextVisible(true);
    progress.setMaximum(2ll * project.imageHeight);
    DecodedPicture picture = decodePicture(record.path, decodeHooks, progress);
    if (!picture.ok || picture.incomplete || picture.readerError || picture.pixels.width() != project.imageWidth ||
        picture.pixels.height() != project.imageHeight) {
        // Subtracting anything but the picture that was added would corrupt the stack for good.
        const bool decoded = picture.ok && !picture.incomplete;
        result.error = decoded ? Message{MessageId::FileChanged, 0, name} : picture.failure;
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
