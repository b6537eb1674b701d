// The right column at the window's restored size and at a display scale of 1.5, in both languages:
// what must be in view without scrolling, the page tabs that never scroll, and captions that are
// never cut off.
#include "ui_fixture.h"

#include "mainwindow/curve_box.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QThread>

#include <atomic>

using namespace sv;
using svtest::Window;

namespace {

// The part of `w` that the column shows, in the coordinates of ScrollBox2's viewport.
QRect inViewport(TForm1& f, QWidget* w) {
    return QRect(w->mapTo(f.ScrollBox2->viewport(), QPoint(0, 0)), w->size());
}

bool fullyInView(TForm1& f, QWidget* w) {
    return w->isVisible() && f.ScrollBox2->viewport()->rect().contains(inViewport(f, w));
}

QString describe(QWidget* w, TForm1& f) {
    return QStringLiteral("%1 at %2,%3 %4x%5 in a viewport of %6x%7")
        .arg(w->objectName())
        .arg(inViewport(f, w).x())
        .arg(inViewport(f, w).y())
        .arg(w->width())
        .arg(w->height())
        .arg(f.ScrollBox2->viewport()->width())
        .arg(f.ScrollBox2->viewport()->height());
}

// Captions of the visible controls under `root` that their control is too small for.
QStringList cutCaptions(QWidget* root) {
    QStringList cut;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        const QFontMetrics fm = w->fontMetrics();
        QString text;
        int need = 0, room = 0;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
            if (text.isEmpty() || label->wordWrap()) continue;
            need = fm.horizontalAdvance(text);
            room = label->contentsRect().width();
        } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
            text = static_cast<QAbstractButton*>(w)->text();
            need = w->sizeHint().width();
            room = w->width();
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            text = button->text();
            need = fm.horizontalAdvance(text) + 6;
            room = button->width();
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
            need = QFontMetrics(group->font()).horizontalAdvance(text) + 8;
            room = group->width();
        } else {
            continue;
        }
        if (text.isEmpty()) continue;
        if (need > room || fm.height() > w->height() + 1)
            cut << QStringLiteral("%1 \"%2\": needs %3x%4, has %5x%6")
                       .arg(w->objectName(), text)
                       .arg(need)
                       .arg(fm.height())
                       .arg(room)
                       .arg(w->height());
        // Nor may a control stick out of the frame that holds it.
        if (QWidget* parent = w->parentWidget(); parent && qobject_cast<QGroupBox*>(parent) &&
                                                  !parent->rect().contains(w->geometry()))
            cut << QStringLiteral("%1 \"%2\" sticks out of %3").arg(w->objectName(), text, parent->objectName());
    }
    return cut;
}

// Three pictures: two added, the third waiting to be aligned (the Step 1 choices are live).
void openBracket(Window& w) {
    w.open({w.picture(QStringLiteral("a.bmp"), 96, 64, 1), w.picture(QStringLiteral("b.bmp"), 96, 64, 40)});
    w.open({w.picture(QStringLiteral("c.bmp"), 96, 64, 90)});
}

void showRestored(Window& w) {
    w.form->resize(w.form->restoredSize());
    QTest::qWait(20);
}

}  // namespace

class WindowFitTest : public QObject {
    Q_OBJECT
private slots:
    void restoredSizeShowsTheDifferenceChoiceAndTheHistogram_data() {
        QTest::addColumn<double>("dpi");
        QTest::addColumn<bool>("polish");
        QTest::newRow("96 dpi, English") << 96.0 << false;
        QTest::newRow("96 dpi, Polish") << 96.0 << true;
        QTest::newRow("144 dpi, English") << 144.0 << false;
        QTest::newRow("144 dpi, Polish") << 144.0 << true;
    }

