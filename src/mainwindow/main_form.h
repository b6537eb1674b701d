#pragma once

#include <QMainWindow>
#include <QCursor>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>

#include "image/display_bitmap.h"
#include "image/progress.h"
#include "imagefiles/exif_metadata.h"
#include "mainwindow/jobs.h"
#include "mainwindow/language_tables.h"
#include "mainwindow/settings.h"
#include "operations/command_states.h"
#include "operations/recipe.h"
#include "stack/alignment_view.h"
#include "image/messages.h"
#include "stack/auto_align.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"
#include "stack/project.h"
#include "tone/colour_balance.h"
#include "tone/exposure_fusion.h"
#include "tone/local_contrast.h"
#include "tone/render.h"
#include "tone/tone_curve.h"

class QAction;
class QActionGroup;
class QCheckBox;
class QComboBox;
class QBoxLayout;
class QFrame;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSlider;
class QStatusBar;
class QTabBar;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;
class QTranslator;
class QWheelEvent;

namespace sv {

class ColourPanel;
class CurveBox;
class Gauge;
class PictureBox;
class Prompter;
class QtPrompter;
class ShapeBox;
class SpinButton;
class ToolGroup;
class TForm2;
class TForm5;
class PngSaveDialog;
class TForm14;
class TOKBottomDlg;

// What the program entry (or a test) hands the main window.
struct FormOptions {
    Prompter* prompter = nullptr;   // not owned; nullptr: real message boxes and dialogs
    QString settingsPath;           // the INI store; empty: the per-user default
    QString programFolder;          // empty: the current directory
    // Folders searched for the companion programs before PATH; empty: the program's own folder.
    QStringList companionFolders;
    QStringList companionFiles = {QStringLiteral("cjpeg")};
    bool searchPath = true;         // also look on PATH
    double dpiOverride = 0;         // > 0: use instead of the screen's logical dots per inch
    bool showSplash = true;
    // Ends the program (File > Exit, missing companion file); empty: QCoreApplication::exit.
    std::function<void(int)> endProgram;
};

// The main window: the picture area on the left, the three workflow pages on the right.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(const FormOptions& options = {});
    ~TForm1() override;

    // The four small windows, created by the program entry after the main window.
    void setSecondaryWindows(TForm2* about, TOKBottomDlg* jpegDialog, TForm5* tiffDialog, TForm14* picker);

    // ------------------------------------------------------------------ project state
    Project project;
    DisplayBitmap displayBitmap;   // the bitmap of Image4
    DisplayBitmap image14Bitmap;   // the new image's part under the marker (Image14)
    DisplayBitmap image13Bitmap;   // what the alignment view shows
    AlignmentMeasures alignment;   // meanDifference, bestMeanDifference, differenceThreshold
    ViewGeometry marker{10, 10, 100, 100};  // Shape3 as placed (may be negative while drawn)
    float displayScale = 1.0f;
    QString programFolder;
    std::map<int, QCursor> cursorTable;

    // Save state
    QString saveFileName;
    bool askBeforeOverwrite = false;
    int saveFilterIndex = 1;       // 1 TIFF, 2 JPEG, 3 BMP, 4 PNG
    int hdrFilterIndex = 1;        // Save HDR as: 1 EXR float, 2 EXR half, 3 Radiance, 4 float TIFF, 5 PFM
    QString saveDefaultExtension = QStringLiteral("*.tif");
    QString saveDialogFilter;      // set by the language switch
    QString openDialogFilter;      // set by the language switch
    QString jpegEncoderPath;       // cjpeg found at start

    // Step 3 accordion
    std::array<bool, 6> expanded{{false, false, false, false, true, false}};
    std::array<bool, 6> hover{};
    static constexpr std::array<int, 6> kExpandedHeights{{120, 120, 152, 145, 152, 200}};

    // Preview throttle (Timer1 and autoPreview)
    int throttleCounter = 0;
    bool previewAllowed = false;

    // Last render's histogram (drawn by the Step 2 page).
    RenderHistogram histogramData;

    // Colour sampling mode of Step 3 (the marking of Image4 is off while it is set).
    bool samplingActive = false;

