// The two packed K dialogs: PackedKGen asks for the folder and exponent of a
// packed K build, CPackedKSel for the folder of packed K files to sieve with.
#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>

#include "ui/prompts.h"

class QLineEdit;
class QPushButton;

namespace varnesk {

class PackedKGen : public QDialog {
    Q_OBJECT
public:
    explicit PackedKGen(UiPrompts& prompts, QWidget* parent = nullptr);

    const QString& Directory() const { return directory_; }
    int32_t Exponent() const { return exponent_; }
    // n with N = 2^n, set when OK was accepted.
    int32_t ExponentLog2() const { return exponentLog2_; }

    bool ReadFields();
    void WriteFields();
    void OnChoose();
    // OK: the three checks, then close.
    void accept() override;

    QLineEdit* DirectoryEdit() const { return directoryEdit_; }
    QLineEdit* ExponentEdit() const { return exponentEdit_; }
    QPushButton* ChooseButton() const { return choose_; }

private:
    UiPrompts& prompts_;
    QLineEdit* directoryEdit_;
    QLineEdit* exponentEdit_;
    QPushButton* choose_;
    QString directory_;
    int32_t exponent_ = 0;
    int32_t exponentLog2_ = 0;
};

class CPackedKSel : public QDialog {
    Q_OBJECT
public:
    explicit CPackedKSel(UiPrompts& prompts, QWidget* parent = nullptr);

    const QString& Directory() const { return directory_; }
    void SetDirectory(const QString& directory);

    void ReadFields();
    void WriteFields();
    void OnChoose();
    void accept() override;

    QLineEdit* DirectoryEdit() const { return directoryEdit_; }

private:
    UiPrompts& prompts_;
    QLineEdit* directoryEdit_;
    QString directory_;
};

}  // namespace varnesk
