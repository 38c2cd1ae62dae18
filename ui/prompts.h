// Every message box, file dialog and modal dialog of the user interface goes
// through this interface, so that tests can answer them without a person.
#pragma once
#include <QString>
#include <optional>

class QDialog;
class QWidget;

namespace varnesk {

enum class PromptIcon { None, Information, Question, Warning };

class UiPrompts {
public:
    virtual ~UiPrompts() = default;
    // A message box with an OK button.
    virtual void Message(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon) = 0;
    // Yes/No with the question icon; true only for Yes. No is the default
    // button: every question here asks whether to replace a file, and Enter
    // must never be the key that destroys it.
    virtual bool AskYesNo(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Open dialog: the chosen file must exist. Empty optional on Cancel.
    // folder: where the dialog opens; empty for the working folder.
    virtual std::optional<QString> OpenFile(QWidget* owner, const QString& filter, const QString& folder) = 0;
    // Save dialog: its folder must exist; it never asks about overwriting.
    virtual std::optional<QString> SaveFile(QWidget* owner, const QString& filter, const QString& folder) = 0;
    // Runs a modal dialog; true when it ended with OK.
    virtual bool Exec(QDialog& dialog) = 0;
};

// The real thing: QMessageBox, QFileDialog and QDialog::exec.
class QtPrompts : public UiPrompts {
public:
    void Message(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon) override;
    bool AskYesNo(QWidget* owner, const QString& text, const QString& caption) override;
    std::optional<QString> OpenFile(QWidget* owner, const QString& filter, const QString& folder) override;
    std::optional<QString> SaveFile(QWidget* owner, const QString& filter, const QString& folder) override;
    bool Exec(QDialog& dialog) override;
};

}  // namespace varnesk