    // ------------------------------------------------------------------ controls
    // Menus
    QMenu* File = nullptr;
    QAction* New1 = nullptr;
    QAction* Openimage1 = nullptr;
    QAction* Addimage1 = nullptr;
    QAction* Save1 = nullptr;
    QAction* Saveas1 = nullptr;
    QAction* SaveHdr1 = nullptr;          // the merged HDR itself, for other programs
    QAction* SaveRecipe1 = nullptr;       // the choices after opening, for another bracket
    QAction* LoadRecipe1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Edit2 = nullptr;
    QAction* Undo1 = nullptr;
    QAction* Copy1 = nullptr;
    QAction* Autoalign1 = nullptr;        // "Align new images automatically" (check item)
    QMenu* Language1 = nullptr;
    QAction* Polish1 = nullptr;
    QAction* English1 = nullptr;
    QActionGroup* languageGroup = nullptr;
    QMenu* Help1 = nullptr;
    QAction* Info1 = nullptr;
    QAction* About2 = nullptr;
    // Tool bar
    QToolBar* ToolBar1 = nullptr;
    QToolButton* ToolButton1 = nullptr;   // New
    QToolButton* ToolButton2 = nullptr;   // Open
    QToolButton* ToolButton12 = nullptr;  // Add
    QToolButton* ToolButton4 = nullptr;   // Save
    QToolButton* ToolButton5 = nullptr;   // Save as
    QToolButton* ToolButton3 = nullptr;   // Copy
    QToolButton* ToolButton9 = nullptr;   // Refresh
    QToolButton* ToolButton6 = nullptr;   // Undo
    // Picture area
    QScrollArea* ScrollBox1 = nullptr;
    QWidget* pictureCanvas = nullptr;     // the scrolled content of ScrollBox1
    ShapeBox* Shape2 = nullptr;
    ShapeBox* Shape1 = nullptr;
    QWidget* Panel10 = nullptr;
    PictureBox* Image4 = nullptr;
    ShapeBox* Shape3 = nullptr;
    QFrame* Panel11 = nullptr;
    PictureBox* Image13 = nullptr;
    // Right-hand column and pages
    QWidget* rightColumn = nullptr;       // the page tabs above ScrollBox2
    QTabBar* pageTabs = nullptr;          // the tabs shown for TabbedNotebook1's pages
    QScrollArea* ScrollBox2 = nullptr;
    QTabWidget* TabbedNotebook1 = nullptr;
    // Status bar
    QStatusBar* StatusBar1 = nullptr;
    std::array<QLabel*, 4> statusPanels{};  // panel 0..3 (the texts of panels 1..3)
    QLabel* memoryPanel = nullptr;  // what the open project needs of memory, and what is available
    QLabel* exifPanel = nullptr;          // the EXIF of the exposure selected in Step 1
    QWidget* Panel9 = nullptr;
    Gauge* CGauge1 = nullptr;
    QSlider* TrackBar1 = nullptr;
    QPushButton* Button25 = nullptr;      // "1:1"
    QPushButton* Button26 = nullptr;      // "< >"
    QTimer* Timer1 = nullptr;

    // Step 1: Load
    ToolGroup* GroupBox1 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QPushButton* Button4 = nullptr;       // Open
    QPushButton* Button3 = nullptr;       // Add
    QPushButton* Button9 = nullptr;       // Remove
    QLabel* Label4 = nullptr;             // hidden multiplier controls
    QLineEdit* Edit1 = nullptr;
    SpinButton* CSpinButton1 = nullptr;
    QPushButton* Button5 = nullptr;       // "Mark on image", hidden
    ToolGroup* GroupBox3 = nullptr;
    QLabel* Label27 = nullptr;
    QLabel* Label10 = nullptr;
    QLineEdit* Edit3 = nullptr;
    SpinButton* CSpinButton2 = nullptr;
    QLabel* Label25 = nullptr;
    QLineEdit* Edit4 = nullptr;
    SpinButton* CSpinButton3 = nullptr;
    QLabel* Label26 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
    QRadioButton* RadioButton3 = nullptr;
    QLabel* Label34 = nullptr;
    PictureBox* Image15 = nullptr;        // best so far
    PictureBox* Image16 = nullptr;        // worse than at the last tick
    PictureBox* Image17 = nullptr;        // not worse, not the best
    PictureBox* Image14 = nullptr;        // hidden holder of the new image's part
    // Automatic alignment and ghost removal
    QPushButton* Button27 = nullptr;      // "Align": the suggested shift into Offset X/Y
    QRadioButton* RadioButton4 = nullptr; // "Ghosts": the ghost mask over the stack picture
    QCheckBox* CheckBox6 = nullptr;       // "Remove ghosts"
    QLabel* Label45 = nullptr;            // "Strength:"
    QSlider* TrackBar16 = nullptr;        // ghost strength 0..100
    QLabel* Label46 = nullptr;            // its value
    QLabel* alignmentStatus = nullptr;    // status bar panel 4: the last suggestion's residual
    GhostRemovalState ghosts;             // plain stack and mask while "Remove ghosts" is ticked
    DisplayBitmap ghostBitmap;            // what the Ghosts view shows in Image4