    void restoredSizeShowsTheDifferenceChoiceAndTheHistogram() {
        QFETCH(double, dpi);
        QFETCH(bool, polish);
        Window w(true, {}, dpi);
        TForm1& f = *w.form;
        if (polish) f.Polish1Click();
        openBracket(w);
        showRestored(w);
        // The design client area lies below the menu bar.
        QCOMPARE(f.centralWidget()->height() + f.ToolBar1->height() + f.StatusBar1->height() >=
                     static_cast<int>(654 * f.displayScale) - 4,
                 true);

        QCOMPARE(f.ScrollBox2->verticalScrollBar()->value(), 0);
        for (QWidget* c : std::initializer_list<QWidget*>{f.RadioButton1, f.RadioButton2, f.RadioButton3, f.Label34,
                                                          f.Button4, f.Button3, f.Button9})
            QVERIFY2(fullyInView(f, c), qPrintable(describe(c, f)));
        QVERIFY(f.RadioButton3->isEnabled());

        f.Button3Click();
        f.Button2Click();
        f.waitForJob();
        f.Timer1Timer();
        f.TabbedNotebook1->setCurrentIndex(1);
        QTest::qWait(10);
        QCOMPARE(f.ScrollBox2->verticalScrollBar()->value(), 0);
        for (QWidget* c : std::initializer_list<QWidget*>{f.Image3, f.Shape5, f.TrackBar12, f.TrackBar13, f.Panel3,
                                                          f.GroupBox4, f.Button2, f.Image1})
            QVERIFY2(fullyInView(f, c), qPrintable(describe(c, f)));

        // Every Step 3 group, expanded, is in view too.
        f.TabbedNotebook1->setCurrentIndex(2);
        for (int g = 0; g < 6; ++g) {
            f.selectToolGroup(g);
            QTest::qWait(5);
            QVERIFY2(fullyInView(f, f.toolGroups[static_cast<std::size_t>(g)]),
                     qPrintable(describe(f.toolGroups[static_cast<std::size_t>(g)], f)));
        }
        QCOMPARE(w.prompter.unexpected, 0);
    }

    void pageTabsStayInViewWhileThePagesScroll() {
        Window w;
        TForm1& f = *w.form;
        openBracket(w);
        // Too short for Step 2: the documented fixed height, and the column scrolls.
        f.resize(1000, 560);
        QTest::qWait(20);
        f.TabbedNotebook1->setCurrentIndex(1);
        QTest::qWait(10);
        QCOMPARE(f.TabbedNotebook1->height(), 635);
        QScrollBar* bar = f.ScrollBox2->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        // The tabs the user sees are not part of what scrolls, and sit just above it.
        QVERIFY(!f.ScrollBox2->isAncestorOf(f.pageTabs));
        QVERIFY(f.pageTabs->isVisible());
        QVERIFY(!f.TabbedNotebook1->tabBar()->isVisible());
        const QPoint tabsAt = f.pageTabs->mapTo(&f, QPoint(0, 0));
        QVERIFY(tabsAt.y() + f.pageTabs->height() <= f.ScrollBox2->mapTo(&f, QPoint(0, 0)).y());
        const QPoint pagesAt = f.TabbedNotebook1->mapTo(&f, QPoint(0, 0));
        bar->setValue(bar->maximum());
        QTest::qWait(5);
        QCOMPARE(f.pageTabs->mapTo(&f, QPoint(0, 0)), tabsAt);
        QCOMPARE(f.TabbedNotebook1->mapTo(&f, QPoint(0, 0)).y(), pagesAt.y() - bar->maximum());
        QVERIFY(fullyInView(f, f.Panel3));  // the bottom of the histogram is reached by scrolling

        // The two stay one: a click on a tab turns the page, a page turned by the program
        // selects its tab, the captions follow the language and a job disables both.
        QTest::mouseClick(f.pageTabs, Qt::LeftButton, {}, f.pageTabs->tabRect(0).center());
        QCOMPARE(f.TabbedNotebook1->currentIndex(), 0);
        f.TabbedNotebook1->setCurrentIndex(1);
        QCOMPARE(f.pageTabs->currentIndex(), 1);
        f.Polish1Click();
        for (int i = 0; i < 3; ++i) QCOMPARE(f.pageTabs->tabText(i), f.TabbedNotebook1->tabText(i));
        QCOMPARE(f.pageTabs->tabText(2), QString::fromUtf8("Krok 3: Filtruj"));
        f.Button3Click();
        std::atomic<bool> release{false};
        QVERIFY(f.startJob(JobKind::ProcessAll, [&](ProgressSink&) {
            while (!release.load()) QThread::msleep(1);
        }));
        QVERIFY(!f.pageTabs->isEnabled());
        QTest::mouseClick(f.pageTabs, Qt::LeftButton, {}, f.pageTabs->tabRect(0).center());
        QCOMPARE(f.TabbedNotebook1->currentIndex(), 1);
        release = true;
        f.waitForJob();
        f.Timer1Timer();
        QVERIFY(f.pageTabs->isEnabled());

        // Tall enough: the pages fill the column and nothing scrolls.
        f.resize(1000, 900);
        QTest::qWait(20);
        QVERIFY(f.ScrollBox2->widgetResizable());
        QCOMPARE(bar->maximum(), 0);
    }

