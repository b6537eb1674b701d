// Step 3: Filter. The Refresh/Undo group, the two headings and the six accordion groups; the
// page's own controls (filters and colour tools) fill the groups.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "filters/bilateral_filter.h"
#include "filters/filter_framework.h"
#include "filters/filter_kernel.h"
#include "filters/filter_labels.h"
#include "filters/gaussian_blur.h"
#include "filters/kernel_picture.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "mainwindow/colour_panel.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "operations/operation_registry.h"
#include "tone/colour_balance.h"
#include "tone/render.h"
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
    GroupBox15->setStyleSheet(QStringLiteral("QGroupBox { border: none; }"));
    layout->addWidget(GroupBox15, 1);
    // Moving over the empty group below the tools (or over Refresh/Undo) is hovering over nothing.
    connect(GroupBox15, &ToolGroup::hovered, this, &TForm1::GroupBox12MouseMove);
    connect(GroupBox12, &ToolGroup::hovered, this, &TForm1::GroupBox12MouseMove);

    connect(Button16, &QPushButton::clicked, this, &TForm1::Button16Click);
    connect(Button17, &QPushButton::clicked, this, &TForm1::Undo1Click);

    buildFilterControls();
}

// ---------------------------------------------------------------------------- Step 3 controls

namespace {

QPushButton* button(QWidget* parent, const char* name, const char* text) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

// A parameter picture: 49 x 49, stretched, on a black square.
PictureBox* kernelPicture(QWidget* parent, const char* name) {
    auto* p = new PictureBox(parent, QString::fromLatin1(name));
    p->setAutoFillBackground(true);
    QPalette pal = p->palette();
    pal.setColor(QPalette::Window, Qt::black);
    p->setPalette(pal);
    return p;
}

ColourPanel* colourPanel(QWidget* parent, const char* name) {
    auto* p = new ColourPanel(parent);
    p->setObjectName(QString::fromLatin1(name));
    return p;
}

// The width the Step 3 groups are drawn for, in design pixels.
constexpr int kFilterGroupWidth = 250;
// Where a control of a Step 3 group sits in design pixels.
constexpr const char* kDesignGeometry = "svDesignGeometry";

// One row of a filter group: caption, track bar, value label.
void placeRow(QLabel* caption, QSlider* bar, QLabel* value, int y, int barRight) {
    caption->setGeometry(8, y, 64, 22);
    bar->setGeometry(72, y, barRight - 72 - 40, 22);
    value->setGeometry(barRight - 38, y, 36, 22);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

}  // namespace

ColourPanel* TForm1::samplePanel(int row) const {
    return row == 1 ? Panel14 : row == 2 ? Panel15 : Panel18;
}

ColourPanel* TForm1::targetPanel(int row) const {
    return row == 1 ? Panel17 : row == 2 ? Panel16 : Panel19;
}

void TForm1::buildFilterControls() {
    const int width = kFilterGroupWidth;
    const int pictureX = width - 8 - 49;
    const int barRight = pictureX - 6;

    // Gaussian blur
    Label6 = makeLabel(GroupBox8, "Label6", "Opacity");
    TrackBar4 = makeTrackBar(GroupBox8, describedParameter(kGaussianBlurParameters, "opacity"));
    Label8 = makeLabel(GroupBox8, "Label8", "100%");
    Label7 = makeLabel(GroupBox8, "Label7", "Sigma");
    TrackBar5 = makeTrackBar(GroupBox8, describedParameter(kGaussianBlurParameters, "sigma"));
    Label9 = makeLabel(GroupBox8, "Label9", "1,0");
    Image7 = kernelPicture(GroupBox8, "Image7");
    Button10 = button(GroupBox8, "Button10", "Preview");
    Button7 = button(GroupBox8, "Button7", "Apply");
    placeRow(Label6, TrackBar4, Label8, 24, barRight);
    placeRow(Label7, TrackBar5, Label9, 50, barRight);
    Image7->setGeometry(pictureX, 24, 49, 49);
    Button10->setGeometry(8, 84, 80, 26);
    Button7->setGeometry(94, 84, 80, 26);
    for (QSlider* b : {TrackBar4, TrackBar5}) connect(b, &QSlider::valueChanged, this, &TForm1::TrackBar4Change);

    // Sharpen
    Label1 = makeLabel(GroupBox11, "Label1", "Amount");
    TrackBar2 = makeTrackBar(GroupBox11, describedParameter(kSharpenParameters, "amount"));
    Label3 = makeLabel(GroupBox11, "Label3", "100%");
    Label11 = makeLabel(GroupBox11, "Label11", "Sigma");
    TrackBar3 = makeTrackBar(GroupBox11, describedParameter(kSharpenParameters, "sigma"));
    Label5 = makeLabel(GroupBox11, "Label5", "1,0");
    Image6 = kernelPicture(GroupBox11, "Image6");
    Button12 = button(GroupBox11, "Button12", "Preview");
    Button6 = button(GroupBox11, "Button6", "Apply");
    placeRow(Label1, TrackBar2, Label3, 24, barRight);
    placeRow(Label11, TrackBar3, Label5, 50, barRight);
    Image6->setGeometry(pictureX, 24, 49, 49);
    Button12->setGeometry(8, 84, 80, 26);
    Button6->setGeometry(94, 84, 80, 26);
    for (QSlider* b : {TrackBar2, TrackBar3}) connect(b, &QSlider::valueChanged, this, &TForm1::TrackBar2Change);

    // Median filter
    Label28 = makeLabel(GroupBox9, "Label28", "Opacity");
    TrackBar14 = makeTrackBar(GroupBox9, describedParameter(kMedianParameters, "opacity"));
    Label30 = makeLabel(GroupBox9, "Label30", "100%");
    Label33 = makeLabel(GroupBox9, "Label33", "Threshold");
    TrackBar15 = makeTrackBar(GroupBox9, describedParameter(kMedianParameters, "threshold"));
    Label35 = makeLabel(GroupBox9, "Label35", "0,80");
    ComboBox1 = new QComboBox(GroupBox9);
    ComboBox1->addItems(medianShapeItems(false));
    {
        const ParameterDescriptor& shape = describedParameter(kMedianParameters, "shape");
        ComboBox1->setObjectName(QString::fromLatin1(shape.control.data()));
        ComboBox1->setCurrentIndex(shape.defaultPosition - shape.minimum);
    }
    TrackBar6 = makeTrackBar(GroupBox9, describedParameter(kMedianParameters, "size"));
    Label12 = makeLabel(GroupBox9, "Label12", "5");
    Image11 = kernelPicture(GroupBox9, "Image11");
    Button14 = button(GroupBox9, "Button14", "Preview");
    Button11 = button(GroupBox9, "Button11", "Apply");
    placeRow(Label28, TrackBar14, Label30, 24, barRight);
    placeRow(Label33, TrackBar15, Label35, 50, barRight);
    // The shape and size row lies below the picture and takes the whole width.
    ComboBox1->setGeometry(8, 78, 112, 24);
    TrackBar6->setGeometry(126, 78, width - 8 - 40 - 126, 22);
    Label12->setGeometry(width - 8 - 38, 78, 36, 22);
    Label12->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Image11->setGeometry(pictureX, 24, 49, 49);
    Button14->setGeometry(8, 114, 80, 26);
    Button11->setGeometry(94, 114, 80, 26);
    connect(TrackBar6, &QSlider::valueChanged, this, &TForm1::TrackBar6Change);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TForm1::TrackBar6Change);
    connect(TrackBar14, &QSlider::valueChanged, this, &TForm1::TrackBar14Change);
    connect(TrackBar15, &QSlider::valueChanged, this, &TForm1::TrackBar15Change);

