// Step 1: opening, adding, removing exposures and aligning a new one with the stack.
#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QToolButton>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <QThread>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "mainwindow/about_box.h"
#include "mainwindow/controls.h"
#include "mainwindow/main_form.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "stack/exposure_stack.h"

namespace sv {

namespace {

// A hook of the open sequence, which runs beside the window's thread, made to run on the window's
// thread while the sequence waits for it (it shows, asks and tells). The hand-over goes through
// atomics of our own both ways, so that each side sees what the other wrote before it.
template <class R, class... Args>
std::function<R(Args...)> onWindowThread(QObject* window, std::function<R(Args...)> hook) {
    if (!hook) return hook;
    return [window, hook = std::move(hook)](Args... args) -> R {
        if (QThread::currentThread() == window->thread()) return hook(std::forward<Args>(args)...);
        std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> answer;
        std::atomic<bool> posted{false};
        std::atomic<bool> done{false};
        posted.store(true, std::memory_order_release);
        QMetaObject::invokeMethod(window, [&] {
            (void)posted.load(std::memory_order_acquire);
            if constexpr (std::is_void_v<R>) {
                hook(std::forward<Args>(args)...);
                answer.emplace(true);
            } else {
                answer.emplace(hook(std::forward<Args>(args)...));
            }
            // The last touch of the hand-over: the waiting side may end as soon as it sees this.
            done.store(true, std::memory_order_release);
        }, Qt::QueuedConnection);
        while (!done.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if constexpr (!std::is_void_v<R>) return std::move(*answer);
    };
}

}  // namespace

void TForm1::buildLoadPage(QWidget* page) {
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(4, 4, 4, 4);

    GroupBox1 = new ToolGroup(page, QStringLiteral("GroupBox1"));
    GroupBox1->setMouseTracking(false);
    pageLayout->addWidget(GroupBox1, 1);
    auto* box = new QVBoxLayout(GroupBox1);

    ListBox1 = new QListWidget(GroupBox1);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setMinimumHeight(120);
    connect(ListBox1, &QListWidget::itemSelectionChanged, this, &TForm1::showSelectedExif);
    box->addWidget(ListBox1, 1);

    auto* buttons = new QHBoxLayout();
    Button4 = new QPushButton(QStringLiteral("Open"), GroupBox1);
    Button4->setObjectName(QStringLiteral("Button4"));
    Button3 = new QPushButton(QStringLiteral("Add"), GroupBox1);
    Button3->setObjectName(QStringLiteral("Button3"));
    Button9 = new QPushButton(QStringLiteral("Remove"), GroupBox1);
    Button9->setObjectName(QStringLiteral("Button9"));
    for (QPushButton* b : {Button4, Button3, Button9}) buttons->addWidget(b);
    box->addLayout(buttons);

    // The multiplier controls and "Mark on image" are kept up to date but never shown.
    Label4 = new QLabel(QStringLiteral("Multiply the new image by:"), GroupBox1);
    Label4->setObjectName(QStringLiteral("Label4"));
    Edit1 = new QLineEdit(QStringLiteral("1.0"), GroupBox1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setReadOnly(true);
    CSpinButton1 = new SpinButton(GroupBox1, QStringLiteral("CSpinButton1"));
    Button5 = new QPushButton(QStringLiteral("Mark on image"), GroupBox1);
    Button5->setObjectName(QStringLiteral("Button5"));
    for (QWidget* w : std::initializer_list<QWidget*>{Label4, Edit1, CSpinButton1, Button5}) w->hide();

    GroupBox3 = new ToolGroup(GroupBox1, QStringLiteral("GroupBox3"));
    GroupBox3->setMouseTracking(false);
    box->addWidget(GroupBox3);
    auto* grid = new QGridLayout(GroupBox3);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(3);
    Label27 = new QLabel(QStringLiteral("Shift new image:"), GroupBox3);
    Label27->setObjectName(QStringLiteral("Label27"));
    grid->addWidget(Label27, 0, 0, 1, 3);
    Label10 = new QLabel(QStringLiteral("Offset X:"), GroupBox3);
    Label10->setObjectName(QStringLiteral("Label10"));
    Edit3 = new QLineEdit(QStringLiteral("0"), GroupBox3);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    CSpinButton2 = new SpinButton(GroupBox3, QStringLiteral("CSpinButton2"));
    Label25 = new QLabel(QStringLiteral("Offset Y:"), GroupBox3);
    Label25->setObjectName(QStringLiteral("Label25"));
    Edit4 = new QLineEdit(QStringLiteral("0"), GroupBox3);
    Edit4->setObjectName(QStringLiteral("Edit4"));
    CSpinButton3 = new SpinButton(GroupBox3, QStringLiteral("CSpinButton3"));
    for (QLineEdit* e : {Edit3, Edit4}) e->setMaximumWidth(70);
    grid->addWidget(Label10, 1, 0);
    grid->addWidget(Edit3, 1, 1);
    grid->addWidget(CSpinButton2, 1, 2, Qt::AlignLeft);
    grid->addWidget(Label25, 2, 0);
    grid->addWidget(Edit4, 2, 1);
    grid->addWidget(CSpinButton3, 2, 2, Qt::AlignLeft);

    Label26 = new QLabel(QStringLiteral("What to show:"), GroupBox3);
    Label26->setObjectName(QStringLiteral("Label26"));
    grid->addWidget(Label26, 3, 0, 1, 3);
    RadioButton1 = new QRadioButton(QStringLiteral("New image"), GroupBox3);
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton2 = new QRadioButton(QStringLiteral("Current stack"), GroupBox3);
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
    RadioButton3 = new QRadioButton(QStringLiteral("Difference"), GroupBox3);
    RadioButton3->setObjectName(QStringLiteral("RadioButton3"));
    grid->addWidget(RadioButton1, 4, 0, 1, 3);
    grid->addWidget(RadioButton2, 5, 0, 1, 3);
    grid->addWidget(RadioButton3, 6, 0, 1, 3);
    buildMergeControls(grid, box);
    grid->addWidget(RadioButton4, 7, 0, 1, 3);

    Label34 = new QLabel(QStringLiteral("Difference:"), GroupBox3);
    Label34->setObjectName(QStringLiteral("Label34"));
    auto* indicators = new QWidget(GroupBox3);
    indicators->setFixedSize(20, 20);
    Image15 = new PictureBox(indicators, QStringLiteral("Image15"));
    Image16 = new PictureBox(indicators, QStringLiteral("Image16"));
    Image17 = new PictureBox(indicators, QStringLiteral("Image17"));
    const char* pictures[3] = {"best", "worse", "other"};
    PictureBox* boxes[3] = {Image15, Image16, Image17};
    for (int i = 0; i < 3; ++i) {
        boxes[i]->setGeometry(0, 0, 20, 20);
        boxes[i]->setImage(QImage(QStringLiteral(":/pictures/") + QString::fromLatin1(pictures[i]) +
                                  QStringLiteral(".png")));
        boxes[i]->hide();
    }
    grid->addWidget(Label34, 8, 0);
    grid->addWidget(indicators, 8, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);

    Image14 = new PictureBox(page, QStringLiteral("Image14"));
    Image14->hide();

    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(CSpinButton1, &SpinButton::upClicked, this, &TForm1::CSpinButton1UpClick);
    connect(CSpinButton1, &SpinButton::downClicked, this, &TForm1::CSpinButton1DownClick);
    connect(CSpinButton2, &SpinButton::upClicked, this, &TForm1::CSpinButton2UpClick);
    connect(CSpinButton2, &SpinButton::downClicked, this, &TForm1::CSpinButton2DownClick);
    connect(CSpinButton3, &SpinButton::upClicked, this, &TForm1::CSpinButton3UpClick);
    connect(CSpinButton3, &SpinButton::downClicked, this, &TForm1::CSpinButton3DownClick);
    connect(Edit3, &QLineEdit::textEdited, this, &TForm1::Edit3Change);
    connect(Edit4, &QLineEdit::textEdited, this, &TForm1::Edit4Change);
    connect(RadioButton1, &QRadioButton::clicked, this, &TForm1::RadioButton1Click);
    connect(RadioButton2, &QRadioButton::clicked, this, &TForm1::RadioButton2Click);
    connect(RadioButton3, &QRadioButton::clicked, this, &TForm1::RadioButton3Click);
}

// ---------------------------------------------------------------------------- opening

void TForm1::showEngineMessage(const Message& message, bool error) {
    const QString shown = engineMessageText(message, polish());
    if (error) prompter_->showError(this, shown);
    else prompter_->showMessage(this, shown);
}

void TForm1::Button4Click() {
    if (jobRunning() || !Button4->isEnabled()) return;
    const QStringList files = prompter_->chooseOpenFiles(this, openDialogFilter);
    if (files.isEmpty()) return;
    openFiles(files);
}

void TForm1::openFiles(const QStringList& files) {
    // The engine's open sequence, the one the command line runs; the window shows each file as it
    // comes, aligns it first when asked to, and with ghost removal on merges once at the end.
    if (aboutBox) aboutBox->hide();
    const bool batch = files.size() > 1;
    const bool stepwise = autoAlignChecked() || ghosts.active;
    std::vector<std::string> paths;
    for (const QString& file : files) paths.push_back(file.toStdString());
    bool ended = false;
    bool alignmentFailed = false;
    bool ghostMergeDue = false;
    OpenSequenceControl control;
    control.beforeAdd = [this, batch, &alignmentFailed](std::size_t, OpenResult& result) {
        showOpenedPicture(result, batch);
        // A later file is aligned before it is added; alone it then waits for Add, with the
        // suggestion shown as the difference.
        if (autoAlignChecked() && project.exposureCount > 1 && !alignOpenedFile(!batch)) {
            alignmentFailed = true;
            return false;
        }
        return true;
    };
    control.stopNow = [&alignmentFailed] { return alignmentFailed; };
    if (ghosts.active) {
        // Into the plain stack now; the stack is merged again without ghosts once the open is done.
        control.add = [this, &ghostMergeDue](ProgressSink& progress) {
            addExposureToPlainStack(project, ghosts, progress);
            ghostMergeDue = true;
        };
    }
    control.notOpened = [this, &ended](std::size_t, const OpenResult& result) {
        if (refuseOpenedFile(result)) ended = true;
    };
    control.afterAdd = [this](std::size_t) {
        stackChanged();
        setProjectCommandsAfterAdd();
    };
    // The decoding and adding run beside the window's thread, which keeps painting and its timers
    // running meanwhile; every hook that shows, asks or tells runs on the window's thread.
    DecodeHooks hooks = openHooks();
    hooks.askGamma = onWindowThread(this, std::move(hooks.askGamma));
    hooks.notify = onWindowThread(this, std::move(hooks.notify));
    control.beforeAdd = onWindowThread(this, std::move(control.beforeAdd));
    control.notOpened = onWindowThread(this, std::move(control.notOpened));
    control.afterAdd = onWindowThread(this, std::move(control.afterAdd));
    control.stopNow = onWindowThread(this, std::move(control.stopNow));
    runBesideWindow([&](ProgressSink& progress) { openPictures(project, paths, hooks, progress, control); });
    if (ended || !stepwise) return;
    updateMergeControls();
    if (ghostMergeDue && !alignmentFailed) {
        const GhostRemovalParams params = ghosts.params;
        startGhostJob([this, params](ProgressSink& progress) {
            return removeGhosts(project, ghosts, params, project.exposureCount, ghostSource(), progress);
        });
    }
}

DecodeHooks TForm1::openHooks() {
    DecodeHooks hooks;
    hooks.askGamma = [this] { return prompter_->askYesNo(this, text(Msg::GammaQuestion)); };
    hooks.notify = [this](const Message& m) { showEngineMessage(m, false); };
    return hooks;
}

bool TForm1::refuseOpenedFile(const OpenResult& result) {
    if (result.error) {
        // "Too many images!" is a plain message; the others are errors.
        showEngineMessage(*result.error, result.error->id != MessageId::TooManyImages);
    }
    if (!result.fatal) return false;
    // The working buffers could not be obtained: nothing of the project survives.
    releaseBuffers(project);
    project.openInProgress = false;
    if (options_.endProgram) options_.endProgram(1);
    else QCoreApplication::exit(1);
    return true;
}

void TForm1::showOpenedPicture(OpenResult& result, bool batch) {
    // Image4 draws straight from the display bitmap: the one it shows now is kept until it shows
    // the new one, since a repaint on the way (the gauge's) would otherwise read freed memory.
    const DisplayBitmap shownBefore = std::exchange(displayBitmap, std::move(result.bitmap));
    markUnsaved();
    // Undo restores from the working copy, which now holds the opened picture.
    setUndoAvailable(false);
    // The record is in: a count of one means it started the project.
    afterOpened(project.exposureCount - 1, batch, project.exposureCount == 1);
}

void TForm1::afterOpened(int index, bool batch, bool firstOfProject) {
    if (firstOfProject) {
        updateSizeText();
        CGauge1->setGaugeMaximum(project.imageHeight);
        Image4->show();
        Shape1->show();
        Shape2->show();
        Shape3->show();
        // The first picture of a project sizes the view, whether it came alone or in a batch.
        TrackBar1Change();
    }
    CGauge1->setShowText(true);
    Edit1->setText(QStringLiteral("1.0"));
    showDisplayBitmap();
    CGauge1->setProgress(0);
    CGauge1->setShowText(false);
    ListBox1->addItem(QString());
    setListLine(index, true);

    TabbedNotebook1->setCurrentIndex(0);
    newImagePending_ = true;
    Button5->setEnabled(true);
    RadioButton1->setChecked(true);
    updateMergeControls();
    Edit3->setText(QStringLiteral("0"));
    Edit4->setText(QStringLiteral("0"));
    // A new exposure may not be rendered yet: Step 3 has to wait for "Process all" again.
    setStep3GroupsEnabled(false);

    if (!batch) {
        TrackBar1Change();
        takeRectAfterOpen();
        prepareNewImagePart();
        Image13->show();
        Panel11->show();
        alignmentRefresh();
    }
    marking_ = false;
    viewDragging_ = false;
}

void TForm1::setListLine(int index, bool pending) {
    if (index < 0 || index >= ListBox1->count()) return;
    const QString name = QFileInfo(QString::fromStdString(project.exposures[static_cast<std::size_t>(index)].path))
                             .fileName();
    ListBox1->item(index)->setText((pending ? QStringLiteral("* ") : QString()) + name + QStringLiteral(" [") +
                                   Edit1->text() + QStringLiteral("x]"));
    setListTooltip(index);
}

QString TForm1::exifText(int index, bool compact) const {
    if (index < 0 || index >= project.exposureCount) return {};
    const ExposureExif& exif = project.exposures[static_cast<std::size_t>(index)].exif;
    if (exif.empty()) return text(Msg::ExifNone);
    // Each value with its name, one a line; or the values alone on one line, as a camera shows them.
    QStringList parts;
    auto add = [&](Msg name, const QString& value) { parts << (compact ? value : text(name, value)); };
    auto signedEv = [](double ev) {
        const double rounded = std::round(ev * 100) / 100 + 0.0;  // no "-0"
        return (rounded > 0 ? QStringLiteral("+") : QString()) + QString::number(rounded, 'g', 4) + QStringLiteral(" EV");
    };
    if (exif.exposureTime) add(Msg::ExifExposureTime, QString::fromStdString(exposureTimeText(*exif.exposureTime)));
    if (exif.fNumber) add(Msg::ExifAperture, QStringLiteral("f/") + QString::number(*exif.fNumber, 'g', 3));
    if (exif.iso) parts << (compact ? QStringLiteral("ISO ") : text(Msg::ExifIso)) + QString::number(*exif.iso, 'g', 6);
    if (exif.exposureBias) add(Msg::ExifBias, signedEv(*exif.exposureBias));
    if (!exif.captureTime.empty()) add(Msg::ExifTaken, QString::fromStdString(exif.captureTime));
    if (index > 0) {
        if (const auto ev = relativeExposureValue(project.exposures[0].exif, exif))
            parts << text(compact ? Msg::ExifRelativeShort : Msg::ExifRelative, signedEv(*ev));
    }
    return parts.join(compact ? QStringLiteral("   ") : QStringLiteral("\n"));
}

void TForm1::setListTooltip(int index) {
    if (index < 0 || index >= ListBox1->count()) return;
    ListBox1->item(index)->setToolTip(exifText(index, false));
}

void TForm1::showSelectedExif() {
    const int index = ListBox1->currentRow();
    const bool selected = index >= 0 && ListBox1->currentItem() && ListBox1->currentItem()->isSelected();
    exifPanel->setText(selected ? exifText(index, true) : QString());
    exifPanel->setToolTip(selected ? exifText(index, false) : QString());
    exifPanel->setVisible(selected);
}

void TForm1::showDisplayBitmap() {
    // The picture replaces the Ghosts view, if it was shown.
    if (RadioButton4 && RadioButton4->isChecked()) RadioButton1->setChecked(true);
    Image4->showBitmap(displayBitmap);
    Image4->update();
}

// ---------------------------------------------------------------------------- adding

void TForm1::Button3Click() {
    if (jobRunning() || !Button3->isEnabled()) return;
    if (ghosts.active) {
        // Ghost removal stays on: the stack is merged again with the new exposure, on the worker.
        startGhostJob([this](ProgressSink& progress) {
            return addExposureWithoutGhosts(project, ghosts, ghostSource(), progress);
        }, [this](const GhostResult&) { setProjectCommandsAfterAdd(); });
        return;
    }
    addExposure(project, gaugeSink());
    stackChanged();
    markUnsaved();
    setProjectCommandsAfterAdd();
}

void TForm1::setProjectCommandsAfterAdd() {
    setListLine(project.exposureCount - 1, false);
    newImagePending_ = false;
    applyCommandStates();
    RadioButton1->setChecked(true);
    project.multiplierTenths = kMultiplierTenthsDefault;
    const double k = zoom() * 0.1;
    const Region& r = project.previewRect;
    marker = ViewGeometry{static_cast<int>(zoom() * r.x * 0.1), static_cast<int>(zoom() * r.y * 0.1),
                          static_cast<int>(k * r.width + 2), static_cast<int>(k * r.height + 2)};
    marker.width = static_cast<int>(zoom() * r.width * 0.1 + 2);
    marker.height = static_cast<int>(zoom() * r.height * 0.1 + 2);
    placeMarker();
    Image13->hide();
    Panel11->hide();
    setIndicator(0);
    Edit3->setText(QStringLiteral("0"));
    Edit4->setText(QStringLiteral("0"));
    updateMergeControls();
}

void TForm1::CSpinButton1DownClick() {
    if (project.exposureCount == 0) return;
    Edit1->setText(QString::fromStdString(stepMultiplier(project, false)));
    setListLine(project.exposureCount - 1, true);
}

void TForm1::CSpinButton1UpClick() {
    if (project.exposureCount == 0) return;
    Edit1->setText(QString::fromStdString(stepMultiplier(project, true)));
    setListLine(project.exposureCount - 1, true);
}

// ---------------------------------------------------------------------------- removing

void TForm1::Button9Click() {
    if (jobRunning() || !Button9->isEnabled()) return;
    const int index = ListBox1->currentRow();
    if (index < 0 || ListBox1->currentItem() == nullptr || !ListBox1->currentItem()->isSelected()) {
        prompter_->showError(this, text(Msg::ChooseToRemove));
        return;
    }
    const QString name =
        QFileInfo(QString::fromStdString(project.exposures[static_cast<std::size_t>(index)].path)).fileName();
    if (!prompter_->askYesNo(this, text(Msg::RemoveConfirm, name))) return;
    if (ghosts.active) {
        // Ghost removal stays on: removed from the plain stack, then merged again on the worker.
        const int countBefore = project.exposureCount;
        startGhostJob([this, index](ProgressSink& progress) {
            DecodeHooks hooks;
            std::vector<std::string>* notices = &jobNotices_;
            hooks.notify = [notices](const Message& m) { notices->push_back(englishText(m)); };
            return removeExposureWithoutGhosts(project, ghosts, index, hooks, ghostSource(), progress);
        }, [this, index, countBefore](const GhostResult&) {
            if (project.exposureCount == countBefore) return;  // not removed: the error says why
            delete ListBox1->takeItem(index);
        });
        return;
    }
    DecodeHooks hooks;
    hooks.askGamma = [this] { return prompter_->askYesNo(this, text(Msg::GammaQuestion)); };
    hooks.notify = [this](const Message& m) { showEngineMessage(m, false); };
    const RemoveResult result = removeExposure(project, index, hooks, gaugeSink());
    if (!result.removed) {
        if (result.error) showEngineMessage(*result.error, true);
        return;
    }
    stackChanged();
    markUnsaved();
    delete ListBox1->takeItem(index);
    // Each line's EV is relative to the first exposure, which may be another one now.
    for (int i = 0; i < ListBox1->count(); ++i) setListTooltip(i);
    showSelectedExif();
    setStep3GroupsEnabled(false);
    updateMergeControls();
}

// ---------------------------------------------------------------------------- alignment

void TForm1::placeMarker() {
    // Qt geometry cannot be negative: a marker drawn leftwards or upwards is shown normalised.
    QRect r(marker.left, marker.top, marker.width, marker.height);
    Shape3->setGeometry(r.normalized());
}

void TForm1::alignmentRefresh() {
    if (project.exposureCount == 0) return;
    ExposureRecord& rec = project.newestExposure();
    if (newImagePending()) {
        limitShift(project.previewRect, project.imageWidth, project.imageHeight, rec.shiftX, rec.shiftY);
        Edit3->setText(QString::number(rec.shiftX));
        Edit4->setText(QString::number(rec.shiftY));
        drawAlignmentView();
    }
    // Once added, an exposure keeps the shift it was added with: Remove subtracts it with that
    // shift, so a new rectangle must not pull it back to new limits.
    marker = markerGeometry(project.previewRect, rec.shiftX, rec.shiftY, newImagePending(), zoom());
    placeMarker();
}

void TForm1::prepareNewImagePart() {
    if (project.exposureCount == 0 || !project.buffersAllocated) return;
    const ExposureRecord& rec = project.newestExposure();
    image14Bitmap = newImagePart(project.newImageBuffer, project.previewRect, rec.shiftX, rec.shiftY);
    image13Bitmap = image14Bitmap;
    Image13->setImage(copyOfBitmap(image13Bitmap));
    Image14->setImage(copyOfBitmap(image14Bitmap));
    alignment.reset();
}

void TForm1::drawAlignmentView() {
    if (RadioButton1->isChecked()) RadioButton1Click();
    else if (RadioButton2->isChecked()) RadioButton2Click();
    else if (RadioButton3->isChecked()) RadioButton3Click();
}

void TForm1::setIndicator(int which) {
    Image15->setVisible(which == 15);
    Image16->setVisible(which == 16);
    Image17->setVisible(which == 17);
}

int TForm1::visibleIndicator() const {
    if (!Image15->isHidden()) return 15;
    if (!Image16->isHidden()) return 16;
    if (!Image17->isHidden()) return 17;
    return 0;
}

void TForm1::RadioButton1Click() {
    // Back from the Ghosts view to the picture.
    if (!newImagePending() && RadioButton4->isEnabled()) showDisplayBitmap();
    image13Bitmap = image14Bitmap;
    Image13->setImage(copyOfBitmap(image13Bitmap));
    if (project.exposureCount > 0) {
        const ExposureRecord& rec = project.newestExposure();
        const ViewGeometry g = overlayGeometry(project.previewRect, rec.shiftX, rec.shiftY, zoom());
        Panel11->move(g.left, g.top);
    }
    setIndicator(0);
}

void TForm1::RadioButton2Click() {
    if (project.exposureCount == 0 || !project.buffersAllocated) return;
    const ExposureRecord& rec = project.newestExposure();
    image13Bitmap = stackPart(project.stackBuffer, project.stackMax, project.previewRect, rec.shiftX, rec.shiftY);
    setIndicator(0);
    Image13->setImage(copyOfBitmap(image13Bitmap));
    const ViewGeometry g = overlayGeometry(project.previewRect, rec.shiftX, rec.shiftY, zoom());
    Panel11->move(g.left, g.top);
}

void TForm1::RadioButton3Click() {
    if (project.exposureCount == 0 || !project.buffersAllocated) return;
    const ExposureRecord& rec = project.newestExposure();
    image13Bitmap = differenceView(project.newImageBuffer, project.stackBuffer, project.stackMax, project.previewRect,
                                   rec.shiftX, rec.shiftY, alignment);
    switch (differenceIndicator(alignment)) {
        case DifferenceIndicator::Worse: setIndicator(16); break;
        case DifferenceIndicator::Best: setIndicator(15); break;
        case DifferenceIndicator::Other: setIndicator(17); break;
    }
    Image13->setImage(copyOfBitmap(image13Bitmap));
    const ViewGeometry g = overlayGeometry(project.previewRect, rec.shiftX, rec.shiftY, zoom());
    Panel11->move(g.left, g.top);
}

void TForm1::CSpinButton2DownClick() {
    if (project.exposureCount == 0 || !newImagePending()) return;
    --project.newestExposure().shiftX;
    alignmentRefresh();
}
void TForm1::CSpinButton2UpClick() {
    if (project.exposureCount == 0 || !newImagePending()) return;
    ++project.newestExposure().shiftX;
    alignmentRefresh();
}
void TForm1::CSpinButton3DownClick() {
    if (project.exposureCount == 0 || !newImagePending()) return;
    --project.newestExposure().shiftY;
    alignmentRefresh();
}
void TForm1::CSpinButton3UpClick() {
    if (project.exposureCount == 0 || !newImagePending()) return;
    ++project.newestExposure().shiftY;
    alignmentRefresh();
}

namespace {

// The shift a typed field edits: the pending image's, or the next record's (none past 100).
int* typedShiftTarget(Project& project, bool pending, bool xAxis) {
    if (pending && project.exposureCount > 0) {
        ExposureRecord& rec = project.newestExposure();
        return xAxis ? &rec.shiftX : &rec.shiftY;
    }
    if (project.exposureCount >= kMaxExposures) return nullptr;
    ExposureRecord& rec = project.exposures[static_cast<std::size_t>(project.exposureCount)];
    return xAxis ? &rec.shiftX : &rec.shiftY;
}

}  // namespace

void TForm1::Edit3Change() {
    int* target = typedShiftTarget(project, newImagePending(), true);
    const auto typed = parseTypedShift(Edit3->text().toStdString());
    if (target && typed) *target = *typed;
    Edit3->setText(QString::number(target ? *target : 0));
}

void TForm1::Edit4Change() {
    int* target = typedShiftTarget(project, newImagePending(), false);
    const auto typed = parseTypedShift(Edit4->text().toStdString());
    if (target && typed) *target = *typed;
    Edit4->setText(QString::number(target ? *target : 0));
}

void TForm1::Button5Click() {
    Shape3->hide();
    Button5->setEnabled(false);
    Image13->hide();
    Panel11->hide();
}

void TForm1::Image4MouseDown(Qt::MouseButton button, int X, int Y) {
    // While an eyedropper is on, the left button samples instead of marking (Step 3 page).
    // A whole-picture job may be writing processedBuffer: no samples are read from it meanwhile.
    if (samplingActive && button == Qt::LeftButton && Image4->isEnabled() && !jobRunning()) sampleAt(X, Y);
    if (samplingActive || button != Qt::LeftButton || !Image4->isEnabled()) return;
    if (newImagePending()) {
        project.newestExposure().shiftX = 0;
        project.newestExposure().shiftY = 0;
        alignment.bestMeanDifference = std::numeric_limits<float>::infinity();
    }
    Button5Click();
    marker = ViewGeometry{X - 1, Y - 1, 0, 0};
    placeMarker();
    Shape3->show();
    Shape3->raise();
    marking_ = true;
    markLastX = X;
    markLastY = Y;
    setIndicator(0);
}

void TForm1::Image4MouseMove(Qt::MouseButtons buttons, int X, int Y) {
    if (samplingActive) {
        if ((buttons & Qt::LeftButton) && !jobRunning()) sampleAt(X, Y);
        return;
    }
    if (!marking_ || Button5->isEnabled()) return;
    if (X == markLastX && Y == markLastY) return;
    markLastX = X;
    markLastY = Y;
    marker.width = X - marker.left + 3;
    marker.height = Y - marker.top + 3;
    placeMarker();
}

void TForm1::Image4MouseUp(Qt::MouseButton button, int, int) {
    // Releasing the button after sampling ends the eyedropper's run: one sample per activation.
    if (samplingActive && button == Qt::LeftButton) {
        samplingOff();
        return;
    }
    if (!marking_ || button != Qt::LeftButton) return;
    Image4->setCursor(cursorTable[3]);
    Button5->setEnabled(true);
    project.previewRect = rectFromMarking(marker, zoom(), project.imageWidth, project.imageHeight);
    TrackBar1Change();
    if (newImagePending()) {
        prepareNewImagePart();
        Image13->show();
        Panel11->show();
    } else {
        Image13->hide();
        Panel11->hide();
    }
    alignmentRefresh();
    marking_ = false;
}

void TForm1::takeRectAfterOpen() {
    const int sx = project.exposureCount > 0 ? project.newestExposure().shiftX : 0;
    const int sy = project.exposureCount > 0 ? project.newestExposure().shiftY : 0;
    project.previewRect = rectAfterOpen(marker, sx, sy, zoom(), project.imageWidth, project.imageHeight);
}

void TForm1::Image13MouseDown(Qt::MouseButton button, int X, int Y) {
    if (button == Qt::RightButton && newImagePending()) {
        const ExposureRecord& rec = project.newestExposure();
        const double k = zoom() * 0.1;
        anchorX = static_cast<int>(X + marker.left - rec.shiftX * k);
        anchorY = static_cast<int>(Y + marker.top - rec.shiftY * k);
        viewDragging_ = true;
        viewLastX = X;
        viewLastY = Y;
        Shape3->hide();
    } else if (button == Qt::LeftButton) {
        Button5Click();
    }
}

void TForm1::Image13MouseMove(Qt::MouseButtons, int X, int Y) {
    if (!viewDragging_ || (X == viewLastX && Y == viewLastY)) return;
    const double k = zoom() * 0.1;
    ExposureRecord& rec = project.newestExposure();
    rec.shiftX = static_cast<int>((X + Panel11->x() - anchorX) / k);
    rec.shiftY = static_cast<int>((Y + Panel11->y() - anchorY) / k);
    alignmentRefresh();
    viewLastX = X;
    viewLastY = Y;
}

void TForm1::Image13MouseUp(Qt::MouseButton button, int, int) {
    if (button != Qt::RightButton) return;
    viewDragging_ = false;
    Shape3->show();
    Image4->setCursor(cursorTable[3]);
}

void TForm1::Shape3MouseDown(Qt::MouseButton button, int, int) {
    if (button == Qt::LeftButton) Button5Click();
}

}  // namespace sv