    // Step 2 and Step 3 frames and the controls the window's own rules use (built by
    // buildProcessPage / buildFilterPage).
    ToolGroup* GroupBox2 = nullptr;       // "Curve adjust"
    ToolGroup* GroupBox6 = nullptr;       // "Tone mapping"
    ToolGroup* GroupBox5 = nullptr;       // Preview / Auto / Process all
    QPushButton* Button1 = nullptr;       // Preview
    QCheckBox* CheckBox5 = nullptr;       // Auto
    QPushButton* Button2 = nullptr;       // Process all
    ToolGroup* GroupBox4 = nullptr;       // histogram
    ToolGroup* GroupBox12 = nullptr;      // Refresh / Undo
    QPushButton* Button16 = nullptr;      // Refresh
    QPushButton* Button17 = nullptr;      // Undo
    QLabel* Panel21 = nullptr;            // "Image filtering"
    ToolGroup* GroupBox8 = nullptr;       // Gaussian blur
    ToolGroup* GroupBox11 = nullptr;      // Sharpen
    ToolGroup* GroupBox9 = nullptr;       // Median filter
    ToolGroup* GroupBox10 = nullptr;      // Bilateral filter
    QLabel* Panel22 = nullptr;            // "Color adjust"
    ToolGroup* GroupBox17 = nullptr;      // Neutral point
    ToolGroup* GroupBox16 = nullptr;      // Sample/target balance
    ToolGroup* GroupBox15 = nullptr;      // empty, below the tools
    std::array<ToolGroup*, 6> toolGroups{};  // accordion order: 8, 11, 9, 10, 17, 16

    // --- Step 2: Process controls ---
    std::unique_ptr<ToneCurve> toneCurve;  // the curve editor's points, mode and table
    // "Curve adjust"
    QFrame* Panel13 = nullptr;             // holds the box, framed (Shape4)
    CurveBox* Image1 = nullptr;            // the curve box
    QFrame* Panel1 = nullptr;              // input axis ramp
    PictureBox* Image5 = nullptr;
    QFrame* Panel2 = nullptr;              // output axis ramp
    PictureBox* Image2 = nullptr;
    QLabel* Label16 = nullptr;             // "x = 0"
    QLabel* Label17 = nullptr;             // "y = 0"
    QToolButton* SpeedButton1 = nullptr;   // smooth
    QToolButton* SpeedButton2 = nullptr;   // linear
    QToolButton* SpeedButton4 = nullptr;   // one point more
    QToolButton* SpeedButton3 = nullptr;   // one point less
    QPushButton* Button8 = nullptr;        // Reset
    // "Tone mapping"
    QLabel* Label22 = nullptr;             // "Gamma:"
    QSlider* TrackBar11 = nullptr;
    QLabel* Label24 = nullptr;
    QLabel* Label21 = nullptr;             // "Saturation:"
    QSlider* TrackBar10 = nullptr;
    QLabel* Label23 = nullptr;
    // "Histogram, white && black point"
    QSlider* TrackBar12 = nullptr;         // white point
    QFrame* Shape5 = nullptr;              // frame of the histogram
    PictureBox* Image3 = nullptr;          // the histogram
    QFrame* Shape12 = nullptr;             // white-point marker
    QFrame* Shape11 = nullptr;             // black-point marker
    QSlider* TrackBar13 = nullptr;         // black point
    QFrame* Panel3 = nullptr;
    PictureBox* Image10 = nullptr;         // grey ramp under the histogram

    void buildProcessControls();
    void layoutProcessControls();
    void TrackBar11Change();
    void TrackBar10Change();
    void TrackBar12Change();
    void TrackBar13Change();
    void Button8Click();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void Image1MouseDown(int X, int Y);
    void Image1MouseMove(int X, int Y);
    void Image1MouseUp(int X, int Y);
    void rebuildCurve();                   // the table is rebuilt by the curve; this redraws the box
    void placePointMarkers();
    bool automaticPreviewAllowed() const;  // "Auto" ticked, no job, a stack exists

