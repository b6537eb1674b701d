#pragma once
// Which commands, buttons and pages of the window are enabled, worked out from the state of the
// work alone, so that every rule is in one place and can be checked without a display. The window
// keeps the state below up to date and applies the answer to its controls in one place.

namespace sv {

// What runs on the worker, by the controls it holds back besides the pages, tool bar and File.
enum class RunningJob {
    None,
    RenderWhole,  // "Process all": the picture stays live
    RenderRect,   // the tone preview: the picture is held
    FilterWhole,  // a filter's or colour balance's Apply: the picture stays live
    FilterRect,   // their previews: the picture and the preview rectangle are held
    Stack,        // alignment or ghost removal: the picture, the rectangle and the overlay are held
};

struct WorkState {
    bool buffersAllocated = false;   // a picture was opened since start or New (the buffers stand)
    int exposureCount = 0;           // exposures in the project, the pending one included
    bool newImagePending = false;    // the newest exposure waits for Add
    bool ghostRemovalOn = false;     // "Remove ghosts" is ticked and merged
    bool undoAvailable = false;      // the last Apply can be undone
    bool filtersUnlocked = false;    // Step 3 was entered with a whole render (or its question was answered OK)
    RunningJob job = RunningJob::None;
};

// One flag per group of controls that are always enabled together.
struct CommandStates {
    bool open = false;            // Button4, ToolButton2, File > Open image/images
    bool add = false;             // Button3, ToolButton12, File > Add image
    bool remove = false;          // Button9
    bool shift = false;           // Edit3, CSpinButton2, Edit4, CSpinButton3; the hidden multiplier Edit1, CSpinButton1
    bool showNewImage = false;    // RadioButton1
    bool showStack = false;       // RadioButton2, RadioButton3
    bool process = false;         // Button1 "Preview", Button2 "Process all"
    bool newProject = false;      // File > New, ToolButton1
    bool save = false;            // File > Save, Save as, Save HDR, Edit > Copy, ToolButton4, 5, 3
    bool undo = false;            // Edit > Undo, Button17, ToolButton6
    bool align = false;           // Button27
    bool ghostControls = false;   // CheckBox6, Label45, TrackBar16
    bool ghostView = false;       // RadioButton4
    bool filterGroups = false;    // the seven groups of Step 3
    bool pages = false;           // TabbedNotebook1, ToolBar1, the File menu, the options dialogs' Save
    bool picture = false;         // Image4
    bool previewRectangle = false;  // Shape3
    bool alignmentOverlay = false;  // Panel11
    bool operator==(const CommandStates&) const = default;
};

CommandStates commandStates(const WorkState& state);

// What entering "Step 3: Filter" does: with a stack and no pending image, a whole render unlocks
// the filters and a mere preview asks whether to process the whole picture first; otherwise the
// filters stay locked.
enum class FilterPageEntry { Unlock, AskToProcess, Lock };
FilterPageEntry filterPageEntry(const WorkState& state, bool wholeImageProcessed);

}  // namespace sv
