#pragma once

#include <QImage>
#include <QWidget>

#include "image/display_bitmap.h"

namespace sv {

// A picture control: paints a QImage stretched over its own size and reports the mouse in its own
// pixel coordinates. The image is either owned (setImage) or a view of a DisplayBitmap that
// someone else keeps alive and changes (showBitmap + update()).
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr, const QString& name = {});

    void setImage(const QImage& image);
    // Shows the bitmap's words as they stand (0x00RRGGBB); the bitmap must outlive the view or be
    // replaced by another showBitmap / setImage first.
    void showBitmap(const DisplayBitmap& bitmap);
    const QImage& image() const { return image_; }
    void clear();

    // Stretch the picture over the whole control (true) or draw it at its own size at (0, 0).
    void setStretch(bool stretch) { stretch_ = stretch; update(); }

signals:
    void mousePressed(Qt::MouseButton button, int x, int y, Qt::KeyboardModifiers modifiers);
    void mouseMoved(Qt::MouseButtons buttons, int x, int y, Qt::KeyboardModifiers modifiers);
    void mouseReleased(Qt::MouseButton button, int x, int y, Qt::KeyboardModifiers modifiers);
    void doubleClicked(int x, int y);
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QImage image_;
    bool stretch_ = true;
};

// A QImage that shares the words of a display bitmap (no copy).
QImage imageOfBitmap(const DisplayBitmap& bitmap);
// A copy of a display bitmap as an opaque 32-bit QImage.
QImage copyOfBitmap(const DisplayBitmap& bitmap);

}  // namespace sv
