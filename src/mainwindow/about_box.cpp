#include "mainwindow/about_box.h"

#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QUrl>

// The picture lives in a static library's resources, which the linker would otherwise drop.
static void initAboutResources() { Q_INIT_RESOURCE(about); }

namespace sv {

TForm2::TForm2(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    initAboutResources();
    setObjectName("TForm2");
    setWindowTitle("Sombrel Varno");
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->move(0, 0);
    Image1->installEventFilter(this);
    resize(324, 288);

    // The timer runs from creation: the splash shown at start is hidden by its first tick.
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(2200);
    connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);
    Timer1->start();
}

void TForm2::loadPicture(double displayScale) {
    (void)displayScale;  // the picture is drawn at its own size; Qt scales logical pixels itself
    QPixmap picture(QStringLiteral(":/about/about.jpg"));
    Image1->setPixmap(picture);
    Image1->resize(picture.size());
    // The box is exactly the picture: no border, no margin.
    resize(picture.size());
}

void TForm2::centreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void TForm2::showSplash() {
    centreOnScreen();
    show();
    raise();
}

void TForm2::About2Click() {
    centreOnScreen();
    show();
    raise();
    activateWindow();
}

void TForm2::Image1Click() {
    // During the splash a click does nothing: the splash belongs to the timer.
    if (!splash_) hide();
}

void TForm2::Timer1Timer() {
    if (splash_) {
        hide();
        splash_ = false;
    }
}

void TForm2::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        Image1Click();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    // Taking the press makes the picture the receiver of the release: that is the click.
    if (watched == Image1 && event->type() == QEvent::MouseButtonPress) return true;
    if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton && Image1->rect().contains(me->position().toPoint())) {
            Image1Click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool openHomePage() { return QDesktopServices::openUrl(QUrl(QString::fromLatin1(kHomePageUrl))); }

}  // namespace sv
