#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <vector>

class QWidget;

namespace sv {

// Every message box and file dialog of the window goes through this, so that tests can answer
// them without a person.
class Prompter {
public:
    virtual ~Prompter() = default;

    // Confirmation with Yes and No; true for Yes.
    virtual bool askYesNo(QWidget* parent, const QString& text) = 0;
    // Confirmation with OK and Cancel; true for OK.
    virtual bool askOkCancel(QWidget* parent, const QString& text) = 0;
    // Error box with an OK button.
    virtual void showError(QWidget* parent, const QString& text) = 0;
    // Plain message box with an OK button.
    virtual void showMessage(QWidget* parent, const QString& text) = 0;
    // Open dialog allowing several files; empty when cancelled. `filter` uses the
    // "name|patterns|name|patterns" form of the language tables.
    virtual QStringList chooseOpenFiles(QWidget* parent, const QString& filter) = 0;

    struct SaveChoice {
        QString fileName;
        int filterIndex = 1;  // 1-based entry of the file-type list
    };
    // Save dialog; `filterIndex` is the entry chosen last time. Empty when cancelled.
    virtual std::optional<SaveChoice> chooseSaveFile(QWidget* parent, const QString& filter, int filterIndex,
                                                     const QString& defaultExtension) = 0;
};

// Real boxes and dialogs. Their buttons speak the language of the Qt translation installed on
// the application (the window installs Polish when Polish is chosen). The desktop's own file
// dialogs follow the desktop's language instead, so they are used only when that is the language
// in force; otherwise Qt's own dialog is shown, which follows the program.
class QtPrompter final : public Prompter {
public:
    void setLanguage(bool polish) { polish_ = polish; }
    // Whether a file dialog may be the desktop's own (exposed for tests).
    bool nativeFileDialogs() const;

    bool askYesNo(QWidget* parent, const QString& text) override;
    bool askOkCancel(QWidget* parent, const QString& text) override;
    void showError(QWidget* parent, const QString& text) override;
    void showMessage(QWidget* parent, const QString& text) override;
    QStringList chooseOpenFiles(QWidget* parent, const QString& filter) override;
    std::optional<SaveChoice> chooseSaveFile(QWidget* parent, const QString& filter, int filterIndex,
                                             const QString& defaultExtension) override;

private:
    bool polish_ = false;
};

// Answers from a script and records every text it was shown, in order. A question with no
// scripted answer left fails the test that asked it (recorded in `unexpected`) and answers No.
class ScriptedPrompter final : public Prompter {
public:
    enum class Kind { YesNo, OkCancel, Error, Message, OpenFiles, SaveFile };
    struct Shown {
        Kind kind;
        QString text;
        QWidget* parent = nullptr;  // the window the box or dialog was shown over
        bool parentVisible = false;  // whether that window was on the screen then
    };

    std::deque<bool> answers;                         // for askYesNo / askOkCancel
    std::deque<QStringList> openChoices;              // for chooseOpenFiles
    std::deque<std::optional<SaveChoice>> saveChoices;  // for chooseSaveFile
    std::vector<Shown> shown;
    int unexpected = 0;
    QString lastOpenFilter;
    QString lastSaveFilter;
    int lastSaveFilterIndex = 0;

    bool askYesNo(QWidget* parent, const QString& text) override;
    bool askOkCancel(QWidget* parent, const QString& text) override;
    void showError(QWidget* parent, const QString& text) override;
    void showMessage(QWidget* parent, const QString& text) override;
    QStringList chooseOpenFiles(QWidget* parent, const QString& filter) override;
    std::optional<SaveChoice> chooseSaveFile(QWidget* parent, const QString& filter, int filterIndex,
                                             const QString& defaultExtension) override;

    QStringList texts() const;
    QStringList texts(Kind kind) const;
    void clear() { shown.clear(); }

private:
    bool nextAnswer(Kind kind, QWidget* parent, const QString& text);
    void record(Kind kind, QWidget* parent, const QString& text);
};

// "A|*.x; *.y|B|*.z" -> the ";;"-separated "A (*.x *.y);;B (*.z)" form of the Qt dialogs. A name
// that already ends with its own patterns in parentheses ("B (*.z)") has them rewritten in Qt's
// form rather than listed twice.
QString qtFilterFromTable(const QString& filter);

}  // namespace sv
