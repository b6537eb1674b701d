#include "operations/command_states.h"

namespace sv {

CommandStates commandStates(const WorkState& s) {
    const bool pending = s.newImagePending;
    const bool stack = !pending && s.exposureCount > 0;
    CommandStates c;
    // Step 1: a pending image is added or aligned before anything else may happen to the project.
    c.open = !pending;
    c.add = pending;
    c.shift = pending;
    c.showNewImage = pending || s.ghostRemovalOn;
    c.showStack = pending && s.exposureCount > 1;
    c.align = pending && s.exposureCount > 1;
    c.remove = stack;
    c.ghostControls = !pending && (s.exposureCount > 1 || s.ghostRemovalOn);
    c.ghostView = !pending && s.ghostRemovalOn;
    // Step 2 and 3 need a stack without a pending image.
    c.process = stack;
    c.filterGroups = stack && s.filtersUnlocked;
    // New stays on once the last exposure is removed: the buffers still stand.
    c.newProject = s.buffersAllocated && !pending;
    c.save = s.buffersAllocated;
    // A job holds everything that could start another or rewrite its buffers.
    const bool idle = s.job == RunningJob::None;
    c.pages = idle;
    c.undo = s.undoAvailable && idle;
    c.picture = s.job != RunningJob::RenderRect && s.job != RunningJob::FilterRect && s.job != RunningJob::Stack;
    c.previewRectangle = s.job != RunningJob::FilterRect && s.job != RunningJob::Stack;
    c.alignmentOverlay = s.job != RunningJob::Stack;
    return c;
}

FilterPageEntry filterPageEntry(const WorkState& s, bool wholeImageProcessed) {
    if (s.newImagePending || s.exposureCount == 0) return FilterPageEntry::Lock;
    return wholeImageProcessed ? FilterPageEntry::Unlock : FilterPageEntry::AskToProcess;
}

}  // namespace sv
