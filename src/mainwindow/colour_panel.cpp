#include "mainwindow/colour_panel.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>

namespace sv {

ColourPanel::ColourPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
}

void ColourPanel::setColour(const QColor& colour) {
    if (colour_ == colour) return;
    colour_ = colour;
    update();
}

void ColourPanel::paintEvent(QPaintEvent* event) {
    {
        QPainter p(this);
        p.fillRect(contentsRect(), colour_);
    }
    QFrame::paintEvent(event);
}

void ColourPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        pressPos_ = event->position().toPoint();
    }
    QFrame::mousePressEvent(event);
}

void ColourPanel::mouseMoveEvent(QMouseEvent* event) {
    if (draggable_ && pressed_ && (event->buttons() & Qt::LeftButton) &&
        (event->position().toPoint() - pressPos_).manhattanLength() >=
            QApplication::startDragDistance()) {
        pressed_ = false;
        startColourDrag();
        return;
    }
    QFrame::mouseMoveEvent(event);
}

void ColourPanel::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = pressed_;
    pressed_ = false;
    if (event->button() == Qt::LeftButton && wasPressed && rect().contains(event->position().toPoint()))
        emit clicked();
    QFrame::mouseReleaseEvent(event);
}

void ColourPanel::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = false;
        emit doubleClicked();
        return;
    }
    QFrame::mouseDoubleClickEvent(event);
}

void ColourPanel::startColourDrag() {
    auto* drag = new QDrag(this);
    auto* mime = new QMimeData;
    mime->setData(kMimeType, objectName().toUtf8());
    mime->setColorData(colour_);
    drag->setMimeData(mime);
    QPixmap swatch(16, 16);
    swatch.fill(colour_);
    drag->setPixmap(swatch);
    drag->exec(Qt::CopyAction);
}

static QString sourceOf(const QMimeData* mime) {
    if (!mime || !mime->hasFormat(ColourPanel::kMimeType)) return {};
    return QString::fromUtf8(mime->data(ColourPanel::kMimeType));
}

// Entering is the first move over the panel: the same test, the same copy.
void ColourPanel::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

void ColourPanel::dragMoveEvent(QDragMoveEvent* event) {
    const QString source = sourceOf(event->mimeData());
    if (source.isEmpty() || source == objectName()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit draggedOver(source);
}

void ColourPanel::dropEvent(QDropEvent* event) {
    // The copy has already happened while the panel was dragged over; a drop adds nothing.
    event->acceptProposedAction();
}

}  // namespace sv
