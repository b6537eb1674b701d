#include "mainwindow/main_form.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTranslator>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "image/memory_budget.h"
#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/controls.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/png_save_dialog.h"
#include "mainwindow/picture_box.h"
#include "mainwindow/prompter.h"
#include "mainwindow/tiff_save_dialog.h"

// The resources live in the window's static library: register them once, outside any namespace.
static void initWindowResources() {
    Q_INIT_RESOURCE(mainwindow);
}

namespace sv {

namespace {

// Drives the gauge from work running on the UI thread. Parallel loops may report rows from
// other threads too: those only count, and the gauge catches up at the next report made on the
// UI thread, so no widget is ever touched from another thread.
class GaugeSink final : public ProgressSink {
public:
    explicit GaugeSink(Gauge* gauge) : gauge_(gauge) {}
    void setMaximum(std::int64_t maximum) override { gauge_->setGaugeMaximum(maximum); }
    void setPosition(std::int64_t position) override {
        pending_.store(0, std::memory_order_relaxed);
        gauge_->setProgress(position);
    }
    void advance(std::int64_t steps) override {
        if (QThread::currentThread() != gauge_->thread()) {
            pending_.fetch_add(steps, std::memory_order_relaxed);
            return;
        }
        gauge_->addProgress(steps + pending_.exchange(0, std::memory_order_relaxed));
    }
    void setTextVisible(bool visible) override { gauge_->setShowText(visible); }

private:
    Gauge* gauge_;
    std::atomic<std::int64_t> pending_{0};
};

// The page control's own tab bar: it keeps the captions and the current page but takes no room,
// because the tabs the user sees sit above the scrolled column.
class ConcealedTabBar final : public QTabBar {
public:
    explicit ConcealedTabBar(QWidget* parent) : QTabBar(parent) {}
    QSize sizeHint() const override { return {0, 0}; }
    QSize minimumSizeHint() const override { return {0, 0}; }
};

class PageControl final : public QTabWidget {
public:
    PageControl() {
        setTabBar(new ConcealedTabBar(this));
        tabBar()->hide();
    }
};

}  // namespace

TForm1::TForm1(const FormOptions& options) : options_(options) {
    initWindowResources();
    setObjectName(QStringLiteral("TForm1"));
    if (options_.prompter) {
        prompter_ = options_.prompter;
    } else {
        ownPrompter_ = std::make_unique<QtPrompter>();
        prompter_ = ownPrompter_.get();
    }
    if (options_.settingsPath.isEmpty()) options_.settingsPath = defaultSettingsPath();

    buildMenus();
    buildToolBar();
    buildPictureArea();
    buildPages();
    buildStatusBar();
    pngDialog = new PngSaveDialog(this);
    gaugeSink_ = std::make_unique<GaugeSink>(CGauge1);
    CGauge1->setImmediateRepaint(true);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    // The design captions are the English texts with a few older wordings.
    applyCaptionRows(captionTable(), languageWindows(), false);
    applyCaptionRows(designCaptionDifferences(), languageWindows(), false);
    syncPageTabs();
    openDialogFilter = designOpenFilter();
    saveDialogFilter = designSaveFilter();

    FormCreate();
    Timer1->start();
}

TForm1::~TForm1() { FormDestroy(); }

void TForm1::FormDestroy() {
    jobs_.wait();
    releaseBuffers(project);
}

void TForm1::setSecondaryWindows(TForm2* about, TOKBottomDlg* jpeg, TForm5* tiff, TForm14* picker) {
    aboutBox = about;
    jpegDialog = jpeg;
    tiffDialog = tiff;
    colourPicker = picker;
    if (jpegDialog) jpegDialog->setForm(this);
    if (tiffDialog) tiffDialog->setForm(this);
    if (colourPicker) colourPicker->setMainWindow(this);
}

std::vector<LanguageWindow> TForm1::languageWindows() const {
    return {{"TForm1", const_cast<TForm1*>(this)},
            {"TOKBottomDlg", jpegDialog},
            {"TForm5", tiffDialog},
            {"TForm14", colourPicker}};
}

// ---------------------------------------------------------------------------- queries

bool TForm1::polish() const { return Polish1->isChecked(); }
bool TForm1::jobRunning() const { return !TabbedNotebook1->isEnabled(); }
// While a job runs nothing reads the new image as pending: the worker may be adding it.
bool TForm1::newImagePending() const { return newImagePending_ && !jobRunning(); }
int TForm1::zoom() const { return TrackBar1->value(); }
ProgressSink& TForm1::gaugeSink() { return *gaugeSink_; }

QString TForm1::statusPanelText(int panel) const {
    if (panel == 4) return memoryPanel && memoryPanel->isVisibleTo(StatusBar1) ? memoryPanel->text() : QString();
    return panel >= 0 && panel < 4 && statusPanels[static_cast<std::size_t>(panel)]
               ? statusPanels[static_cast<std::size_t>(panel)]->text()
               : QString();
}

QString TForm1::text(Msg id, const QString& detail) const {
    // Both check marks are looked at, so exactly one language results.
    if (Polish1->isChecked()) return messageText(id, true, detail);
    if (English1->isChecked()) return messageText(id, false, detail);
    return messageText(id, false, detail);
}

// ---------------------------------------------------------------------------- building

void TForm1::buildMenus() {
    QMenuBar* bar = menuBar();
    auto action = [this](QMenu* menu, const char* name, const char* text, QKeySequence key = {}) {
        auto* a = new QAction(QString::fromUtf8(text), menu);
        a->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) a->setShortcut(key);
        menu->addAction(a);
        (void)this;
        return a;
    };
    File = bar->addMenu(QStringLiteral("File"));
    File->setObjectName(QStringLiteral("File"));
    New1 = action(File, "New1", "New");
    Openimage1 = action(File, "Openimage1", "Open image/images", QKeySequence(Qt::CTRL | Qt::Key_O));
    Addimage1 = action(File, "Addimage1", "Add image", QKeySequence(Qt::CTRL | Qt::Key_A));
    File->addSeparator();
    Save1 = action(File, "Save1", "Save", QKeySequence(Qt::CTRL | Qt::Key_S));
    Saveas1 = action(File, "Saveas1", "Save as");
    SaveHdr1 = action(File, "SaveHdr1", "Save HDR as...");
    File->addSeparator();
    SaveRecipe1 = action(File, "SaveRecipe1", "Save recipe...");
    LoadRecipe1 = action(File, "LoadRecipe1", "Load recipe...");
    File->addSeparator();
    Exit1 = action(File, "Exit1", "Exit");

