// Switching pages and the accordion of the Step 3 tool groups.
#include <QFont>
#include <QPushButton>
#include <QTabWidget>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

namespace sv {

void TForm1::setStep3GroupsEnabled(bool enabled) {
    for (QWidget* g : std::initializer_list<QWidget*>{GroupBox8, GroupBox9, GroupBox10, GroupBox11, GroupBox12,
                                                      GroupBox16, GroupBox17})
        if (g) g->setEnabled(enabled);
}

void TForm1::TabbedNotebook1Change(int index) {
    if (index == 2) {
        if (Button1->isEnabled()) {
            if (project.wholeImageProcessed) {
                setStep3GroupsEnabled(true);
            } else if (!Button3->isEnabled()) {
                if (prompter_->askOkCancel(this, text(Msg::FiltersNeedStack))) {
                    Button2Click();
                    setStep3GroupsEnabled(true);
                } else {
                    setStep3GroupsEnabled(false);
                }
            }
        }
        if (!Button1->isEnabled() || Button3->isEnabled()) setStep3GroupsEnabled(false);
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
