// Switching pages, the accordion of the Step 3 tool groups, and the enabled state of every
// command, button and page, applied from the command rules.
#include <QAction>
#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>

#include "mainwindow/controls.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/png_save_dialog.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

namespace sv {

WorkState TForm1::workState() const {
    WorkState s;
    s.buffersAllocated = project.buffersAllocated;
    s.exposureCount = exposureCountSeen_;
    s.newImagePending = newImagePending_;
    s.ghostRemovalOn = ghostsActiveSeen_;
    s.undoAvailable = undoAvailable_;
    s.filtersUnlocked = filtersUnlocked_;
    s.job = runningJob_;
    return s;
}

void TForm1::applyCommandStates() {
    if (!jobs_.busy()) {
        exposureCountSeen_ = project.exposureCount;
        ghostsActiveSeen_ = ghosts.active;
    }
    const CommandStates c = commandStates(workState());
    auto enable = [](bool on, std::initializer_list<QWidget*> widgets) {
        for (QWidget* w : widgets)
            if (w) w->setEnabled(on);
    };
    auto enableActions = [](bool on, std::initializer_list<QAction*> actions) {
        for (QAction* a : actions)
            if (a) a->setEnabled(on);
    };
    enable(c.open, {Button4, ToolButton2});
    enableActions(c.open, {Openimage1});
    enable(c.add, {Button3, ToolButton12});
    enableActions(c.add, {Addimage1});
    enable(c.remove, {Button9});
    enable(c.shift, {Edit3, CSpinButton2, Edit4, CSpinButton3, Edit1, CSpinButton1});
    enable(c.showNewImage, {RadioButton1});
    enable(c.showStack, {RadioButton2, RadioButton3});
    enable(c.process, {Button1, Button2});
    enable(c.newProject, {ToolButton1});
    enableActions(c.newProject, {New1});
    enable(c.save, {ToolButton3, ToolButton4, ToolButton5});
    enableActions(c.save, {Save1, Saveas1, SaveHdr1, Copy1});
    enable(c.undo, {Button17, ToolButton6});
    enableActions(c.undo, {Undo1});
    enable(c.align, {Button27});
    enable(c.ghostControls, {CheckBox6, Label45, TrackBar16});
    enable(c.ghostView, {RadioButton4});
    enable(c.filterGroups, {GroupBox8, GroupBox9, GroupBox10, GroupBox11, GroupBox12, GroupBox16, GroupBox17});
    enable(c.pages, {TabbedNotebook1, ToolBar1});
    if (File) File->menuAction()->setEnabled(c.pages);
    // The options dialogs stay open while a job runs; their Save reads the buffers the worker writes.
    if (jpegDialog) jpegDialog->setSaveEnabled(c.pages);
    if (tiffDialog) tiffDialog->setSaveEnabled(c.pages);
    if (pngDialog) pngDialog->setSaveEnabled(c.pages);
    enable(c.picture, {Image4});
    enable(c.previewRectangle, {Shape3});
    enable(c.alignmentOverlay, {Panel11});
}

void TForm1::setUndoAvailable(bool available) {
    undoAvailable_ = available;
    applyCommandStates();
}

void TForm1::setStep3GroupsEnabled(bool enabled) {
    filtersUnlocked_ = enabled;
    applyCommandStates();
}

void TForm1::TabbedNotebook1Change(int index) {
    if (index == 2) {
        switch (filterPageEntry(workState(), project.wholeImageProcessed)) {
            case FilterPageEntry::Unlock: setStep3GroupsEnabled(true); break;
            case FilterPageEntry::AskToProcess:
                if (prompter_->askOkCancel(this, text(Msg::FiltersNeedStack))) {
                    Button2Click();
                    setStep3GroupsEnabled(true);
                } else {
                    setStep3GroupsEnabled(false);
                }
                break;
            case FilterPageEntry::Lock: setStep3GroupsEnabled(false); break;
        }
    } else {
        Shape3->show();
    }
}

void TForm1::hoverToolGroup(int index) {
    hover.fill(false);
    if (index >= 0 && index < 6 && !expanded[static_cast<std::size_t>(index)]) hover[static_cast<std::size_t>(index)] = true;
    for (std::size_t i = 0; i < 6; ++i) {
        ToolGroup* g = toolGroups[i];
        if (!g) continue;
        QFont f = g->font();
        if (f.bold() != hover[i]) {
            f.setBold(hover[i]);
            g->setFont(f);
        }
    }
}

void TForm1::selectToolGroup(int index) {
    if (index < 0 || index >= 6) return;
    samplingActive = false;
    expanded[static_cast<std::size_t>(index)] = true;
    hover[static_cast<std::size_t>(index)] = false;
    hoverToolGroup(index);
    for (std::size_t i = 0; i < 6; ++i)
        if (static_cast<int>(i) != index) expanded[i] = false;
    samplingOff();
    for (std::size_t i = 0; i < 6; ++i) {
        ToolGroup* g = toolGroups[i];
        if (!g) continue;
        g->setFlat(false);
        g->setFixedHeight(static_cast<int>(displayScale * (expanded[i] ? kExpandedHeights[i] : 24)));
        showGroupContents(g, expanded[i]);
    }
}

void TForm1::showGroupContents(QWidget* group, bool show) {
    // A collapsed group shows its caption line only: its controls are put away (and only those
    // that were showing come back), so that nothing of them peeks through the caption strip.
    static const char* const kPutAway = "svPutAwayByAccordion";
    for (QWidget* child : group->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!show && !child->isHidden()) {
            child->setProperty(kPutAway, true);
            child->hide();
        } else if (show && child->property(kPutAway).toBool()) {
            child->setProperty(kPutAway, QVariant());
            child->show();
        }
    }
}

}  // namespace sv
