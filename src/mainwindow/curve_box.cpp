#include "mainwindow/curve_box.h"

#include <QMouseEvent>
#include <QPainter>

namespace sv {

QImage imageFromDisplayBitmap(const DisplayBitmap& bitmap) {
    QImage image(bitmap.width(), bitmap.height(), QImage::Format_RGB32);
    for (int y = 0; y < bitmap.height(); ++y) {
        const std::uint32_t* src = bitmap.row(y);
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < bitmap.width(); ++x) dst[x] = 0xFF000000u | src[x];
    }
    return image;
}

CurveBox::CurveBox(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);  // hover highlights a point without a button held
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CurveBox::setPicture(const DisplayBitmap& picture) {
    picture_ = imageFromDisplayBitmap(picture);
    ++redraws_;
    update();
}

void CurveBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (!picture_.isNull()) p.drawImage(rect(), picture_);  // stretched to the control
}

void CurveBox::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (onMouseDown) onMouseDown(pos.x(), pos.y());
}

void CurveBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (onMouseMove) onMouseMove(pos.x(), pos.y());
}

void CurveBox::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (onMouseUp) onMouseUp(pos.x(), pos.y());
}

}  // namespace sv
