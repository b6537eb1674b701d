#pragma once

#include <QColor>
#include <QGroupBox>
#include <QProgressBar>
#include <QWidget>

#include <cstdint>

class QToolButton;
class QRadioButton;
class QPushButton;
class QSlider;
class QLabel;
class QBoxLayout;

namespace sv {

// A shape control: a filled rectangle, or a dotted outline with a transparent inside.
class ShapeBox : public QWidget {
    Q_OBJECT
public:
    enum class Style { Filled, DottedOutline };
    ShapeBox(QWidget* parent, const QString& name, Style style, QColor colour = Qt::black);

signals:
    void mousePressed(Qt::MouseButton button, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    Style style_;
    QColor colour_;
};

// Two small arrow buttons, up and down, that step a value kept elsewhere.
class SpinButton : public QWidget {
    Q_OBJECT
public:
    SpinButton(QWidget* parent, const QString& name);
    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

signals:
    void upClicked();
    void downClicked();

private:
    QToolButton* up_;
    QToolButton* down_;
};

// A group frame that reports clicks and mouse moves over itself (the Step 3 accordion).
class ToolGroup : public QGroupBox {
    Q_OBJECT
public:
    ToolGroup(QWidget* parent, const QString& name);

signals:
    void clicked();
    void hovered();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
};

// A captioned group of radio buttons with one item index.
class RadioGroup : public QGroupBox {
    Q_OBJECT
public:
    RadioGroup(QWidget* parent, const QString& name, const QStringList& items);
    int itemIndex() const;
    void setItemIndex(int index);
    QRadioButton* item(int index) const;
    int count() const;
};

// The progress gauge: maximum = passes x rows, the progress clamped into [0, maximum], a
// percentage text that can be switched off. It repaints only when the whole-number percentage
// changes, and a maximum of 0 (or less) is ignored, keeping the previous one.
class Gauge : public QProgressBar {
    Q_OBJECT
public:
    Gauge(QWidget* parent, const QString& name);

    void setGaugeMaximum(std::int64_t maximum);
    void setProgress(std::int64_t progress);
    void addProgress(std::int64_t steps) { setProgress(progress_ + steps); }
    void setShowText(bool show);

    std::int64_t gaugeMaximum() const { return maximum_; }
    std::int64_t progress() const { return progress_; }
    bool showText() const { return showText_; }
    int percent() const { return shownPercent_; }
    // How many times a change of the percentage asked for a repaint (for tests).
    int repaintCount() const { return repaints_; }

    // Whether the gauge paints itself at once (the UI thread is busy in a long loop) or waits for
    // the event loop.
    void setImmediateRepaint(bool immediate) { immediate_ = immediate; }

private:
    void refresh();

    std::int64_t maximum_ = 100;
    std::int64_t progress_ = 0;
    bool showText_ = false;
    int shownPercent_ = 0;
    int repaints_ = 0;
    bool immediate_ = false;
};

// A horizontal track bar and a label, named as their controls, as the pages build them.
QSlider* makeTrackBar(QWidget* parent, const char* name, int minimum, int maximum, int value);
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text);

// The "Save" (default) and "Cancel" buttons at the foot of a save dialog, right-aligned.
void addSaveCancelRow(QWidget* dialog, QBoxLayout* layout, QPushButton*& save, QPushButton*& cancel);
// Sizes a dialog to its contents, centres it on the screen and shows it without blocking.
void showCentredOnScreen(QWidget* dialog);

}  // namespace sv
