#pragma once

#include <QWidget>

class QLabel;
class QTimer;

namespace sv {

// The About box. It doubles as the splash picture at start: the splash goes away with the first
// tick of its timer and ignores clicks; shown later from Help > About it stays until clicked.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    // Loads our picture into Image1, sizes the picture control to it and the box to the picture
    // (the main window does this when it is first shown).
    void loadPicture(double displayScale);
    // Shows the box in the middle of the screen as the start-up splash (splash flag untouched).
    void showSplash();
    // Help > About: the same picture, closed by a click.
    void About2Click();

    bool splash() const { return splash_; }

    QLabel* Image1 = nullptr;
    QTimer* Timer1 = nullptr;

public slots:
    void Image1Click();
    void Timer1Timer();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Escape closes the box as a click does (not the splash, which belongs to its timer).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void centreOnScreen();
    bool splash_ = true;
};

// The product's web page, opened by Help > Home page in the default browser.
inline constexpr const char* kHomePageUrl = "https://sombrel-varno.example.org/";
// Hands the home page to the desktop's browser; false when no browser took it.
bool openHomePage();

}  // namespace sv