    // Bilateral filter
    Label13 = makeLabel(GroupBox10, "Label13", "Opacity");
    TrackBar7 = makeTrackBar(GroupBox10, describedParameter(kBilateralParameters, "opacity"));
    Label15 = makeLabel(GroupBox10, "Label15", "100%");
    Label29 = makeLabel(GroupBox10, "Label29", "Sigma");
    TrackBar8 = makeTrackBar(GroupBox10, describedParameter(kBilateralParameters, "sigma"));
    Label18 = makeLabel(GroupBox10, "Label18", "1,0");
    Label19 = makeLabel(GroupBox10, "Label19", "Threshold");
    TrackBar9 = makeTrackBar(GroupBox10, describedParameter(kBilateralParameters, "threshold"));
    Label20 = makeLabel(GroupBox10, "Label20", "1,0");
    Image8 = kernelPicture(GroupBox10, "Image8");
    Image9 = kernelPicture(GroupBox10, "Image9");
    Button15 = button(GroupBox10, "Button15", "Preview");
    Button13 = button(GroupBox10, "Button13", "Apply");
    placeRow(Label13, TrackBar7, Label15, 24, barRight);
    placeRow(Label29, TrackBar8, Label18, 50, barRight);
    placeRow(Label19, TrackBar9, Label20, 76, barRight);
    Image8->setGeometry(pictureX, 22, 49, 49);

