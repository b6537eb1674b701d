#pragma once

#include <QColor>
#include <QFrame>
#include <QPoint>
#include <QString>

namespace sv {

// A flat panel filled with one colour: the sample, target and swatch panels of the colour tools.
// It reports clicks and double clicks, can start a drag of itself, and reports other panels
// dragged over it (the drag carries the source panel's object name).
class ColourPanel : public QFrame {
    Q_OBJECT
public:
    explicit ColourPanel(QWidget* parent = nullptr);

    QColor colour() const { return colour_; }
    void setColour(const QColor& colour);

    // Panels that may be dragged (the sample panels) start a drag when moved with the left
    // button held; others ignore it.
    void setDraggable(bool draggable) { draggable_ = draggable; }
    // Panels that accept other panels being dragged over them.
    void setDropTarget(bool accepts) { setAcceptDrops(accepts); }

    // Starts a drag of this panel (blocks in the toolkit's drag loop until dropped).
    void startColourDrag();

    static constexpr const char* kMimeType = "application/x-sombrel-colour-panel";

signals:
    void clicked();
    void doubleClicked();
    // Another panel, named by its object name, is being dragged over this one.
    void draggedOver(const QString& sourceName);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QColor colour_{0, 0, 0};
    bool draggable_ = false;
    bool pressed_ = false;
    QPoint pressPos_;
};

}  // namespace sv
