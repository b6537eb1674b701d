// Which commands are enabled in each state of the work, as the window's rules describe them:
// Open until a new image is pending, Add and the shift only while one is, Remove and the Step 2
// buttons with a stack, New once the buffers stand, the saves from the first picture on, Undo
// after an Apply, the filters once unlocked with a stack, and what a running job holds.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "operations/command_states.h"

namespace sv {
namespace {

std::set<std::string> enabled(const CommandStates& c) {
    std::set<std::string> on;
    auto note = [&on](bool flag, const char* name) {
        if (flag) on.insert(name);
    };
    note(c.open, "open");
    note(c.add, "add");
    note(c.remove, "remove");
    note(c.shift, "shift");
    note(c.showNewImage, "showNewImage");
    note(c.showStack, "showStack");
    note(c.process, "process");
    note(c.newProject, "newProject");
    note(c.save, "save");
    note(c.undo, "undo");
    note(c.align, "align");
    note(c.ghostControls, "ghostControls");
    note(c.ghostView, "ghostView");
    note(c.filterGroups, "filterGroups");
    note(c.pages, "pages");
    note(c.picture, "picture");
    note(c.previewRectangle, "previewRectangle");
    note(c.alignmentOverlay, "alignmentOverlay");
    return on;
}

// What no job holds back.
const std::set<std::string> kIdle = {"pages", "picture", "previewRectangle", "alignmentOverlay"};

std::set<std::string> idlePlus(std::set<std::string> more) {
    more.insert(kIdle.begin(), kIdle.end());
    return more;
}

WorkState empty() { return WorkState{}; }
WorkState pending(int count) {
    WorkState s;
    s.buffersAllocated = true;
    s.exposureCount = count;
    s.newImagePending = true;
    return s;
}
WorkState stackReady(int count) {
    WorkState s;
    s.buffersAllocated = true;
    s.exposureCount = count;
    return s;
}

struct Row {
    const char* name;
    WorkState state;
    std::set<std::string> on;
};

TEST(CommandStates, EachStateOfTheWorkEnablesItsCommands) {
    WorkState ghostsOn = stackReady(3);
    ghostsOn.ghostRemovalOn = true;
    WorkState ghostsOnPending = pending(4);
    ghostsOnPending.ghostRemovalOn = true;
    WorkState ghostsOnOne = stackReady(1);  // removed down to one while ghost removal stays on
    ghostsOnOne.ghostRemovalOn = true;
    const Row rows[] = {
        {"empty", empty(), idlePlus({"open"})},
        {"first picture pending", pending(1), idlePlus({"add", "shift", "showNewImage", "save"})},
        {"later picture pending", pending(3),
         idlePlus({"add", "shift", "showNewImage", "showStack", "align", "save"})},
        {"stack of one", stackReady(1), idlePlus({"open", "remove", "process", "newProject", "save"})},
        {"stack of two", stackReady(2),
         idlePlus({"open", "remove", "process", "newProject", "save", "ghostControls"})},
        // Removing the last exposure: Remove and the Step 2 buttons go, New and the saves stay.
        {"last exposure removed", stackReady(0), idlePlus({"open", "newProject", "save"})},
        {"ghost removal on", ghostsOn,
         idlePlus({"open", "remove", "process", "newProject", "save", "ghostControls", "ghostView", "showNewImage"})},
        {"ghost removal on, one left", ghostsOnOne,
         idlePlus({"open", "remove", "process", "newProject", "save", "ghostControls", "ghostView", "showNewImage"})},
        {"ghost removal on, image pending", ghostsOnPending,
         idlePlus({"add", "shift", "showNewImage", "showStack", "align", "save"})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(enabled(commandStates(row.state)), row.on);
    }
}

TEST(CommandStates, UndoFollowsTheLastApplyWhateverTheProjectDoes) {
    for (WorkState s : {stackReady(2), pending(3), stackReady(0)}) {
        s.undoAvailable = true;
        EXPECT_TRUE(commandStates(s).undo);
        s.undoAvailable = false;
        EXPECT_FALSE(commandStates(s).undo);
    }
}

TEST(CommandStates, TheFiltersNeedAStackAndTheirUnlock) {
    WorkState s = stackReady(2);
    EXPECT_FALSE(commandStates(s).filterGroups);
    s.filtersUnlocked = true;
    EXPECT_TRUE(commandStates(s).filterGroups);
    for (WorkState without : {pending(3), stackReady(0), empty()}) {
        without.filtersUnlocked = true;
        EXPECT_FALSE(commandStates(without).filterGroups);
    }
}

TEST(CommandStates, AJobHoldsThePagesUndoAndItsOwnControlsOnly) {
    struct JobRow {
        RunningJob job;
        std::set<std::string> stillLive;  // of the picture, its rectangle and the overlay
    };
    const JobRow jobs[] = {
        {RunningJob::RenderWhole, {"picture", "previewRectangle", "alignmentOverlay"}},
        {RunningJob::RenderRect, {"previewRectangle", "alignmentOverlay"}},
        {RunningJob::FilterWhole, {"picture", "previewRectangle", "alignmentOverlay"}},
        {RunningJob::FilterRect, {"alignmentOverlay"}},
        {RunningJob::Stack, {}},
    };
    for (WorkState s : {stackReady(2), pending(2)}) {
        s.undoAvailable = true;
        s.filtersUnlocked = true;
        const std::set<std::string> idle = enabled(commandStates(s));
        for (const JobRow& row : jobs) {
            SCOPED_TRACE(static_cast<int>(row.job));
            WorkState running = s;
            running.job = row.job;
            // The project's own commands keep their state under the disabled pages.
            std::set<std::string> expected = idle;
            for (const char* held : {"pages", "undo", "picture", "previewRectangle", "alignmentOverlay"})
                expected.erase(held);
            expected.insert(row.stillLive.begin(), row.stillLive.end());
            EXPECT_EQ(enabled(commandStates(running)), expected);
        }
    }
}

TEST(CommandStates, EnteringStepThreeUnlocksAsksOrLocks) {
    EXPECT_EQ(filterPageEntry(empty(), false), FilterPageEntry::Lock);
    EXPECT_EQ(filterPageEntry(pending(1), true), FilterPageEntry::Lock);
    EXPECT_EQ(filterPageEntry(pending(3), false), FilterPageEntry::Lock);
    EXPECT_EQ(filterPageEntry(stackReady(0), true), FilterPageEntry::Lock);
    EXPECT_EQ(filterPageEntry(stackReady(2), true), FilterPageEntry::Unlock);
    EXPECT_EQ(filterPageEntry(stackReady(2), false), FilterPageEntry::AskToProcess);
}

}  // namespace
}  // namespace sv