    Button15->setGeometry(8, 108, 80, 26);
    Button13->setGeometry(94, 108, 80, 26);
    for (QSlider* b : {TrackBar7, TrackBar8}) connect(b, &QSlider::valueChanged, this, &TForm1::TrackBar7Change);
    connect(TrackBar9, &QSlider::valueChanged, this, &TForm1::TrackBar9Change);

    const std::pair<QPushButton*, JobKind> jobButtons[] = {
        {Button10, JobKind::BlurPreview},      {Button7, JobKind::BlurApply},
        {Button12, JobKind::SharpenPreview},   {Button6, JobKind::SharpenApply},
        {Button14, JobKind::MedianPreview},    {Button11, JobKind::MedianApply},
        {Button15, JobKind::BilateralPreview}, {Button13, JobKind::BilateralApply},
    };
    for (const auto& [b, kind] : jobButtons)
        connect(b, &QPushButton::clicked, this, [this, kind = kind] { startFilterJob(kind); });

    // Eyedropper buttons: a raised panel with the pipette, lowered while its slot samples.
    const QPixmap pipette = QPixmap(QStringLiteral(":/cursors/eyedrop.png"))
                                .scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    auto eyedropper = [this, &pipette](QWidget* parent, const char* panelName, const char* imageName, int slot,
                                       QFrame*& panel, PictureBox*& image) {
        panel = new QFrame(parent);
        panel->setObjectName(QString::fromLatin1(panelName));
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
        panel->setLineWidth(2);
        image = new PictureBox(panel, QString::fromLatin1(imageName));
        image->setGeometry(2, 2, 18, 18);
        QImage glyph(18, 18, QImage::Format_ARGB32_Premultiplied);
        glyph.fill(palette().color(QPalette::Button));
        QPainter(&glyph).drawPixmap(1, 1, pipette);
        image->setImage(glyph);
        connect(image, &PictureBox::mousePressed, this, [this, slot](Qt::MouseButton, int, int, Qt::KeyboardModifiers) {
            eyedropperDown(slot);
        });
    };
    const QCursor hand(QPixmap(QStringLiteral(":/cursors/handpoint.png")), 12, 3);

    // Neutral point (white balance)
    Label43 = makeLabel(GroupBox17, "Label43", "Sample");
    Label44 = makeLabel(GroupBox17, "Label44", "Target");
    eyedropper(GroupBox17, "Panel25", "Image12", 0, Panel25, Image12);
    Label40 = makeLabel(GroupBox17, "Label40", "Global");
    Panel20 = colourPanel(GroupBox17, "Panel20");
    Panel23 = colourPanel(GroupBox17, "Panel23");
    Label41 = makeLabel(GroupBox17, "Label41", "Sampling tool");
    ComboBox2 = new QComboBox(GroupBox17);
    ComboBox2->setObjectName("ComboBox2");
    ComboBox2->addItems(samplingToolItems(false));
    ComboBox2->setCurrentIndex(2);
    Button24 = button(GroupBox17, "Button24", "Preview");
    Button23 = button(GroupBox17, "Button23", "Apply");
    Label43->setGeometry(128, 22, 56, 18);
    Label44->setGeometry(188, 22, 56, 18);
    Panel25->setGeometry(8, 42, 22, 22);
    Label40->setGeometry(36, 42, 88, 22);
    Panel20->setGeometry(128, 42, 52, 22);
    Panel23->setGeometry(188, 42, 52, 22);
    Label41->setGeometry(8, 78, 112, 24);
    ComboBox2->setGeometry(124, 78, 116, 24);
    Button24->setGeometry(8, 114, 80, 26);
    Button23->setGeometry(94, 114, 80, 26);
    connect(ComboBox2, &QComboBox::currentIndexChanged, this, &TForm1::ComboBox2Change);
    connect(Button24, &QPushButton::clicked, this, [this] { startFilterJob(JobKind::NeutralPreview); });
    connect(Button23, &QPushButton::clicked, this, [this] { startFilterJob(JobKind::NeutralApply); });

