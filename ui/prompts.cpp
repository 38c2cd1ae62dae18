#include "ui/prompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace varnesk {

namespace {
QMessageBox::Icon ToQt(PromptIcon icon) {
    switch (icon) {
    case PromptIcon::Information: return QMessageBox::Information;
    case PromptIcon::Question: return QMessageBox::Question;
    case PromptIcon::Warning: return QMessageBox::Warning;
    case PromptIcon::None: break;
    }
    return QMessageBox::NoIcon;
}
}  // namespace

void QtPrompts::Message(QWidget* owner, const QString& text, const QString& caption, PromptIcon icon) {
    QMessageBox box(ToQt(icon), caption, text, QMessageBox::Ok, owner);
    box.exec();
}

bool QtPrompts::AskYesNo(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtPrompts::OpenFile(QWidget* owner, const QString& filter, const QString& folder) {
    QString name = QFileDialog::getOpenFileName(owner, QString(), folder, filter);
    if (name.isEmpty()) return std::nullopt;
    return name;
}

std::optional<QString> QtPrompts::SaveFile(QWidget* owner, const QString& filter, const QString& folder) {
    // The question about overwriting comes later, when the job starts.
    QString name =
        QFileDialog::getSaveFileName(owner, QString(), folder, filter, nullptr, QFileDialog::DontConfirmOverwrite);
    if (name.isEmpty()) return std::nullopt;
    return name;
}

bool QtPrompts::Exec(QDialog& dialog) { return dialog.exec() == QDialog::Accepted; }

}  // namespace varnesk