    // The way of processing: the tone curve's render or exposure fusion (Preview, "Auto" and
    // "Process all" follow the choice; the histogram and the points work on either result).
    QWidget* ToneModeRow = nullptr;
    QRadioButton* RadioButtonToneCurve = nullptr;
    QRadioButton* RadioButtonFusion = nullptr;
    // Exposure fusion: the three weights, in the order of kFusionParameters.
    ToolGroup* GroupBoxFusion = nullptr;
    std::array<QLabel*, 3> fusionCaptions{};
    std::array<QSlider*, 3> fusionBars{};
    std::array<QLabel*, 3> fusionValues{};
    // Local contrast before the render: the check on the tone mapping group's caption line turns
    // it on and shows its group, with the three settings in the order of kLocalContrastParameters.
    QCheckBox* CheckBoxLocalContrast = nullptr;
    ToolGroup* GroupBoxLocalContrast = nullptr;
    std::array<QLabel*, 3> localCaptions{};
    std::array<QSlider*, 3> localBars{};
    std::array<QLabel*, 3> localValues{};
    // Kept between jobs: the fusion's kept exposures and last preview, and the local contrast
    // model of the whole stack. A running job owns them; the window drops them when the stack
    // changes.
    FusionPreviewCache fusionCache;
    std::shared_ptr<const LocalContrastModel> localContrastModel;

    void buildProcessModeControls(QWidget* page);
    void layoutProcessModeControls();
    bool fusionMode() const;               // "Fusion" is chosen
    void ToneModeChange();
    void fusionWeightChange(int index);
    void localContrastChange(int index);   // -1: the on/off check
    FusionParams fusionSnapshot() const;
    LocalContrastParams localContrastSnapshot() const;
    // The stack was built anew, added to or taken from: what was kept for it no longer holds.
    void stackChanged();
    // --- end Step 2 ---

    // --- Step 3: Filter controls ---
    // Gaussian blur
    QLabel* Label6 = nullptr;              // "Opacity"
    QSlider* TrackBar4 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* Label7 = nullptr;              // "Sigma"
    QSlider* TrackBar5 = nullptr;
    QLabel* Label9 = nullptr;
    PictureBox* Image7 = nullptr;
    QPushButton* Button10 = nullptr;       // Preview
    QPushButton* Button7 = nullptr;        // Apply
    // Sharpen
    QLabel* Label1 = nullptr;              // "Amount"
    QSlider* TrackBar2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label11 = nullptr;             // "Sigma"
    QSlider* TrackBar3 = nullptr;
    QLabel* Label5 = nullptr;
    PictureBox* Image6 = nullptr;
    QPushButton* Button12 = nullptr;
    QPushButton* Button6 = nullptr;
    // Median filter
    QLabel* Label28 = nullptr;             // "Opacity"
    QSlider* TrackBar14 = nullptr;
    QLabel* Label30 = nullptr;
    QLabel* Label33 = nullptr;             // "Threshold"
    QSlider* TrackBar15 = nullptr;
    QLabel* Label35 = nullptr;
    QComboBox* ComboBox1 = nullptr;        // shape
    QSlider* TrackBar6 = nullptr;          // size
    QLabel* Label12 = nullptr;
    PictureBox* Image11 = nullptr;
    QPushButton* Button14 = nullptr;
    QPushButton* Button11 = nullptr;
    // Bilateral filter
    QLabel* Label13 = nullptr;             // "Opacity"
    QSlider* TrackBar7 = nullptr;
    QLabel* Label15 = nullptr;
    QLabel* Label29 = nullptr;             // "Sigma"
    QSlider* TrackBar8 = nullptr;
    QLabel* Label18 = nullptr;
    QLabel* Label19 = nullptr;             // "Threshold"
    QSlider* TrackBar9 = nullptr;
    QLabel* Label20 = nullptr;
    PictureBox* Image8 = nullptr;          // spatial kernel
    PictureBox* Image9 = nullptr;          // range curve
    QPushButton* Button15 = nullptr;
    QPushButton* Button13 = nullptr;
    // Neutral point (white balance)
    QLabel* Label43 = nullptr;             // "Sample"
    QLabel* Label44 = nullptr;             // "Target"
    QFrame* Panel25 = nullptr;
    PictureBox* Image12 = nullptr;         // eyedropper, slot 0
    QLabel* Label40 = nullptr;             // "Global"
    ColourPanel* Panel20 = nullptr;        // sample
    ColourPanel* Panel23 = nullptr;        // target grey
    QLabel* Label41 = nullptr;             // "Sampling tool"
    QComboBox* ComboBox2 = nullptr;
    QPushButton* Button24 = nullptr;
    QPushButton* Button23 = nullptr;
    // Sample/target balance
    QLabel* Label38 = nullptr;             // "Sample"
    QLabel* Label39 = nullptr;             // "Target"
    QCheckBox* CheckBox2 = nullptr;        // Shadows
    QCheckBox* CheckBox3 = nullptr;        // Midtones
    QCheckBox* CheckBox4 = nullptr;        // Highlights
    QFrame* Panel26 = nullptr;
    QFrame* Panel27 = nullptr;
    QFrame* Panel28 = nullptr;
    PictureBox* Image20 = nullptr;         // eyedroppers, slots 1..3
    PictureBox* Image21 = nullptr;
    PictureBox* Image22 = nullptr;
    ColourPanel* Panel14 = nullptr;        // samples
    ColourPanel* Panel15 = nullptr;
    ColourPanel* Panel18 = nullptr;
    ColourPanel* Panel17 = nullptr;        // targets
    ColourPanel* Panel16 = nullptr;
    ColourPanel* Panel19 = nullptr;
    QLabel* Label42 = nullptr;             // "Sampling tool"
    QComboBox* ComboBox3 = nullptr;
    QPushButton* Button22 = nullptr;
    QPushButton* Button21 = nullptr;
    // Colour sampling state: slot 0 the neutral point, 1..3 Shadows, Midtones, Highlights.
    std::array<Rgb, 4> sampleColours{};
    int samplingSlot = 0;
    bool shape3HiddenBySampling = false;   // the eyedropper hid the preview rectangle