    // Sample/target balance
    Label38 = makeLabel(GroupBox16, "Label38", "Sample");
    Label39 = makeLabel(GroupBox16, "Label39", "Target");
    Label38->setGeometry(128, 20, 56, 18);
    Label39->setGeometry(188, 20, 56, 18);
    struct Row {
        QCheckBox** check;
        const char* checkName;
        const char* caption;
        QFrame** panel;
        const char* panelName;
        PictureBox** image;
        const char* imageName;
        ColourPanel** sample;
        const char* sampleName;
        ColourPanel** target;
        const char* targetName;
    };
    const Row rows[3] = {
        {&CheckBox2, "CheckBox2", "Shadows", &Panel26, "Panel26", &Image20, "Image20", &Panel14, "Panel14", &Panel17,
         "Panel17"},
        {&CheckBox3, "CheckBox3", "Midtones", &Panel27, "Panel27", &Image21, "Image21", &Panel15, "Panel15", &Panel16,
         "Panel16"},
        {&CheckBox4, "CheckBox4", "Highlights", &Panel28, "Panel28", &Image22, "Image22", &Panel18, "Panel18",
         &Panel19, "Panel19"},
    };
    for (int k = 0; k < 3; ++k) {
        const Row& r = rows[k];
        const int y = 40 + k * 28;
        eyedropper(GroupBox16, r.panelName, r.imageName, k + 1, *r.panel, *r.image);
        (*r.panel)->setGeometry(8, y, 22, 22);
        *r.check = new QCheckBox(QString::fromLatin1(r.caption), GroupBox16);
        (*r.check)->setObjectName(QString::fromLatin1(r.checkName));
        (*r.check)->setGeometry(36, y, 88, 22);
        *r.sample = colourPanel(GroupBox16, r.sampleName);
        (*r.sample)->setGeometry(128, y, 52, 22);
        (*r.sample)->setDraggable(true);
        (*r.sample)->setDropTarget(true);
        *r.target = colourPanel(GroupBox16, r.targetName);
        (*r.target)->setGeometry(188, y, 52, 22);
        (*r.target)->setCursor(hand);
        const int row = k + 1;
        connect(*r.sample, &ColourPanel::doubleClicked, this, [this, row] { samplePanelDoubleClick(row); });
        connect(*r.sample, &ColourPanel::draggedOver, this,
                [this, row](const QString& source) { samplePanelDragOver(row, source); });
        connect(*r.target, &ColourPanel::clicked, this, [this, row] { targetPanelClick(row); });
    }
    // The sample panels tell their values in a hint, from the start.
    for (ColourPanel* p : {Panel20, Panel14, Panel15, Panel18}) p->setToolTip(QString::fromStdString(sampleHint(Rgb{})));
    Label42 = makeLabel(GroupBox16, "Label42", "Sampling tool");
    ComboBox3 = new QComboBox(GroupBox16);
    ComboBox3->setObjectName("ComboBox3");
    ComboBox3->addItems(samplingToolItems(false));
    ComboBox3->setCurrentIndex(2);
    Button22 = button(GroupBox16, "Button22", "Preview");
    Button21 = button(GroupBox16, "Button21", "Apply");
    Label42->setGeometry(8, 128, 112, 24);
    ComboBox3->setGeometry(124, 128, 116, 24);
    Button22->setGeometry(8, 162, 80, 26);
    Button21->setGeometry(94, 162, 80, 26);
    connect(ComboBox3, &QComboBox::currentIndexChanged, this, &TForm1::ComboBox3Change);
    connect(Button22, &QPushButton::clicked, this, [this] { startFilterJob(JobKind::BalancePreview); });
    connect(Button21, &QPushButton::clicked, this, [this] { startFilterJob(JobKind::BalanceApply); });

