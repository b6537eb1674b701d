// The main window driven through its named controls, offscreen, with a scripted prompter.
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "mainwindow/main_form.h"
#include "mainwindow/prompter.h"

using namespace sv;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startsEmpty() {
        QTemporaryDir dir;
        ScriptedPrompter prompter;
        FormOptions options;
        options.prompter = &prompter;
        options.settingsPath = dir.filePath(QStringLiteral("settings.ini"));
        options.companionFiles.clear();
        options.showSplash = false;
        TForm1 form(options);
        QCOMPARE(form.windowTitle(), QStringLiteral("Sombrel Varno (freeware)"));
        QCOMPARE(form.statusPanelText(3), QStringLiteral("Size: 0x0"));
        QVERIFY(form.Button4->isEnabled());
        QVERIFY(!form.Button3->isEnabled());
        QVERIFY(!form.New1->isEnabled());
        QCOMPARE(form.TabbedNotebook1->count(), 3);
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