    void buildFilterControls();
    void layoutFilterControls();   // places the Step 3 controls for the display scale
    void TrackBar4Change();   // blur (opacity and sigma)
    void TrackBar2Change();   // sharpen (amount and sigma)
    void TrackBar6Change();   // median shape and size
    void TrackBar14Change();  // median opacity
    void TrackBar15Change();  // median threshold
    void TrackBar7Change();   // bilateral opacity and sigma
    void TrackBar9Change();   // bilateral threshold
    void startFilterJob(JobKind kind);
    // The positions of the controls the descriptors name (track bars, combo boxes), by key.
    ParameterValues controlValues(ParameterList parameters) const;
    void eyedropperDown(int slot);
    void ComboBox2Change();
    void ComboBox3Change();
    // A sample at the view position (X, Y) of Image4 while sampling is on.
    void sampleAt(int X, int Y);
    void samplePanelDoubleClick(int row);
    void samplePanelDragOver(int row, const QString& sourceName);
    void targetPanelClick(int row);
    ColourPanel* samplePanel(int row) const;   // row 1..3
    ColourPanel* targetPanel(int row) const;   // row 1..3
    // --- end Step 3 ---

    // Secondary windows
    TForm2* aboutBox = nullptr;
    TOKBottomDlg* jpegDialog = nullptr;
    TForm5* tiffDialog = nullptr;
    TForm14* colourPicker = nullptr;
    PngSaveDialog* pngDialog = nullptr;   // owned by the main window

    // ------------------------------------------------------------------ queries
    bool polish() const;                  // the Polish menu item is checked
    bool jobRunning() const;              // the page control is disabled
    bool newImagePending() const;         // Add is enabled
    int zoom() const;                     // TrackBar1 position, 1..40
    QString statusPanelText(int panel) const;
    QString caption() const { return windowTitle(); }
    Prompter& prompter() { return *prompter_; }
    JobRunner& jobs() { return jobs_; }
    ProgressSink& gaugeSink();            // drives CGauge1 directly (UI thread work)
    // The message of `id` in the language in force now.
    QString text(Msg id, const QString& detail = {}) const;

    static constexpr const char* kCaption = "Sombrel Varno (freeware)";