    Edit2 = bar->addMenu(QStringLiteral("Edit"));
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Undo1 = action(Edit2, "Undo1", "Undo", QKeySequence(Qt::CTRL | Qt::Key_Z));
    Copy1 = action(Edit2, "Copy1", "Copy", QKeySequence(Qt::CTRL | Qt::Key_C));
    Edit2->addSeparator();
    Autoalign1 = action(Edit2, "Autoalign1", "Align new images automatically");
    Autoalign1->setCheckable(true);
    Autoalign1->setChecked(kAutoAlignParameters[0].defaultPosition != 0);

    Language1 = bar->addMenu(QStringLiteral("Language"));
    Language1->setObjectName(QStringLiteral("Language1"));
    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    Polish1 = action(Language1, "Polish1", "Polski");
    English1 = action(Language1, "English1", "English");
    for (QAction* a : {Polish1, English1}) {
        a->setCheckable(true);
        languageGroup->addAction(a);
    }
    English1->setChecked(true);

    Help1 = bar->addMenu(QStringLiteral("Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Info1 = action(Help1, "Info1", "Info", QKeySequence(Qt::CTRL | Qt::Key_H));
    About2 = action(Help1, "About2", "About");

    connect(New1, &QAction::triggered, this, &TForm1::New1Click);
    connect(Openimage1, &QAction::triggered, this, &TForm1::Button4Click);
    connect(Addimage1, &QAction::triggered, this, &TForm1::Button3Click);
    connect(Save1, &QAction::triggered, this, &TForm1::Save1Click);
    connect(Saveas1, &QAction::triggered, this, &TForm1::Saveas1Click);
    connect(SaveHdr1, &QAction::triggered, this, &TForm1::SaveHdr1Click);
    connect(SaveRecipe1, &QAction::triggered, this, &TForm1::SaveRecipe1Click);
    connect(LoadRecipe1, &QAction::triggered, this, &TForm1::LoadRecipe1Click);
    // Recipes need an open project: they follow "Save HDR as...", which is enabled with one.
    connect(File, &QMenu::aboutToShow, this, [this] {
        SaveRecipe1->setEnabled(SaveHdr1->isEnabled());
        LoadRecipe1->setEnabled(SaveHdr1->isEnabled());
    });
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    connect(Undo1, &QAction::triggered, this, &TForm1::Undo1Click);
    connect(Copy1, &QAction::triggered, this, &TForm1::Copy1Click);
    connect(Autoalign1, &QAction::triggered, this, &TForm1::Autoalign1Click);
    connect(Polish1, &QAction::triggered, this, &TForm1::Polish1Click);
    connect(English1, &QAction::triggered, this, &TForm1::English1Click);
    connect(Info1, &QAction::triggered, this, &TForm1::Info1Click);
    connect(About2, &QAction::triggered, this, &TForm1::About2Click);
}

void TForm1::buildToolBar() {
    ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    auto button = [this](const char* name, const char* icon, const char* hint) {
        auto* b = new QToolButton(ToolBar1);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(QIcon(QStringLiteral(":/icons/") + QString::fromLatin1(icon) + QStringLiteral(".png")));
        b->setToolTip(QString::fromUtf8(hint));
        b->setAutoRaise(true);
        ToolBar1->addWidget(b);
        return b;
    };
    ToolButton1 = button("ToolButton1", "new", "New");
    ToolBar1->addSeparator();
    ToolButton2 = button("ToolButton2", "open", "Add image");
    ToolButton12 = button("ToolButton12", "add", "Add");
    ToolBar1->addSeparator();
    ToolButton4 = button("ToolButton4", "save", "Save");
    ToolButton5 = button("ToolButton5", "saveas", "Save as");
    ToolBar1->addSeparator();
    ToolButton3 = button("ToolButton3", "copy", "Copy to clipboard");
    ToolBar1->addSeparator();
    ToolButton9 = button("ToolButton9", "refresh", "Refresh");
    ToolButton6 = button("ToolButton6", "undo", "Undo");

    connect(ToolButton1, &QToolButton::clicked, this, &TForm1::New1Click);
    connect(ToolButton2, &QToolButton::clicked, this, &TForm1::Button4Click);
    connect(ToolButton12, &QToolButton::clicked, this, &TForm1::Button3Click);
    connect(ToolButton4, &QToolButton::clicked, this, &TForm1::Save1Click);
    connect(ToolButton5, &QToolButton::clicked, this, &TForm1::Saveas1Click);
    connect(ToolButton3, &QToolButton::clicked, this, &TForm1::Copy1Click);
    connect(ToolButton9, &QToolButton::clicked, this, &TForm1::Button16Click);
    connect(ToolButton6, &QToolButton::clicked, this, &TForm1::Undo1Click);
}

void TForm1::buildPages() {
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralArea"));
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    row->addWidget(ScrollBox1, 1);

    // The right column: the page tabs on top, then the pages, which alone scroll when the window
    // is too short for them (the tabs stay in view).
    rightColumn = new QWidget(central);
    rightColumn->setObjectName(QStringLiteral("rightColumn"));
    auto* column = new QVBoxLayout(rightColumn);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    pageTabs = new QTabBar(rightColumn);
    pageTabs->setObjectName(QStringLiteral("pageTabs"));
    pageTabs->setExpanding(false);
    pageTabs->setDrawBase(false);
    column->addWidget(pageTabs);
    ScrollBox2 = new QScrollArea(rightColumn);
    ScrollBox2->setObjectName(QStringLiteral("ScrollBox2"));
    ScrollBox2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBox2->setFrameShape(QFrame::NoFrame);
    ScrollBox2->setWidgetResizable(true);
    column->addWidget(ScrollBox2, 1);
    // The page control keeps its own tab bar for its captions and current page, but shows the
    // one above the scrolled column instead.
    TabbedNotebook1 = new PageControl();
    TabbedNotebook1->setObjectName(QStringLiteral("TabbedNotebook1"));
    TabbedNotebook1->installEventFilter(this);
    ScrollBox2->installEventFilter(this);
    ScrollBox2->setWidget(TabbedNotebook1);
    row->addWidget(rightColumn, 0);

    const char* names[3] = {"Step 1: Load", "Step 2: Process", "Step 3: Filter"};
    QWidget* pages[3];
    for (int i = 0; i < 3; ++i) {
        pages[i] = new QWidget();
        pages[i]->setObjectName(QStringLiteral("TabPage") + QString::number(i));
        TabbedNotebook1->addTab(pages[i], QString::fromLatin1(names[i]));
        pageTabs->addTab(QString::fromLatin1(names[i]));
    }
    buildLoadPage(pages[0]);
    buildProcessPage(pages[1]);
    buildFilterPage(pages[2]);
    connect(TabbedNotebook1, &QTabWidget::currentChanged, this, [this](int index) {
        const QSignalBlocker block(pageTabs);
        pageTabs->setCurrentIndex(index);
    });
    connect(TabbedNotebook1, &QTabWidget::currentChanged, this, &TForm1::TabbedNotebook1Change);
    connect(pageTabs, &QTabBar::currentChanged, TabbedNotebook1, &QTabWidget::setCurrentIndex);
    setCentralWidget(central);
}

void TForm1::syncPageTabs() {
    for (int i = 0; i < TabbedNotebook1->count() && i < pageTabs->count(); ++i)
        pageTabs->setTabText(i, TabbedNotebook1->tabText(i));
    const QSignalBlocker block(pageTabs);
    pageTabs->setCurrentIndex(TabbedNotebook1->currentIndex());
    pageTabs->setEnabled(TabbedNotebook1->isEnabled());
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // The tabs above the column are disabled with the page control (a job runs).
    if (watched == TabbedNotebook1 && event->type() == QEvent::EnabledChange)
        pageTabs->setEnabled(TabbedNotebook1->isEnabled());
    // Whether the pages fit depends on the column's height, which its layout settles.
    if (watched == ScrollBox2 && event->type() == QEvent::Resize) FormResize();
    if (ScrollBox1 && watched == ScrollBox1->viewport() && event->type() == QEvent::Wheel &&
        wheelZoom(static_cast<QWheelEvent*>(event)))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::installCursors() {
    struct Entry {
        int number;
        const char* resource;
        int hotX, hotY;
    };
    // The eyedroppers first, then the others, as the table is installed.
    const Entry entries[] = {
        {10, "eyedrop", 3, 28},  {11, "eyedrop3", 3, 28}, {12, "eyedrop5", 3, 28},
        {13, "eyedrop7", 3, 28}, {14, "eyedrop9", 3, 28}, {1, "default", 2, 2},
        {3, "mask", 16, 16},     {4, "handpoint", 12, 3}, {5, "cross", 16, 16},
    };
    for (const Entry& e : entries) {
        QPixmap pixmap(QStringLiteral(":/cursors/") + QString::fromLatin1(e.resource) + QStringLiteral(".png"));
        cursorTable[e.number] = pixmap.isNull() ? QCursor(Qt::ArrowCursor) : QCursor(pixmap, e.hotX, e.hotY);
    }
}

// ---------------------------------------------------------------------------- start-up

void TForm1::FormCreate() {
    installCursors();
    programFolder = options_.programFolder.isEmpty() ? QDir::currentPath() : options_.programFolder;

    double dpi = options_.dpiOverride;
    if (dpi <= 0) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    }
    displayScale = dpi == 120.0 ? 1.23f : static_cast<float>(dpi * 0.010416666666666666);

    // The layout was designed for an 8-point face (11 pixels at 96 dots per inch); the default face
    // of the desktop may be larger, which would not fit the design widths of the right column.
    QFont face = font();
    face.setPixelSize(std::max(9, static_cast<int>(11 * displayScale)));
    setFont(face);
    pageTabs->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 6px; }"));
    // All three page captions stay in view: the column widens for them rather than scroll them.
    pageTabs->setUsesScrollButtons(false);
    pageTabs->setElideMode(Qt::ElideNone);

    // The zoom track bar starts after the panel's "Zoom:", measured in the face just chosen.
    if (QLayout* zoomRow = statusPanels[1]->layout(); zoomRow && zoomRow->count() > 0) {
        if (QSpacerItem* gap = zoomRow->itemAt(0)->spacerItem()) {
            gap->changeSize(statusPanels[1]->fontMetrics().horizontalAdvance(statusPanels[1]->text()) + 10, 0,
                            QSizePolicy::Fixed, QSizePolicy::Minimum);
            zoomRow->invalidate();
        }
    }
    layoutFilterControls();
    statusPanels[0]->setFixedWidth(static_cast<int>(198 * displayScale));
    statusPanels[1]->setFixedWidth(static_cast<int>(302 * displayScale));

    Image4->setCursor(cursorTable[3]);
    Image13->setCursor(cursorTable[1]);
    Shape3->setCursor(cursorTable[1]);

    // resetProject, including the white and black points and the curve reset.
    resetProjectUi();
    Shape3->hide();

    TabbedNotebook1->setCurrentIndex(0);
    setStep3GroupsEnabled(false);
    selectToolGroup(4);
    TrackBar1Change();
    FormResize();
}

void TForm1::resetProcessControls() {
    // The white and black points, the histogram picture and the curve belong to the Step 2 page.
    resetStep2Controls();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow() {
    setWindowTitle(QString::fromLatin1(kCaption));
    if (aboutBox) aboutBox->loadPicture(displayScale);
    auto* combo1 = findChild<QComboBox*>(QStringLiteral("ComboBox1"));
    if (combo1 && combo1->count() > 2) combo1->setCurrentIndex(2);

    const SettingsRead read = readSettings(options_.settingsPath);
    applyStoredSettings(read);
    Autoalign1->setChecked(readAddedSettings(options_.settingsPath).autoAlign);
    const int language = read.keyExists ? read.values.language : 0;
    if (language == 0) English1Click();
    else if (language == 1) Polish1Click();

    if (combo1 && combo1->count() > 2) combo1->setCurrentIndex(2);
    if (aboutBox && options_.showSplash) aboutBox->showSplash();
    for (const char* name : {"ComboBox2", "ComboBox3"}) {
        if (auto* c = findChild<QComboBox*>(QString::fromLatin1(name)); c && c->count() > 2) {
            const QSignalBlocker block(c);
            c->setCurrentIndex(2);
        }
    }
    checkCompanionFiles();
}

void TForm1::applyStoredSettings(const SettingsRead& read) {
    // Values after the first bad one keep their defaults: valuesRead says how far reading got.
    const StoredSettings& v = read.values;
    if (read.valuesRead >= 2 && jpegDialog) jpegDialog->setQuality(v.jpegQuality);
    if (read.valuesRead >= 3 && tiffDialog) tiffDialog->RadioGroup1->setItemIndex(v.tiffCompression);
    if (read.valuesRead >= 4 && tiffDialog) tiffDialog->RadioGroup2->setItemIndex(v.tiffBitDepth);
    if (read.valuesRead >= 5 && CheckBox5) CheckBox5->setChecked(v.autoPreview != 0);
}

StoredSettings TForm1::currentSettings() const {
    StoredSettings s;
    s.language = Polish1->isChecked() ? 1 : 0;
    s.jpegQuality = jpegDialog ? jpegDialog->quality() : 95;
    s.tiffCompression = tiffDialog ? tiffDialog->RadioGroup1->itemIndex() : 1;
    s.tiffBitDepth = tiffDialog ? tiffDialog->RadioGroup2->itemIndex() : 0;
    s.autoPreview = CheckBox5 && CheckBox5->isChecked() ? 1 : 0;
    return s;
}

bool TForm1::checkCompanionFiles() {
    QStringList folders = options_.companionFolders;
    if (folders.isEmpty()) folders << QCoreApplication::applicationDirPath();
    bool allFound = true;
    for (const QString& name : options_.companionFiles) {
        QString found;
        for (const QString& folder : folders) {
            const QFileInfo info(QDir(folder).filePath(name));
            if (info.exists() && info.isFile()) {
                found = info.absoluteFilePath();
                break;
            }
        }
        if (found.isEmpty() && options_.searchPath) found = QStandardPaths::findExecutable(name);
        if (found.isEmpty()) {
            prompter_->showError(this, messageText(Msg::CompanionMissing, false, name));
            allFound = false;
        } else if (name == QStringLiteral("cjpeg")) {
            jpegEncoderPath = found;
        }
    }
    if (!allFound) {
        // Every missing file has had its box; the program ends when control returns to the loop.
        if (options_.endProgram) options_.endProgram(1);
        else QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
    }
    return allFound;
}

// ---------------------------------------------------------------------------- shutdown

void TForm1::Exit1Click() {
    if (jobRunning()) return;
    if (!prompter_->askYesNo(this, text(Msg::ExitNow))) return;
    // Ends at once: the settings are not written on this path.
    exiting_ = true;
    if (options_.endProgram) options_.endProgram(0);
    else QCoreApplication::exit(0);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A file is being written: the window cannot go until it is whole.
    if (besideWork_) {
        event->ignore();
        return;
    }
    // A worker still running owns the buffers; its result is part of what is asked about.
    waitForJob();
    // Work that was never saved is not thrown away without a question (File > Exit asks anyway,
    // and has asked already when it ends the program this way).
    if (!exiting_ && unsavedWork() && !prompter_->askYesNo(this, text(Msg::ExitNow))) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

bool TForm1::unsavedWork() const { return unsavedWork_ && project.exposureCount > 0; }

void TForm1::FormClose() {
    // A worker still running owns the buffers: wait for it before anything is released.
    waitForJob();
    if (!exiting_ && writeSettings(options_.settingsPath, currentSettings())) {
        AddedSettings added;
        added.autoAlign = Autoalign1->isChecked();
        writeAddedSettings(options_.settingsPath, added);
    }
    if (aboutBox) aboutBox->hide();
    if (jpegDialog) jpegDialog->hide();
    if (tiffDialog) tiffDialog->hide();
    if (colourPicker) colourPicker->hide();
}

void TForm1::waitForJob() { jobs_.wait(); }

// ---------------------------------------------------------------------------- project

void TForm1::New1Click() {
    if (jobRunning()) return;
    // The colour-sampling mode ends whatever the answer.
    samplingActive = false;
    Image4->setCursor(cursorTable[3]);
    samplingOff();
    if (!prompter_->askYesNo(this, text(Msg::NewProject))) return;
    resetProjectUi();
}

void TForm1::resetProjectUi() {
    ListBox1->clear();
    resetProject(project);
    stackChanged();
    updateSizeText();
    Image4->hide();
    Image4->clear();
    displayBitmap = DisplayBitmap();
    Panel10->resize(100, 100);
    Image4->resize(100, 100);
    Shape3->setGeometry(10, 10, 100, 100);
    Panel11->setGeometry(10, 10, 100, 100);
    Shape1->hide();
    Shape2->hide();
    Shape3->hide();
    Image13->hide();
    Panel11->hide();
    undoAvailable_ = false;
    newImagePending_ = false;
    filtersUnlocked_ = false;
    TabbedNotebook1->setCurrentIndex(0);
    Button5->setEnabled(false);
    applyCommandStates();
    Edit1->setText(QStringLiteral("1.0"));
    RadioButton1->setChecked(true);
    Edit3->setText(QStringLiteral("0"));
    Edit4->setText(QStringLiteral("0"));
    Shape3->resize(0, Shape3->height());
    Panel10->resize(0, Panel10->height());
    Panel11->resize(0, Panel11->height());
    marker = ViewGeometry{10, 10, 0, 100};
    if (auto* combo = findChild<QComboBox*>(QStringLiteral("ComboBox1")); combo && combo->count() > 2)
        combo->setCurrentIndex(2);
    resetProcessControls();
    resetMergeState();
    saveFileName.clear();
    unsavedWork_ = false;
    setWindowTitle(QString::fromLatin1(kCaption));
    image13Bitmap = DisplayBitmap();
    image14Bitmap = DisplayBitmap();
    Image13->clear();
    Image14->clear();
    setIndicator(0);
    TrackBar1Change();
}

// ---------------------------------------------------------------------------- language

void TForm1::switchLanguage(bool toPolish) {
    (toPolish ? Polish1 : English1)->setChecked(true);
    applyCaptionRows(captionTable(), languageWindows(), toPolish);
    layoutProcessModeControls();  // the controls on caption lines take their new captions' widths
    syncPageTabs();
    openDialogFilter = openFilter(toPolish);
    saveDialogFilter = saveFilter();

    if (auto* combo1 = findChild<QComboBox*>(QStringLiteral("ComboBox1"))) {
        const int selected = combo1->currentIndex();
        const QStringList items = medianShapeItems(toPolish);
        const QSignalBlocker block(combo1);
        for (int i = 0; i < items.size(); ++i) {
            if (i < combo1->count()) combo1->setItemText(i, items[i]);
            else combo1->addItem(items[i]);
        }
        combo1->setCurrentIndex(selected);
    }
    auto* combo2 = findChild<QComboBox*>(QStringLiteral("ComboBox2"));
    auto* combo3 = findChild<QComboBox*>(QStringLiteral("ComboBox3"));
    if (combo2) {
        const QSignalBlocker block(combo2);
        combo2->clear();
        combo2->addItems(samplingToolItems(toPolish));
        combo2->setCurrentIndex(2);
    }
    if (combo3 && combo2) {
        const QSignalBlocker block(combo3);
        combo3->clear();
        for (int i = 0; i < combo2->count(); ++i) combo3->addItem(combo2->itemText(i));
        combo3->setCurrentIndex(2);
    }
    updateSizeText();
    for (int i = 0; i < ListBox1->count(); ++i) setListTooltip(i);
    showSelectedExif();
    showAlignmentResidual();
    if (colourPicker) colourPicker->setLanguage(toPolish);
    setQtTranslation(toPolish);
    if (ownPrompter_) ownPrompter_->setLanguage(toPolish);
    // Captions of another length may need another column width.
    FormResize();
}

void TForm1::setQtTranslation(bool polish) {
    if (!polish) {
        if (qtTranslator_) QCoreApplication::removeTranslator(qtTranslator_.get());
        return;
    }
    if (!qtTranslator_) {
        auto translator = std::make_unique<QTranslator>();
        if (!translator->load(QLocale(QLocale::Polish), QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            qWarning("Qt's Polish texts (qtbase_pl.qm) were not found; its buttons stay in English");
            return;
        }
        qtTranslator_ = std::move(translator);
    }
    // Chosen again: taken out first, so that it is installed once.
    QCoreApplication::removeTranslator(qtTranslator_.get());
    QCoreApplication::installTranslator(qtTranslator_.get());
}

void TForm1::English1Click() { switchLanguage(false); }
void TForm1::Polish1Click() { switchLanguage(true); }

void TForm1::updateSizeText() {
    statusPanels[3]->setText(sizeText(polish(), project.imageWidth, project.imageHeight));
    if (!project.buffersAllocated) {
        memoryPanel->clear();
        memoryPanel->hide();
        return;
    }
    const std::uint64_t needed = projectNeed(project.imageWidth, project.imageHeight).bytes;
    const std::uint64_t available = availableMemory().bytes;
    memoryPanel->setText(memoryText(polish(), needed, available));
    memoryPanel->setToolTip(memoryText(polish(), needed, available, true));
    memoryPanel->show();
}

// ---------------------------------------------------------------------------- help

void TForm1::Info1Click() { openHomePage(); }

void TForm1::About2Click() {
    if (aboutBox) aboutBox->About2Click();
}

}  // namespace sv
