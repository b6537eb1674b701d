// The window's filter and tone controls against the descriptors the command line reads: ranges,
// defaults, the value labels, and the values a job takes from the controls.
#include <QAction>
#include <QLocale>

#include "operations/operation_registry.h"
#include "stack/auto_align.h"
#include "stack/ghost_removal.h"
#include "ui_fixture.h"

using namespace sv;

namespace {
QString qname(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

class OperationControls : public QObject {
    Q_OBJECT

private slots:
    void controlsHaveTheDescriptorsRangesDefaultsAndLabels() {
        svtest::Window w(false);
        TForm1& f = *w.form;
        const std::string separator = QLocale().decimalPoint().toStdString();
        int described = 0;
        for (const Operation& op : operationRegistry()) {
            for (const ParameterDescriptor& d : op.parameters) {
                ++described;
                if (auto* box = f.findChild<QComboBox*>(qname(d.control))) {
                    QCOMPARE(box->count(), static_cast<int>(d.choices.size()));
                    QCOMPARE(box->currentIndex(), d.defaultPosition - d.minimum);
                    continue;
                }
                auto* bar = f.findChild<QSlider*>(qname(d.control));
                QVERIFY2(bar, d.control.data());
                QCOMPARE(bar->minimum(), d.minimum);
                QCOMPARE(bar->maximum(), d.maximum);
                QCOMPARE(bar->value(), d.defaultPosition);
                if (d.valueLabel.empty()) continue;
                auto* label = f.findChild<QLabel*>(qname(d.valueLabel));
                QVERIFY2(label, d.valueLabel.data());
                QCOMPARE(label->text().toStdString(), parameterLabel(d, d.defaultPosition, separator));
                for (int position : {d.minimum, (d.minimum + d.maximum) / 2, d.maximum}) {
                    bar->setValue(position);
                    QCOMPARE(label->text().toStdString(), parameterLabel(d, position, separator));
                }
                bar->setValue(d.defaultPosition);
            }
        }
        // The four filters, the render and the fusion describe their settings (the colour tools'
        // are samples).
        QCOMPARE(described, 2 + 2 + 4 + 3 + 4 + 3);
    }

    void optionGroupsAndStep1SettingsHaveTheirDescriptorsRangesDefaultsAndLabels() {
        svtest::Window w(false);
        TForm1& f = *w.form;
        const std::string separator = QLocale().decimalPoint().toStdString();
        std::vector<ParameterList> lists{kGhostSettingParameters};
        for (const Operation& op : operationRegistry())
            for (const OptionGroup& group : op.options) lists.push_back(group.parameters);
        int described = 0;
        for (const ParameterList list : lists) {
            for (const ParameterDescriptor& d : list) {
                ++described;
                auto* bar = f.findChild<QSlider*>(qname(d.control));
                QVERIFY2(bar, d.control.data());
                QCOMPARE(bar->minimum(), d.minimum);
                QCOMPARE(bar->maximum(), d.maximum);
                QCOMPARE(bar->value(), d.defaultPosition);
                auto* label = f.findChild<QLabel*>(qname(d.valueLabel));
                QVERIFY2(label, d.valueLabel.data());
                QCOMPARE(label->text().toStdString(), parameterLabel(d, d.defaultPosition, separator));
                for (int position : {d.minimum, (d.minimum + d.maximum) / 2, d.maximum}) {
                    bar->setValue(position);
                    QCOMPARE(label->text().toStdString(), parameterLabel(d, position, separator));
                }
                bar->setValue(d.defaultPosition);
            }
            // What a job reads back from the controls, by key.
            ParameterValues set;
            for (const ParameterDescriptor& d : list) {
                f.findChild<QSlider*>(qname(d.control))->setValue(d.maximum);
                set[std::string(d.key)] = d.maximum;
            }
            QCOMPARE(f.controlValues(list), set);
        }
        // Ghost removal's strength and local contrast's three settings.
        QCOMPARE(described, 1 + 3);
        // The automatic alignment item is the Edit menu's check, off by default.
        auto* item = f.findChild<QAction*>(qname(kAutoAlignParameters[0].control));
        QVERIFY(item && item->isCheckable());
        QCOMPARE(item->isChecked(), kAutoAlignParameters[0].defaultPosition != 0);
    }

    void jobsTakeTheControlsPositionsByKey() {
        svtest::Window w(false);
        TForm1& f = *w.form;
        for (const Operation& op : operationRegistry()) {
            if (op.parameters.empty()) continue;
            ParameterValues set;
            int step = 1;
            for (const ParameterDescriptor& d : op.parameters) {
                if (d.key == "white" || d.key == "black") continue;  // they push each other along
                // A position other than the default, different for each key.
                const int position = d.defaultPosition + step <= d.maximum ? d.defaultPosition + step : d.minimum;
                ++step;
                if (auto* box = f.findChild<QComboBox*>(qname(d.control))) box->setCurrentIndex(position - d.minimum);
                else f.findChild<QSlider*>(qname(d.control))->setValue(position);
                set[std::string(d.key)] = position;
            }
            const ParameterValues read = f.controlValues(op.parameters);
            for (const auto& [key, position] : set) QCOMPARE(read.at(key), position);
        }
    }
};

QTEST_MAIN(OperationControls)
#include "test_operation_controls.moc"
