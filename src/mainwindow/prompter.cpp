#include "mainwindow/prompter.h"

#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>
#include <QWidget>

namespace sv {

namespace {

// "*.a; *.b;" -> "*.a *.b"
QString qtPatterns(QString patterns) {
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return patterns.simplified();
}

}  // namespace

QString qtFilterFromTable(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString patterns = qtPatterns(parts[i + 1]);
        QString name = parts[i].trimmed();
        // Qt reads the patterns from the parentheses at the end of an entry; a name that shows
        // them already only needs them in Qt's own spelling.
        const qsizetype open = name.lastIndexOf(QStringLiteral(" ("));
        if (name.endsWith(QLatin1Char(')')) && open > 0 &&
            qtPatterns(name.mid(open + 2, name.size() - open - 3)) == patterns)
            name.truncate(open);
        entries << name + QStringLiteral(" (") + patterns + QStringLiteral(")");
    }
    return entries.join(QStringLiteral(";;"));
}

bool QtPrompter::nativeFileDialogs() const {
    return QLocale::system().language() == (polish_ ? QLocale::Polish : QLocale::English);
}

bool QtPrompter::askYesNo(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QString(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

bool QtPrompter::askOkCancel(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QString(), text, QMessageBox::Ok | QMessageBox::Cancel,
                                 QMessageBox::Ok) == QMessageBox::Ok;
}

void QtPrompter::showError(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QString(), text, QMessageBox::Ok);
}

void QtPrompter::showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, parent);
    box.exec();
}

QStringList QtPrompter::chooseOpenFiles(QWidget* parent, const QString& filter) {
    QFileDialog dialog(parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog, !nativeFileDialogs());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(qtFilterFromTable(filter).split(QStringLiteral(";;")));
    dialog.setDefaultSuffix(QStringLiteral("bmp"));
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

std::optional<Prompter::SaveChoice> QtPrompter::chooseSaveFile(QWidget* parent, const QString& filter,
                                                               int filterIndex, const QString& defaultExtension) {
    QFileDialog dialog(parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog, !nativeFileDialogs());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The program asks about overwriting itself, with its own text and language.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    const QStringList filters = qtFilterFromTable(filter).split(QStringLiteral(";;"));
    dialog.setNameFilters(filters);
    if (filterIndex >= 1 && filterIndex <= filters.size()) dialog.selectNameFilter(filters[filterIndex - 1]);
    QString suffix = defaultExtension;
    suffix.remove(QStringLiteral("*.")).remove(QLatin1Char('.'));
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    SaveChoice choice;
    choice.fileName = dialog.selectedFiles().front();
    choice.filterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (choice.filterIndex < 1) choice.filterIndex = 1;
    return choice;
}

void ScriptedPrompter::record(Kind kind, QWidget* parent, const QString& text) {
    shown.push_back({kind, text, parent, parent && parent->isVisible()});
}

bool ScriptedPrompter::nextAnswer(Kind kind, QWidget* parent, const QString& text) {
    record(kind, parent, text);
    if (answers.empty()) {
        ++unexpected;
        return false;
    }
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
}

bool ScriptedPrompter::askYesNo(QWidget* parent, const QString& text) {
    return nextAnswer(Kind::YesNo, parent, text);
}

bool ScriptedPrompter::askOkCancel(QWidget* parent, const QString& text) {
    return nextAnswer(Kind::OkCancel, parent, text);
}

void ScriptedPrompter::showError(QWidget* parent, const QString& text) { record(Kind::Error, parent, text); }

void ScriptedPrompter::showMessage(QWidget* parent, const QString& text) { record(Kind::Message, parent, text); }

QStringList ScriptedPrompter::chooseOpenFiles(QWidget* parent, const QString& filter) {
    record(Kind::OpenFiles, parent, filter);
    lastOpenFilter = filter;
    if (openChoices.empty()) {
        ++unexpected;
        return {};
    }
    QStringList files = openChoices.front();
    openChoices.pop_front();
    return files;
}

std::optional<Prompter::SaveChoice> ScriptedPrompter::chooseSaveFile(QWidget* parent, const QString& filter,
                                                                     int filterIndex, const QString&) {
    record(Kind::SaveFile, parent, filter);
    lastSaveFilter = filter;
    lastSaveFilterIndex = filterIndex;
    if (saveChoices.empty()) {
        ++unexpected;
        return std::nullopt;
    }
    if (!saveChoices.front()) {
        saveChoices.pop_front();
        return std::nullopt;
    }
    const SaveChoice choice = *saveChoices.front();
    saveChoices.pop_front();
    return choice;
}

QStringList ScriptedPrompter::texts() const {
    QStringList out;
    for (const Shown& s : shown) out << s.text;
    return out;
}

QStringList ScriptedPrompter::texts(Kind kind) const {
    QStringList out;
    for (const Shown& s : shown)
        if (s.kind == kind) out << s.text;
    return out;
}

}  // namespace sv