    // Step 2 with local contrast shown and in fusion mode: at the restored size nothing overlaps
    // or is cut off; fusion's page is all in view, local contrast's is reached by scrolling.
    void step2ModesFitTheColumn_data() { noCaptionIsCutOff_data(); }

    void step2ModesFitTheColumn() {
        QFETCH(double, dpi);
        Window w(true, {}, dpi);
        TForm1& f = *w.form;
        openBracket(w);
        f.Button3Click();
        showRestored(w);
        f.TabbedNotebook1->setCurrentIndex(1);
        QStringList cut;
        for (bool polish : {false, true}) {
            if (polish) f.Polish1Click();
            else f.English1Click();
            f.CheckBoxLocalContrast->setChecked(true);
            QTest::qWait(10);
            cut << cutCaptions(f.TabbedNotebook1->currentWidget());
            // The page is as tall as its groups: none is squeezed over another.
            const QList<QWidget*> stacked = {f.GroupBox2, f.GroupBox6, f.GroupBoxLocalContrast, f.GroupBox5, f.GroupBox4};
            for (int i = 1; i < stacked.size(); ++i)
                QVERIFY2(stacked[i]->y() >= stacked[i - 1]->y() + stacked[i - 1]->height(),
                         qPrintable(stacked[i]->objectName()));
            QScrollBar* bar = f.ScrollBox2->verticalScrollBar();
            bar->setValue(bar->maximum());
            QTest::qWait(5);
            QVERIFY2(fullyInView(f, f.Panel3), qPrintable(describe(f.Panel3, f)));
            bar->setValue(0);
            f.CheckBoxLocalContrast->setChecked(false);
            f.RadioButtonFusion->click();
            QTest::qWait(10);
            cut << cutCaptions(f.TabbedNotebook1->currentWidget());
            for (QWidget* c : std::initializer_list<QWidget*>{f.RadioButtonFusion, f.RadioButtonToneCurve,
                                                              f.fusionBars[2], f.Button2, f.Image3, f.Panel3})
                QVERIFY2(fullyInView(f, c), qPrintable(describe(c, f)));
            // The choice and the group's caption share the line without overlapping.
            const QFontMetrics fm(f.GroupBoxFusion->font());
            QVERIFY(f.RadioButtonFusion->parentWidget()->x() > fm.horizontalAdvance(f.GroupBoxFusion->title()) + 8);
            f.RadioButtonToneCurve->click();
            QTest::qWait(10);
            QVERIFY(f.CheckBoxLocalContrast->x() >
                    QFontMetrics(f.GroupBox6->font()).horizontalAdvance(f.GroupBox6->title()) + 8);
            cut.removeDuplicates();
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }

    void noCaptionIsCutOff_data() {
        QTest::addColumn<double>("dpi");
        QTest::newRow("96 dpi") << 96.0;
        QTest::newRow("144 dpi") << 144.0;
    }

    void noCaptionIsCutOff() {
        QFETCH(double, dpi);
        Window w(true, {}, dpi);
        TForm1& f = *w.form;
        openBracket(w);
        f.Button3Click();
        f.Button2Click();
        f.waitForJob();
        f.Timer1Timer();
        showRestored(w);
        QStringList cut;
        for (bool polish : {false, true}) {
            if (polish) f.Polish1Click();
            else f.English1Click();
            for (int page = 0; page < 3; ++page) {
                f.TabbedNotebook1->setCurrentIndex(page);
                QTest::qWait(5);
                if (page < 2) {
                    cut << cutCaptions(f.TabbedNotebook1->currentWidget());
                    continue;
                }
                for (int g = 0; g < 6; ++g) {
                    f.selectToolGroup(g);
                    QTest::qWait(5);
                    cut << cutCaptions(f.TabbedNotebook1->currentWidget());
                }
            }
            cut << cutCaptions(f.StatusBar1);
            cut.removeDuplicates();
        }
        // The zoom track bar lies over the status panel that reads "Zoom:", after the text.
        const QLabel* zoom = f.statusPanels[1];
        QVERIFY(zoom->indent() + zoom->fontMetrics().horizontalAdvance(zoom->text()) <= f.TrackBar1->x());
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(WindowFitTest)
#include "test_window_fit.moc"
