#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

#include "image/display_bitmap.h"

namespace sv {

// The curve editor's box (Image1 of "Curve adjust"): shows the picture the tone curve draws and
// hands the mouse on in box pixels (Y from the top). It computes nothing itself.
class CurveBox : public QWidget {
    Q_OBJECT
public:
    explicit CurveBox(QWidget* parent = nullptr);

    // Shows a new picture of the box; counts the redraws (a hover that changes nothing must not
    // rebuild the curve, and the count shows it).
    void setPicture(const DisplayBitmap& picture);
    const QImage& picture() const { return picture_; }
    int redrawCount() const { return redraws_; }

    std::function<void(int, int)> onMouseDown;
    std::function<void(int, int)> onMouseMove;
    std::function<void(int, int)> onMouseUp;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage picture_;
    int redraws_ = 0;
};

// A DisplayBitmap (0x00RRGGBB words) as an opaque QImage of the same size.
QImage imageFromDisplayBitmap(const DisplayBitmap& bitmap);

}  // namespace sv
