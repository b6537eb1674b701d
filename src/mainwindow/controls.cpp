#include "mainwindow/controls.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QLabel>
#include <QSlider>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace sv {

ShapeBox::ShapeBox(QWidget* parent, const QString& name, Style style, QColor colour)
    : QWidget(parent), style_(style), colour_(colour) {
    setObjectName(name);
    if (style_ == Style::DottedOutline) setAttribute(Qt::WA_TranslucentBackground);
}

void ShapeBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (style_ == Style::Filled) {
        painter.fillRect(rect(), colour_);
        return;
    }
    if (width() < 1 || height() < 1) return;
    // Black and white dots along the one-pixel border: visible on any picture. Drawn as filled
    // pixels, which stay crisp at any device pixel ratio (thin pens do not).
    const int w = width(), h = height();
    auto dot = [&painter](int x, int y, bool white) { painter.fillRect(x, y, 1, 1, white ? Qt::white : Qt::black); };
    for (int x = 0; x < w; ++x) {
        dot(x, 0, (x & 1) == 0);
        dot(x, h - 1, (x & 1) == 0);
    }
    for (int y = 0; y < h; ++y) {
        dot(0, y, (y & 1) == 0);
        dot(w - 1, y, (y & 1) == 0);
    }
}

void ShapeBox::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit mousePressed(event->button(), p.x(), p.y());
}

SpinButton::SpinButton(QWidget* parent, const QString& name) : QWidget(parent) {
    setObjectName(name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    up_->setObjectName(name + QStringLiteral("Up"));
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    down_->setObjectName(name + QStringLiteral("Down"));
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFixedSize(18, 11);
        layout->addWidget(b);
    }
    connect(up_, &QToolButton::clicked, this, &SpinButton::upClicked);
    connect(down_, &QToolButton::clicked, this, &SpinButton::downClicked);
}

ToolGroup::ToolGroup(QWidget* parent, const QString& name) : QGroupBox(parent) {
    setObjectName(name);
    setMouseTracking(true);
}

void ToolGroup::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit clicked();
    QGroupBox::mousePressEvent(event);
}

void ToolGroup::mouseMoveEvent(QMouseEvent* event) {
    emit hovered();
    QGroupBox::mouseMoveEvent(event);
}

RadioGroup::RadioGroup(QWidget* parent, const QString& name, const QStringList& items) : QGroupBox(parent) {
    setObjectName(name);
    auto* layout = new QVBoxLayout(this);
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setObjectName(name + QStringLiteral("Item") + QString::number(i));
        layout->addWidget(b);
    }
}

QRadioButton* RadioGroup::item(int index) const {
    const auto items = findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
    return index >= 0 && index < items.size() ? items[index] : nullptr;
}

int RadioGroup::count() const {
    return static_cast<int>(findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly).size());
}

int RadioGroup::itemIndex() const {
    const auto items = findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
    for (int i = 0; i < items.size(); ++i)
        if (items[i]->isChecked()) return i;
    return -1;
}

void RadioGroup::setItemIndex(int index) {
    if (QRadioButton* b = item(index)) b->setChecked(true);
}

Gauge::Gauge(QWidget* parent, const QString& name) : QProgressBar(parent) {
    setObjectName(name);
    setRange(0, 100);
    setValue(0);
    setTextVisible(false);
    setFormat(QStringLiteral("%p%"));
    setAlignment(Qt::AlignCenter);
}

void Gauge::setGaugeMaximum(std::int64_t maximum) {
    if (maximum <= 0) return;  // 0 is ignored; below the minimum is refused
    maximum_ = maximum;
    progress_ = std::clamp<std::int64_t>(progress_, 0, maximum_);
    refresh();
}

void Gauge::setProgress(std::int64_t progress) {
    progress_ = std::clamp<std::int64_t>(progress, 0, maximum_);
    refresh();
}

void Gauge::setShowText(bool show) {
    if (show == showText_) return;
    showText_ = show;
    setTextVisible(show);
    if (immediate_) repaint();
}

void Gauge::refresh() {
    const int percent = static_cast<int>(progress_ * 100 / maximum_);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    ++repaints_;
    setValue(percent);
    if (immediate_) repaint();
}

QSlider* makeTrackBar(QWidget* parent, const char* name, int minimum, int maximum, int value) {
    auto* bar = new QSlider(Qt::Horizontal, parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setRange(minimum, maximum);
    bar->setValue(value);
    bar->setTickPosition(QSlider::NoTicks);
    return bar;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

void addSaveCancelRow(QWidget* dialog, QBoxLayout* layout, QPushButton*& save, QPushButton*& cancel) {
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    save = new QPushButton(QStringLiteral("Save"), dialog);
    save->setObjectName(QStringLiteral("Button2"));
    save->setDefault(true);
    cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    cancel->setObjectName(QStringLiteral("Button1"));
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
}

void showCentredOnScreen(QWidget* dialog) {
    dialog->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        dialog->move(screen->availableGeometry().center() - dialog->rect().center());
    dialog->show();
    dialog->raise();
}

}  // namespace sv
