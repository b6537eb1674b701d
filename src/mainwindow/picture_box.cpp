#include "mainwindow/picture_box.h"

#include <QMouseEvent>
#include <QPainter>

namespace sv {

PictureBox::PictureBox(QWidget* parent, const QString& name) : QWidget(parent) {
    if (!name.isEmpty()) setObjectName(name);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PictureBox::setImage(const QImage& image) {
    image_ = image;
    update();
}

void PictureBox::showBitmap(const DisplayBitmap& bitmap) { setImage(imageOfBitmap(bitmap)); }

void PictureBox::clear() { setImage(QImage()); }

void PictureBox::paintEvent(QPaintEvent*) {
    if (image_.isNull()) return;
    QPainter painter(this);
    if (stretch_) {
        painter.drawImage(rect(), image_);
    } else {
        painter.drawImage(0, 0, image_);
    }
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit mousePressed(event->button(), p.x(), p.y(), event->modifiers());
    if (event->button() == Qt::LeftButton) emit clicked();
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit mouseMoved(event->buttons(), p.x(), p.y(), event->modifiers());
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit mouseReleased(event->button(), p.x(), p.y(), event->modifiers());
}

void PictureBox::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    emit doubleClicked(p.x(), p.y());
}

QImage imageOfBitmap(const DisplayBitmap& bitmap) {
    if (bitmap.empty()) return {};
    // RGB32 ignores the top byte when drawing, so the bitmap's 0 there is harmless.
    return QImage(reinterpret_cast<const uchar*>(bitmap.data()), bitmap.width(), bitmap.height(),
                  static_cast<qsizetype>(bitmap.width()) * 4, QImage::Format_RGB32);
}

QImage copyOfBitmap(const DisplayBitmap& bitmap) {
    if (bitmap.empty()) return {};
    QImage out(bitmap.width(), bitmap.height(), QImage::Format_RGB32);
    for (int y = 0; y < bitmap.height(); ++y) {
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
        const std::uint32_t* src = bitmap.row(y);
        for (int x = 0; x < bitmap.width(); ++x) dst[x] = 0xFF000000u | (src[x] & 0x00FFFFFFu);
    }
    return out;
}

}  // namespace sv