    // ------------------------------------------------------------------ background jobs
    // Starts `body` on the worker: disables the page control, the tool bar, the File menu, the
    // Undo controls and the job's extra controls, and returns at once. Apply jobs copy
    // processedCopy into processedBuffer after the body. The Timer1 tick that sees the job's flag
    // draws the result and makes the window live again.
    bool startJob(JobKind kind, JobRunner::Body body);
    // The render of the stack over a region with the Step 2 controls as they stand now (in fusion
    // mode: the fusion of the exposures there, then the white and black points).
    JobRunner::Body makeRenderJob(const Region& region);
    JobRunner::Body makeFusionJob(const Region& region);
    // Step 2 snapshot of the render controls (defined by the Step 2 page).
    RenderParams renderSnapshot() const;
    // Draws the histogram of the last render (defined by the Step 2 page).
    void drawHistogram(const Region& region);
    // One-level Undo of the last Apply (defined by the Step 3 page); never runs during a job.
    void undoLastApply();
    // Refresh of Step 3 (defined by the Step 3 page).
    void refreshProcessed();
    // The automatic preview, behind the throttle.
    void autoPreview();
    // The window's restored size: the design client area scaled by displayScale.
    QSize restoredSize() const;
    // Blocks until a running worker has ended (closing, tests).
    void waitForJob();
    // White and black points, histogram picture and curve back to their start (Step 2 page).
    void resetStep2Controls();
    // Ends the colour-sampling mode of Step 3 (Step 3 page).
    void samplingOff();

    // ------------------------------------------------------------------ Step 1 helpers
    void alignmentRefresh();
    void prepareNewImagePart();
    void drawAlignmentView();
    void placeMarker();
    void takeRectAfterOpen();
    void setIndicator(int which);         // 15, 16, 17 or 0 for none
    int visibleIndicator() const;
    void setListLine(int index, bool pending);
    void updateSizeText();  // the size panel and the memory panel
    // The line's tooltip: the exposure's EXIF, in the language in force.
    void setListTooltip(int index);
    // The EXIF of the selected line in the status bar (empty when no line is selected).
    void showSelectedExif();
    // The EXIF of exposure `index` in the language in force: each value named, one a line; or,
    // `compact`, the values alone on one line (the status bar).
    QString exifText(int index, bool compact) const;
    // Automatic alignment and ghost removal (page_load_merge.cpp)
    void buildMergeControls(QGridLayout* alignGrid, QBoxLayout* pageBox);
    bool startAlignJob(std::function<void(const AutoAlignResult&)> done);
    void applySuggestion(const AutoAlignResult& found, bool showDifference);
    // `before` runs on the UI thread when the job is done, before the controls are brought up to date.
    void startGhostJob(std::function<GhostResult(ProgressSink&)> work, std::function<void(const GhostResult&)> before = {});
    void ghostMergeFinished(const GhostResult& result);
    ExposureSource ghostSource();
    void updateMergeControls();
    void showAlignmentResidual();          // the status panel in the language in force (none: hidden)
    float alignmentResidual = -1.0f;       // of the last suggestion; < 0: none
    void drawGhostView();
    void resetMergeState();
    // Aligns the opened file on the worker while the window stays live, and returns once the
    // suggestion is in (false: the job could not finish, and the open ends).
    bool alignOpenedFile(bool showDifference);

    // Saving. A failure is shown in a box whose parent is `messageParent` (the options dialog
    // that asked for the write), or the main window; success puts the name in the caption.
    bool writeTiffFile(const QString& fileName, int bits, int compressionIndex, QWidget* messageParent = nullptr,
                       bool metadata = false);
    bool writeBmpFile(const QString& fileName, QWidget* messageParent = nullptr);
    bool writeJpegFile(const QString& fileName, int quality, QWidget* messageParent = nullptr, bool metadata = true);
    // 8 bits from the display bitmap, 16 from the processed picture.
    bool writePngFile(const QString& fileName, int bits, bool metadata, QWidget* messageParent = nullptr);
    // The merged stack divided by stackMax; `filterIndex` is the entry of hdrSaveFilter.
    bool writeHdrFile(const QString& fileName, int filterIndex);
    // The first exposure's EXIF and the sRGB profile for an output of width x height.
    OutputMetadata keptMetadata(int width, int height) const;
    void savedAs(const QString& fileName);
    static bool wouldOverwrite(const QString& fileName);
    void showWriteFailure(QWidget* messageParent, const QString& message);
    QString writeFailedText(const QString& fileName, const Message& failure) const;

    // Unsaved work: the project holds pictures and the stack or the processed picture changed
    // since the last successful save (or nothing was saved yet). Closing the window asks first.
    bool unsavedWork() const;
    void markUnsaved() { unsavedWork_ = true; }
    // Every successful write of the picture calls this.
    void workSaved() { unsavedWork_ = false; }

