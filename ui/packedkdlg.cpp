#include "ui/packedkdlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/messages.h"
#include "platform/numparse.h"
#include "platform/post.h"
#include "ui/formrules.h"

namespace varnesk {

namespace {
// The file dialog of both "Choose" buttons; the folder of the chosen file
// replaces dir. False on Cancel, after saying so.
bool ChoosePackedKFolder(UiPrompts& prompts, QWidget* owner, QString& dir) {
    std::optional<QString> chosen = prompts.OpenFile(owner, kPackedKFilter, QString());
    if (!chosen) {
        prompts.Message(owner, "File selection has been cancelled.", "Exit", PromptIcon::Information);
        return false;
    }
    dir = QString::fromStdString(DirectoryOfChosenFile(chosen->toStdString()));
    return true;
}

QHBoxLayout* OkCancelRow(QDialog* dialog) {
    auto* row = new QHBoxLayout;
    auto* ok = new QPushButton("OK", dialog);
    auto* cancel = new QPushButton("Cancel", dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}
}  // namespace

PackedKGen::PackedKGen(UiPrompts& prompts, QWidget* parent) : QDialog(parent), prompts_(prompts) {
    setWindowTitle("Dialog");
    setMinimumWidth(fontMetrics().averageCharWidth() * 80);
    auto* top = new QVBoxLayout(this);
    for (const char* text :
         {"Use the choose button to move to the correct directory where the packed K files for the entered exponent "
          "are to be stored.  Select any file in that directory to select the directory.",
          "If no packed files exist, the first one will be created.  If packed files exist, the sequence will "
          "automatically be extended.  The files are named lnXXpiNNNNN.pkk where XX is the b^2^XX of the exponent and "
          "NNNNN is the sequence number of the file."}) {
        auto* label = new QLabel(text, this);
        label->setWordWrap(true);
        top->addWidget(label);
    }
    auto* grid = new QGridLayout;
    directoryEdit_ = new QLineEdit(this);
    choose_ = new QPushButton("Choose", this);
    exponentEdit_ = new QLineEdit(this);
    exponentEdit_->setMaximumWidth(exponentEdit_->fontMetrics().horizontalAdvance(QString(13, '0')));
    grid->addWidget(new QLabel("Packed K Directory:", this), 0, 0);
    grid->addWidget(directoryEdit_, 0, 1);
    grid->addWidget(choose_, 0, 2);
    grid->addWidget(new QLabel("Exponent:", this), 1, 0);
    grid->addWidget(exponentEdit_, 1, 1, Qt::AlignLeft);
    top->addLayout(grid);
    top->addLayout(OkCancelRow(this));
    connect(choose_, &QPushButton::clicked, this, &PackedKGen::OnChoose);
    WriteFields();
}

bool PackedKGen::ReadFields() {
    directory_ = directoryEdit_->text();
    ParsedNumber r = ParseInt32(exponentEdit_->text().left(63).toStdString());
    if (!r.hasDigits) {
        prompts_.Message(this, "Enter an integer.", QString(), PromptIcon::None);
        exponentEdit_->setFocus();
        return false;
    }
    exponent_ = static_cast<int32_t>(r.value);
    return true;
}

void PackedKGen::WriteFields() {
    directoryEdit_->setText(directory_);
    exponentEdit_->setText(QString::number(exponent_));
}

void PackedKGen::OnChoose() {
    ReadFields();
    if (ChoosePackedKFolder(prompts_, this, directory_)) WriteFields();
}

void PackedKGen::accept() {
    ReadFields();
    auto refuse = [this](const std::string& text) {
        prompts_.Message(this, QString::fromStdString(text), QString(), PromptIcon::None);
    };
    if (directory_.isEmpty()) return refuse(messages::kPackedDirectoryRequired);
    int32_t n = 0;
    if (!ExponentTest(exponent_, &n))
        return refuse(StringPrintf(messages::kExponentNotPowerOfTwo, exponent_));
    if (n < 13) return refuse(messages::kPackedExponentTooSmall);
    exponentLog2_ = n;
    if (!ReadFields()) return;
    QDialog::accept();
}

CPackedKSel::CPackedKSel(UiPrompts& prompts, QWidget* parent) : QDialog(parent), prompts_(prompts) {
    setWindowTitle("Dialog");
    setMinimumWidth(fontMetrics().averageCharWidth() * 80);
    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    directoryEdit_ = new QLineEdit(this);
    auto* choose = new QPushButton("Choose", this);
    row->addWidget(new QLabel("Packed K File:", this));
    row->addWidget(directoryEdit_, 1);
    row->addWidget(choose);
    top->addLayout(row);
    top->addStretch(1);
    top->addLayout(OkCancelRow(this));
    connect(choose, &QPushButton::clicked, this, &CPackedKSel::OnChoose);
    WriteFields();
}

void CPackedKSel::SetDirectory(const QString& directory) {
    directory_ = directory;
    WriteFields();
}

void CPackedKSel::ReadFields() { directory_ = directoryEdit_->text(); }
void CPackedKSel::WriteFields() { directoryEdit_->setText(directory_); }

void CPackedKSel::OnChoose() {
    ReadFields();
    if (ChoosePackedKFolder(prompts_, this, directory_)) WriteFields();
}

void CPackedKSel::accept() {
    ReadFields();
    QDialog::accept();
}

}  // namespace varnesk
