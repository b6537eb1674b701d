#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image/display_bitmap.h"
#include "image/progress.h"
#include "imagefiles/picture_decoder.h"
#include "image/messages.h"
#include "image/outcome.h"
#include "stack/project.h"

namespace sv {

// Largest of 0, r, g and b: negative samples count as 0.
inline float maxOfThree(float r, float g, float b) {
    float m = 0.0f;
    if (r > m) m = r;
    if (g > m) m = g;
    if (b > m) m = b;
    return m;
}

// Weight of a new-image pixel in the stack: falls as the pixel gets brighter.
inline float exposureWeight(float r, float g, float b) {
    return static_cast<float>(1.0 / (0.7 * maxOfThree(r, g, b) + 1.0));
}

struct OpenResult {
    bool opened = false;                 // the picture became an exposure record
    Failure error;                       // why not (shown to the user)
    bool fatal = false;                  // the working buffers could not be obtained
    bool readerError = false;            // not opened: the TIFF reader could not decode the pixels
                                         // (its notices have said why; `error` is empty)
    DisplayBitmap bitmap;                // the picture as the view shows it
};

// Whether a picture of the claimed size may come into the project, asked before anything is
// obtained or decoded: a later picture must have the project's size ("Wrong image size!") and its
// decode must fit in memory; a first one must leave room for the whole project (its buffers,
// the display bitmap and a filter's scratch picture), counting the buffers it replaces as
// free. Then the file must be long enough for that size.
std::optional<Message> admitIntoProject(const Project& project, const PictureClaim& claim);

// Opens one picture into the project (the engine part of opening): decode, size check, count
// check, record. The first picture of an empty project sets the size and obtains the buffers.
// A file that cannot be decoded, is incomplete, or whose TIFF pixels could not be read leaves the
// project exactly as it was.
OpenResult loadPicture(Project& project, const std::string& path, bool batch, const DecodeHooks& hooks,
                       ProgressSink& progress);

// Merges the last record into the stack with its weight, multiplier and shift.
void addExposure(Project& project, ProgressSink& progress);

// What a caller of openSequence (or openPictures) decides and shows per file.
struct OpenSequenceControl {
    // Called once a file has become an exposure record, before it is added (to show it, to set
    // its shift, or to take the record back out and return false: it is then not added).
    std::function<bool(std::size_t index, OpenResult& result)> beforeAdd;
    // Called for a file that did not become an exposure record, before the next file is opened
    // (to tell the user why; a fatal result ends the sequence after it).
    std::function<void(std::size_t index, const OpenResult& result)> notOpened;
    // Called once a file has been added to the stack.
    std::function<void(std::size_t index)> afterAdd;
    // How a file is added; empty: addExposure. It runs while the next file is decoded, so it must
    // not change the project's size or count (ghost removal adds to its plain stack this way).
    std::function<void(ProgressSink& progress)> add;
    // Asked once per file after beforeAdd: true ends the sequence after this file (a step of the
    // caller's that could not finish).
    std::function<bool()> stopNow;
    // Stop at the first file that is not added (the CLI); otherwise a failing file is skipped.
    bool stopAtFailure = false;
};

// The Open command's sequence: one file stays pending unless it starts the project; several
// files are each added at once, a failing one skipped. Returns one result per file. `control`
// shows each file as it comes (a one-file open calls beforeAdd also for a file that stays
// pending; its answer is then not asked for an add).
std::vector<OpenResult> openPictures(Project& project, const std::vector<std::string>& paths,
                                     const DecodeHooks& hooks, ProgressSink& progress,
                                     const OpenSequenceControl& control = {});

// Opens and adds several files in order, the engine part of opening more than one file: each is
// decoded and checked as loadPicture does, and the next file is decoded while the current one is
// added. Results, the stack and the messages (hooks.notify, in the order of the files) are those
// of opening the files one after another. Stops after a fatal result. Outside a batch,
// hooks.askGamma may be called on the decoding thread (a batch never asks), and so must not show
// a dialog there; the control's functions are called on the caller's thread.
std::vector<OpenResult> openSequence(Project& project, const std::vector<std::string>& paths, bool batch,
                                     const DecodeHooks& hooks, ProgressSink& progress,
                                     const OpenSequenceControl& control);

struct RemoveResult {
    bool removed = false;
    Failure error;                       // why nothing was removed
};

// Takes exposure `index` out of the stack by reading its file again and subtracting it with the
// weight, multiplier and shift it was added with. A file that is gone, no longer has the
// project's size, is incomplete or no longer decodes is refused and the stack is left untouched.
RemoveResult removeExposure(Project& project, int index, const DecodeHooks& hooks, ProgressSink& progress);

}  // namespace sv