    // ------------------------------------------------------------------ recipes (recipes.cpp)
    // What a recipe saved now holds: the merge settings, the Step 2 settings of the last Process
    // all (the controls as they stand when there was none), each Apply since, the last save's options.
    Recipe recipeNow() const;
    // Save recipe / Load recipe without their dialogs; false (the message shown) when they failed.
    // Loading checks the whole file first, then runs one job: Process all with the recipe's
    // settings and each of its Applies; Undo takes all of it back.
    bool saveRecipeTo(const QString& fileName);
    bool loadRecipeFrom(const QString& fileName);

    void applyStoredSettings(const SettingsRead& read);
    StoredSettings currentSettings() const;

public slots:
    // Start-up and shutdown
    void FormCreate();
    void FormShow();
    void Exit1Click();
    void FormClose();      // the user closes the window: settings written (not after File > Exit)
    void FormDestroy();    // the worker first, then the buffers
    void FormResize();
    // Project
    void New1Click();
    void Button4Click();   // Open
    void Button3Click();   // Add
    void Button9Click();   // Remove
    void Button27Click();  // Align
    void Autoalign1Click();
    void CheckBox6Click(); // Remove ghosts on / off
    void TrackBar16Change();
    void TrackBar16Released();
    void RadioButton4Click();
    void CSpinButton1DownClick();
    void CSpinButton1UpClick();
    // Alignment
    void CSpinButton2DownClick();
    void CSpinButton2UpClick();
    void CSpinButton3DownClick();
    void CSpinButton3UpClick();
    void Edit3Change();
    void Edit4Change();
    void RadioButton1Click();
    void RadioButton2Click();
    void RadioButton3Click();
    void Button5Click();
    void Image4MouseDown(Qt::MouseButton button, int X, int Y);
    void Image4MouseMove(Qt::MouseButtons buttons, int X, int Y);
    void Image4MouseUp(Qt::MouseButton button, int X, int Y);
    void Image13MouseDown(Qt::MouseButton button, int X, int Y);
    void Image13MouseMove(Qt::MouseButtons buttons, int X, int Y);
    void Image13MouseUp(Qt::MouseButton button, int X, int Y);
    void Shape3MouseDown(Qt::MouseButton button, int X, int Y);
    // Pages
    void TabbedNotebook1Change(int index);
    void selectToolGroup(int index);
    void hoverToolGroup(int index);
    void GroupBox8Click() { selectToolGroup(0); }
    void GroupBox11Click() { selectToolGroup(1); }
    void GroupBox9Click() { selectToolGroup(2); }
    void GroupBox10Click() { selectToolGroup(3); }
    void GroupBox17Click() { selectToolGroup(4); }
    void GroupBox16Click() { selectToolGroup(5); }
    void GroupBox8MouseMove() { hoverToolGroup(0); }
    void GroupBox11MouseMove() { hoverToolGroup(1); }
    void GroupBox9MouseMove() { hoverToolGroup(2); }
    void GroupBox10MouseMove() { hoverToolGroup(3); }
    void GroupBox17MouseMove() { hoverToolGroup(4); }
    void GroupBox16MouseMove() { hoverToolGroup(5); }
    void GroupBox12MouseMove() { hoverToolGroup(-1); }  // also the picture area and GroupBox15
    // Jobs
    void Timer1Timer();
    void Button1Click();   // Preview (Step 2)
    void Button2Click();   // Process all
    void Button16Click();  // Refresh
    void Undo1Click();
    // Image view
    void TrackBar1Change();
    void Button25Click();
    void Button26Click();
    void Copy1Click();
    // Saving
    void Save1Click();
    void Saveas1Click();
    void SaveHdr1Click();
    void SaveRecipe1Click();
    void LoadRecipe1Click();
    // Language
    void English1Click();
    void Polish1Click();
    // Help
    void Info1Click();
    void About2Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void buildToolBar();
    void buildPictureArea();
    void buildStatusBar();
    void buildPages();
    void buildLoadPage(QWidget* page);
    void buildProcessPage(QWidget* page);
    void buildFilterPage(QWidget* page);
    void installCursors();
    void switchLanguage(bool toPolish);
    void setQtTranslation(bool polish);
    void syncPageTabs();
    std::vector<LanguageWindow> languageWindows() const;
    // The state of the work as the command rules read it, and those rules applied to every
    // control they name: the one place where commands, buttons and pages are enabled.
    WorkState workState() const;
    void applyCommandStates();
    void setUndoAvailable(bool available);
    void returnToRest();
    void finishStackJob(JobKind kind);
    void finishJob(JobKind kind);
    void finishFailedJob(JobKind kind);
    void copyGaugeFromJob();
    void copyGauge(const AtomicProgress& progress);
    // Runs long work (an open, a write) on a thread beside the window's, which meanwhile keeps
    // painting, keeps its timers running and shows the gauge as the work advances it; input waits
    // until it is done, and closing the window is refused meanwhile. Exceptions come back to the
    // caller.
    void runBesideWindow(const std::function<void(ProgressSink&)>& work);
    void showEngineMessage(const Message& message, bool error);
    void openFiles(const QStringList& files);
    bool autoAlignChecked() const;
    DecodeHooks openHooks();
    // Tells why a file was not opened; true when the working buffers could not be obtained and
    // the program ends.
    bool refuseOpenedFile(const OpenResult& result);
    // An opened file in the window: its picture, list line and (alone) the alignment view.
    void showOpenedPicture(OpenResult& result, bool batch);
    void afterOpened(int exposureIndexBefore, bool batch, bool firstOfProject);
    void showDisplayBitmap();
    void setProjectCommandsAfterAdd();
    void layoutCanvas();
    bool wheelZoom(QWheelEvent* event);  // Ctrl+wheel over the picture; true when it zoomed
    bool checkCompanionFiles();
    void setStep3GroupsEnabled(bool enabled);
    void showGroupContents(QWidget* group, bool show);
    void resetProjectUi();
    void resetProcessControls();

