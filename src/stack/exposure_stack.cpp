#include "stack/exposure_stack.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
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
    if (!fits(rest, afterRelease)) return memoryRefusal(claim.name, rest, afterRelease);
    return std::nullopt;
}

namespace {

// A picture decoded for the project but not yet in it.
struct PendingPicture {
    DecodedPicture picture;
    bool gammaAnswer = true;
    bool skipped = false;  // the project was not opening and the file was not part of a batch
};

// The decoding half of loadPicture. It only reads the project (its size and count, for the
// admission), so it may run while the stack takes the previous picture.
PendingPicture decodeForProject(const Project& project, const std::string& path, bool batch, const DecodeHooks& hooks,
                                ProgressSink& progress) {
    PendingPicture pending;
    if (!project.openInProgress && !batch) {
        pending.skipped = true;
        return pending;
    }
    DecodeHooks decodeHooks = hooks;
    decodeHooks.batch = batch;
    decodeHooks.admit = [&project](const PictureClaim& claim) { return admitIntoProject(project, claim); };
    // The gamma answer a 16/32-bit TIFF is read with (a batch applies it unasked), kept so that
    // reading the file again yields the very pixels that were added.
    decodeHooks.askGamma = [&pending, ask = hooks.askGamma] { return pending.gammaAnswer = ask ? ask() : true; };
    progress.setPosition(0);
    pending.picture = decodePicture(path, decodeHooks, progress);
    progress.setPosition(0);
    progress.setTextVisible(false);
    return pending;
}

// The committing half: the picture becomes the new image and an exposure record.
OpenResult commitPicture(Project& project, const std::string& path, PendingPicture&& pending, ProgressSink& progress) {
    OpenResult result;
    if (pending.skipped) return result;
    DecodedPicture& picture = pending.picture;
    const bool gammaAnswer = pending.gammaAnswer;
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
            result.error = memoryRefusal({}, projectNeed(width, height), availableMemory());
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
        result.error = memoryRefusal({}, projectNeed(width, height), availableMemory());
        result.fatal = true;
        return result;
    }
    result.opened = true;
    result.bitmap = std::move(picture.bitmap);
    return result;
}

// Hands what a decode on another thread reports to the sequence's own sink whenever the
// sequence waits for it, so the gauge shows the decode and never two jobs at once.
class RelayedProgress final : public AtomicProgress {
public:
    void relayTo(ProgressSink& sink) const {
        if (maximum() <= 0) return;  // the decode has not begun
        sink.setMaximum(maximum());
        sink.setPosition(position());
        sink.setTextVisible(textVisible());
    }
};

// Runs decodeForProject on a thread of its own; the notices it raises wait for the sequence's
// thread, so that they reach the caller in the order of the files, as without the overlap.
class DecodeAhead {
public:
    DecodeAhead(const Project& project, std::string path, bool batch, const DecodeHooks& hooks)
        : hooks_(hooks), relayed_(std::make_shared<RelayedProgress>()),
          notices_(std::make_shared<std::vector<Message>>()) {
        DecodeHooks quiet = hooks;
        quiet.notify = [notices = notices_](const Message& m) { notices->push_back(m); };
        future_ = std::async(std::launch::async, [&project, path = std::move(path), batch, quiet, relayed = relayed_] {
            return decodeForProject(project, path, batch, quiet, *relayed);
        });
    }
    DecodeAhead(const DecodeAhead&) = delete;
    DecodeAhead& operator=(const DecodeAhead&) = delete;
    // A sequence that stops early still waits for the decode: it reads the project.
    ~DecodeAhead() {
        if (future_.valid()) future_.wait();
    }

    PendingPicture take(ProgressSink& progress) {
        while (future_.wait_for(std::chrono::milliseconds(25)) != std::future_status::ready) relayed_->relayTo(progress);
        PendingPicture pending = future_.get();  // an exception of the decode comes out here
        relayed_->relayTo(progress);
        for (const Message& m : *notices_) notifyUser(hooks_, m);
        return pending;
    }

private:
    DecodeHooks hooks_;
    std::shared_ptr<RelayedProgress> relayed_;
    std::shared_ptr<std::vector<Message>> notices_;
    std::future<PendingPicture> future_;
};

}  // namespace

OpenResult loadPicture(Project& project, const std::string& path, bool batch, const DecodeHooks& hooks,
                       ProgressSink& progress) {
    return commitPicture(project, path, decodeForProject(project, path, batch, hooks, progress), progress);
}

std::vector<OpenResult> openSequence(Project& project, const std::vector<std::string>& paths, bool batch,
                                     const DecodeHooks& hooks, ProgressSink& progress, const OpenSequenceControl& control) {
    std::vector<OpenResult> results;
    const bool wasOpening = project.openInProgress;
    project.openInProgress = true;
    std::unique_ptr<DecodeAhead> ahead;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        PendingPicture pending = ahead ? ahead->take(progress) : decodeForProject(project, paths[k], batch, hooks, progress);
        ahead.reset();
        results.push_back(commitPicture(project, paths[k], std::move(pending), progress));
        OpenResult& result = results.back();
        bool add = result.opened;
        if (add && control.beforeAdd) add = control.beforeAdd(k, result);
        if (!result.opened && control.notOpened) control.notOpened(k, result);
        const bool stop = result.fatal || (control.stopAtFailure && !add) || (control.stopNow && control.stopNow());
        // The next file is decoded while this one is added: the add is a pass over memory on
        // every core, the decode mostly one core's work. Its size is checked against the project
        // as it stands, which the add does not change.
        if (!stop && add && k + 1 < paths.size()) {
            ahead = std::make_unique<DecodeAhead>(project, paths[k + 1], batch, hooks);
        }
        if (add) {
            if (control.add) control.add(progress);
            else addExposure(project, progress);
            if (control.afterAdd) control.afterAdd(k);
        }
        if (stop) break;
    }
    ahead.reset();
    project.openInProgress = wasOpening;
    return results;
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
                                     const DecodeHooks& hooks, ProgressSink& progress,
                                     const OpenSequenceControl& control) {
    std::vector<OpenResult> results;
    if (paths.empty()) return results;
    project.openInProgress = true;
    if (paths.size() == 1) {
        // One file is added only when it starts the project; otherwise it waits for Add.
        OpenSequenceControl single = control;
        single.beforeAdd = [&project, &control](std::size_t index, OpenResult& result) {
            const bool add = control.beforeAdd ? control.beforeAdd(index, result) : true;
            return add && project.exposureCount == 1;
        };
        results = openSequence(project, paths, false, hooks, progress, single);
    } else {
        results = openSequence(project, paths, true, hooks, progress, control);
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
