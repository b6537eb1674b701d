// The program entry of the window program: the toolkit, then the five windows in their order,
// then the message loop.
#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <exception>

#include "mainwindow/about_box.h"
#include "mainwindow/colour_picker.h"
#include "mainwindow/jpeg_save_dialog.h"
#include "mainwindow/main_form.h"
#include "mainwindow/tiff_save_dialog.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sombrel Varno"));
    QApplication::setOrganizationName(QStringLiteral("Sombrel_Varno"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sombrel-varno.png")));
    try {
        sv::TForm1 form;
        sv::TForm2 about;
        sv::TOKBottomDlg jpegDialog(&form);
        sv::TForm5 tiffDialog(&form);
        sv::TForm14 picker(&form);
        form.setSecondaryWindows(&about, &jpegDialog, &tiffDialog, &picker);
        // Restored, the window is centred with its design client area; it opens maximised.
        form.resize(form.restoredSize());
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            form.move(screen->availableGeometry().center() - form.rect().center());
        form.showMaximized();
        return QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Sombrel Varno"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