    FormOptions options_;
    std::unique_ptr<QtPrompter> ownPrompter_;
    // Qt's own texts (message box buttons, file dialogs) in Polish while Polish is chosen.
    std::unique_ptr<QTranslator> qtTranslator_;
    Prompter* prompter_ = nullptr;
    std::unique_ptr<ProgressSink> gaugeSink_;
    bool shown_ = false;
    bool exiting_ = false;
    bool besideWork_ = false;       // runBesideWindow is waiting for its work
    bool unsavedWork_ = false;
    bool marking_ = false;          // left-button drag on Image4 draws a new marker
    int markLastX = -1, markLastY = -1;
    bool viewDragging_ = false;     // right-button drag in Image13 moves the shift
    int anchorX = 0, anchorY = 0, viewLastX = -1, viewLastY = -1;
    int nextShiftX_ = 0, nextShiftY_ = 0;  // typed while no image is pending
    int wheelRemainder_ = 0;        // Ctrl+wheel turns short of a whole notch
    // The state the command rules are worked out from (see workState).
    bool newImagePending_ = false;
    bool undoAvailable_ = false;
    bool filtersUnlocked_ = false;
    RunningJob runningJob_ = RunningJob::None;
    // The project as last seen while no worker could change it: a ghost job adds, removes and
    // merges on the worker, and the controls go by the state from before until it has finished.
    int exposureCountSeen_ = 0;
    bool ghostsActiveSeen_ = false;
    // Why a job stopped, in the engine's words (a fusion's exposure that could not be read again);
    // written by the worker before its flag, shown when the job is finished.
    std::optional<Message> jobMessage_;
    JobKind runningKind_ = JobKind::ProcessAll;
    // What the window does when an alignment or ghost job has finished (UI thread).
    std::function<void()> stackJobDone_;
    std::vector<std::string> jobNotices_;  // reader notices gathered by a worker, shown after it
    // Recipes: the Step 2 settings a Process all starts with, kept once it has finished; the Apply
    // a job runs, kept in the record once it has finished; the record since the last Process all;
    // the options of the last save; and, after a recipe was loaded, what Undo brings back.
    std::optional<Recipe> pendingProcess_;
    std::optional<Recipe> processedRecipe_;
    std::optional<RecipeStep> pendingStep_;
    std::vector<RecipeStep> appliedSteps_;
    std::optional<RecipeSave> lastSave_;
    struct RecipeLoadUndo {
        std::optional<Recipe> processed;
        std::vector<RecipeStep> steps;
    };
    std::optional<Recipe> loadingRecipe_;       // the recipe the running job applies
    std::optional<RecipeLoadUndo> beforeLoad_;  // set while Undo would take a load back
    Recipe step2Recipe() const;
    void showRecipeSettings(const Recipe& recipe);
    void noteApplyStarting(JobKind kind, const std::any& params, const ParameterValues& values);
    void recordFinishedJob(JobKind kind, bool completed);
    void recordUndo();

    // Declared last: destroyed (and so joined) before the project's buffers.
    JobRunner jobs_;
};

}  // namespace sv