    for (ToolGroup* g : toolGroups) {
        g->setMinimumWidth(width);
        // The controls above are placed in design pixels; layoutFilterControls scales them.
        for (QWidget* w : g->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            w->setProperty(kDesignGeometry, w->geometry());
        // The accordion makes a hovered group's caption bold; its controls keep their weight.
        for (QWidget* w : g->findChildren<QWidget*>()) {
            QFont f = w->font();
            f.setBold(false);
            w->setFont(f);
        }
    }

    // Every kernel and picture exists before the first filter run, and every label shows its value.
    TrackBar2Change();
    TrackBar4Change();
    TrackBar6Change();
    TrackBar7Change();
    TrackBar9Change();
    TrackBar14Change();
    TrackBar15Change();
}

void TForm1::layoutFilterControls() {
    // Like the groups' heights, the controls inside them follow the display scale, and so does
    // the face of their captions: what fits at 96 dots per inch fits at any scale.
    const double s = displayScale;
    auto scaled = [s](int v) { return static_cast<int>(v * s); };
    for (ToolGroup* g : toolGroups) {
        g->setMinimumWidth(scaled(kFilterGroupWidth));
        for (QWidget* w : g->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            const QVariant design = w->property(kDesignGeometry);
            if (!design.isValid() || w == Image9) continue;  // the range curve places itself
            const QRect r = design.toRect();
            w->setGeometry(scaled(r.x()), scaled(r.y()), scaled(r.width()), scaled(r.height()));
        }
    }
    // The pipette keeps its picture's size, in the middle of its (larger) button.
    for (QFrame* panel : {Panel25, Panel26, Panel27, Panel28})
        if (auto* glyph = panel->findChild<PictureBox*>())
            glyph->move((panel->width() - 18) / 2, (panel->height() - 18) / 2);
    TrackBar9Change();
}

// ---- filter groups: labels, kernels, pictures ---------------------------------------------------

void TForm1::TrackBar4Change() {
    const GaussianKernels kernels = makeGaussianKernels(sigmaFromPosition(TrackBar5->value()));
    Image7->setImage(copyOfBitmap(drawKernelPicture(kernels.picture, TrackBar4->value(), 0)));
    showParameterValue(Label8, describedParameter(kGaussianBlurParameters, "opacity"), TrackBar4->value());
    showParameterValue(Label9, describedParameter(kGaussianBlurParameters, "sigma"), TrackBar5->value());
}

void TForm1::TrackBar2Change() {
    const FilterKernel kernel = makeSharpenKernel(sigmaFromPosition(TrackBar3->value()));
    Image6->setImage(copyOfBitmap(drawKernelPicture(kernel, 100, 128)));
    showParameterValue(Label3, describedParameter(kSharpenParameters, "amount"), TrackBar2->value());
    showParameterValue(Label5, describedParameter(kSharpenParameters, "sigma"), TrackBar3->value());
}

void TForm1::TrackBar6Change() {
    const int shape = std::clamp(ComboBox1->currentIndex(), 0, 3);
    const FilterKernel mask = makeMedianMask(static_cast<MedianShape>(shape), TrackBar6->value());
    Image11->setImage(copyOfBitmap(drawKernelPicture(mask, TrackBar14->value(), 0)));
    showParameterValue(Label12, describedParameter(kMedianParameters, "size"), TrackBar6->value());
}

void TForm1::TrackBar14Change() {
    showParameterValue(Label30, describedParameter(kMedianParameters, "opacity"), TrackBar14->value());
    TrackBar6Change();  // the mask picture fades with the opacity
}

void TForm1::TrackBar15Change() {
    showParameterValue(Label35, describedParameter(kMedianParameters, "threshold"), TrackBar15->value());
}

void TForm1::TrackBar7Change() {
    const FilterKernel kernel = makeBilateralKernel(sigmaFromPosition(TrackBar8->value()));
    Image8->setImage(copyOfBitmap(drawKernelPicture(kernel, TrackBar7->value(), 0)));
    showParameterValue(Label15, describedParameter(kBilateralParameters, "opacity"), TrackBar7->value());
    showParameterValue(Label18, describedParameter(kBilateralParameters, "sigma"), TrackBar8->value());
}

void TForm1::TrackBar9Change() {
    // The range curve is n x n with n = trunc(49 x scale), and so is its control.
    const DisplayBitmap curve = drawRangeCurve(TrackBar9->value(), displayScale);
    Image9->setGeometry(static_cast<int>((kFilterGroupWidth - 8) * displayScale) - curve.width(),
                        static_cast<int>(76 * displayScale), curve.width(), curve.height());
    Image9->setImage(copyOfBitmap(curve));
    showParameterValue(Label20, describedParameter(kBilateralParameters, "threshold"), TrackBar9->value());
}

// ---- jobs ---------------------------------------------------------------------------------------

ParameterValues TForm1::controlValues(ParameterList parameters) const {
    ParameterValues values;
    for (const ParameterDescriptor& d : parameters) {
        const QString name = QString::fromUtf8(d.control.data(), static_cast<qsizetype>(d.control.size()));
        if (const auto* bar = findChild<QSlider*>(name)) {
            values[std::string(d.key)] = bar->value();
        } else if (const auto* box = findChild<QComboBox*>(name)) {
            // A typed-in entry selects no item: the nearest end of the range.
            values[std::string(d.key)] = std::clamp(d.minimum + box->currentIndex(), d.minimum, d.maximum);
        }
    }
    return values;
}

void TForm1::startFilterJob(JobKind kind) {
    if (jobRunning() || !project.buffersAllocated) return;
    const Operation& op = operation(kind.operation);
    if (op.kind != OperationKind::FilterLike) return;
    const Region region = isRectJob(kind) ? project.previewRect : Region{0, project.imageWidth, 0, project.imageHeight};
    OperationParams params;
    switch (kind.operation) {
        case OperationId::Neutral: params = sampleColours[0]; break;
        case OperationId::Balance: {
            BalanceParams balance;
            const QCheckBox* ticks[3] = {CheckBox2, CheckBox3, CheckBox4};
            for (int k = 0; k < 3; ++k) {
                BalanceRange& range = balance.ranges[static_cast<std::size_t>(k)];
                range.ticked = ticks[k]->isChecked();
                range.sample = sampleColours[static_cast<std::size_t>(k + 1)];
                const QColor t = targetPanel(k + 1)->colour();
                range.target = {t.red(), t.green(), t.blue()};
            }
            params = balance;
            break;
        }
        default: params = op.paramsFrom(controlValues(op.parameters)); break;
    }
    noteApplyStarting(kind, params, op.parameters.empty() ? ParameterValues{} : controlValues(op.parameters));
    Project* p = &project;
    startJob(kind, [p, &op, region, params = std::move(params)](ProgressSink& s) {
        op.run(OperationTarget{.project = *p}, region, params, s);
    });
}

void TForm1::undoLastApply() {
    if (!project.buffersAllocated) return;
    ProgressSink& gauge = gaugeSink();
    beginProgress(gauge, 2ll * project.imageHeight);
    undoFromWorkingCopy(project.processedBuffer, project.newImageBuffer, project.processedCopy, gauge);
    markUnsaved();
    drawRegion(project.processedBuffer, Region{0, project.imageWidth, 0, project.imageHeight}, displayBitmap, gauge);
    endProgress(gauge, project.imageHeight);
    Image4->update();
    setUndoAvailable(false);
    recordUndo();
}

void TForm1::refreshProcessed() {
    if (!project.wholeImageProcessed) return;
    ProgressSink& gauge = gaugeSink();
    beginProgress(gauge, project.imageHeight);
    drawRegion(project.processedBuffer, Region{0, project.imageWidth, 0, project.imageHeight}, displayBitmap, gauge);
    gauge.setPosition(0);
    gauge.setTextVisible(false);
    Image4->update();
}

// ---- colour sampling ----------------------------------------------------------------------------

void TForm1::eyedropperDown(int slot) {
    if (slot != samplingSlot) samplingActive = true;
    else samplingActive = !samplingActive;
    if (samplingActive) {
        shape3HiddenBySampling = shape3HiddenBySampling || !Shape3->isHidden();
        Shape3->hide();
    } else if (shape3HiddenBySampling) {
        Shape3->show();
        shape3HiddenBySampling = false;
    }
    samplingSlot = slot;
    QFrame* panels[4] = {Panel25, Panel26, Panel27, Panel28};
    for (int i = 0; i < 4; ++i)
        panels[i]->setFrameShadow(samplingActive && i == slot ? QFrame::Sunken : QFrame::Raised);
    if (samplingActive) {
        const int entry = (slot == 0 ? ComboBox2 : ComboBox3)->currentIndex();
        Image4->setCursor(cursorTable[10 + std::clamp(entry, 0, 4)]);
    } else {
        Image4->setCursor(cursorTable[3]);
    }
    if (slot >= 1) (slot == 1 ? CheckBox2 : slot == 2 ? CheckBox3 : CheckBox4)->setChecked(true);
}

void TForm1::ComboBox2Change() {
    if (samplingActive) Image4->setCursor(cursorTable[10 + std::clamp(ComboBox2->currentIndex(), 0, 4)]);
}

void TForm1::ComboBox3Change() {
    if (samplingActive) Image4->setCursor(cursorTable[10 + std::clamp(ComboBox3->currentIndex(), 0, 4)]);
}

void TForm1::samplingOff() {
    samplingActive = false;
    for (QFrame* p : {Panel25, Panel26, Panel27, Panel28})
        if (p) p->setFrameShadow(QFrame::Raised);
    if (Image4 && cursorTable.count(3)) Image4->setCursor(cursorTable[3]);
    // The preview rectangle was hidden for the sampling; it comes back however the sampling ends.
    if (shape3HiddenBySampling && Shape3) Shape3->show();
    shape3HiddenBySampling = false;
}

void TForm1::sampleAt(int X, int Y) {
    // The picture stays clickable during whole-picture jobs, whose worker writes processedBuffer:
    // no sample is read until the job is over.
    if (jobRunning() || jobs().busy() || !project.buffersAllocated || project.processedBuffer.empty()) return;
    const double z = TrackBar1->value() / 10.0;
    if (!(0 < X && X < project.imageWidth * z && 0 < Y && Y < project.imageHeight * z)) return;
    const int x = static_cast<int>(X / z), y = static_cast<int>(Y / z);
    const int radius = (samplingSlot == 0 ? ComboBox2 : ComboBox3)->currentIndex();
    // A typed-in tool name selects no entry: the sample is then all 0 (and its row unused).
    Rgb sample{};
    if (radius >= 0 && radius <= 4) sample = takeSample(project.processedBuffer, x, y, radius);
    sampleColours[static_cast<std::size_t>(samplingSlot)] = sample;
    const std::array<int, 3> bytes = sampleBytes(sample);
    const QColor colour(bytes[0], bytes[1], bytes[2]);
    ColourPanel* sampled = nullptr;
    if (samplingSlot == 0) {
        sampled = Panel20;
        Panel20->setColour(colour);
        const int m = neutralGreyByte(sample);
        Panel23->setColour(QColor(m, m, m));
    } else {
        sampled = samplePanel(samplingSlot);
        sampled->setColour(colour);
        targetPanel(samplingSlot)->setColour(colour);
    }
    sampled->setToolTip(QString::fromStdString(sampleHint(sample)));
}

void TForm1::samplePanelDoubleClick(int row) {
    targetPanel(row)->setColour(samplePanel(row)->colour());
    samplePanel(row)->startColourDrag();
}

void TForm1::samplePanelDragOver(int row, const QString& sourceName) {
    for (int other = 1; other <= 3; ++other) {
        if (other == row || samplePanel(other)->objectName() != sourceName) continue;
        samplePanel(row)->setColour(samplePanel(other)->colour());
        samplePanel(row)->setToolTip(samplePanel(other)->toolTip());
        sampleColours[static_cast<std::size_t>(row)] = sampleColours[static_cast<std::size_t>(other)];
    }
}

void TForm1::targetPanelClick(int row) {
    if (!colourPicker) return;
    colourPicker->setMainWindow(this);
    colourPicker->setTargetPanels(Panel17, Panel16, Panel19);
    colourPicker->openFor(row - 1, targetPanel(row)->colour());
}

}  // namespace sv
