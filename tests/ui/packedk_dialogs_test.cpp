// The packed K dialogs and the form's two packed K commands.
#include <QLineEdit>
#include <QPushButton>

#include "ui/packedkdlg.h"
#include "ui_test_support.h"

namespace varnesk::testing {
namespace {

TEST(PackedKGen, OkChecksDirectoryThenExponentThenMinimum) {
    FakePrompts prompts;
    struct Case {
        const char* dir;
        const char* exponent;
        const char* message;  // null: accepted
        int32_t n;
    };
    const Case cases[] = {
        {"", "24", "A packed file directory name is required.", 0},
        {"/pk", "24", "Exponent 24 is not a proper power of 2 for GFN testing.", 0},
        {"/pk", "4096", "The minimum exponent supported by this sieve is 8192.", 0},
        {"/pk", "8192", nullptr, 13},
        {"/pk", "1073741824", nullptr, 30},
    };
    for (const Case& c : cases) {
        prompts.Clear();
        PackedKGen dialog(prompts);
        EXPECT_EQ(dialog.windowTitle(), "Dialog");
        EXPECT_EQ(dialog.ExponentEdit()->text(), "0");
        dialog.DirectoryEdit()->setText(c.dir);
        dialog.ExponentEdit()->setText(c.exponent);
        dialog.accept();
        if (c.message) {
            EXPECT_EQ(prompts.Messages(), std::vector<std::string>{c.message});
            EXPECT_NE(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(dialog.DirectoryEdit()->text(), c.dir);  // stays as entered
        } else {
            EXPECT_TRUE(prompts.shown.empty());
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(dialog.ExponentLog2(), c.n);
            EXPECT_EQ(dialog.Directory(), "/pk");
        }
    }
    PackedKGen dialog(prompts);
    prompts.Clear();
    dialog.DirectoryEdit()->setText("/pk");
    dialog.ExponentEdit()->setText("lots");
    dialog.accept();
    EXPECT_EQ(prompts.Messages().front(), "Enter an integer.");
    EXPECT_NE(dialog.result(), QDialog::Accepted);
}

TEST(PackedKGen, ChooseTakesTheFolderOfTheChosenFile) {
    FakePrompts prompts;
    PackedKGen dialog(prompts);
    dialog.ExponentEdit()->setText("8192");
    prompts.files = {QString("/data/pk/ln13pi00000.pkk"), std::nullopt, QString("ln13pi00000.pkk")};
    dialog.ChooseButton()->click();
    EXPECT_EQ(dialog.DirectoryEdit()->text(), "/data/pk");
    EXPECT_EQ(dialog.ExponentEdit()->text(), "8192");
    EXPECT_EQ(prompts.shown[0].kind, Prompt::Open);
    EXPECT_EQ(prompts.shown[0].text, "Packed K Files (*.pkk);;All Files (*)");
    dialog.OnChoose();
    EXPECT_EQ(prompts.shown.back().text, "File selection has been cancelled.");
    EXPECT_EQ(prompts.shown.back().caption, "Exit");
    EXPECT_EQ(dialog.DirectoryEdit()->text(), "/data/pk");
    dialog.OnChoose();
    EXPECT_EQ(dialog.DirectoryEdit()->text(), "");
}

class PackedKCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ViewOptions options;
        options.programPath = dir.filePath("varnesk").toStdString();
        view = std::make_unique<HeldView>(prompts, options);
        view->OnInitialUpdate();
        Pump();
        Pump();
    }
    QTemporaryDir dir;
    FakePrompts prompts;
    std::unique_ptr<HeldView> view;
};

TEST_F(PackedKCommands, BuildLaunchesCommand31WithTheDialogsValues) {
    view->Ui().exponent->setText("1024");
    view->Ui().bMin->setText("5");
    prompts.onExec = [](QDialog& d) {
        auto& dialog = dynamic_cast<PackedKGen&>(d);
        EXPECT_EQ(dialog.DirectoryEdit()->text(), "");
        EXPECT_EQ(dialog.ExponentEdit()->text(), "0");
        dialog.DirectoryEdit()->setText("/pk");
        dialog.ExponentEdit()->setText("16384");
        dialog.accept();
        return dialog.result() == QDialog::Accepted;
    };
    view->OnBuildPackedK();
    ASSERT_TRUE(view->IsRunning());
    const SieveJob& job = view->Worker()->Job();
    EXPECT_EQ(job.command, kCommandPackedK);
    EXPECT_EQ(job.exponent, 16384);
    EXPECT_EQ(job.exponentLog2, 14);
    EXPECT_EQ(job.packedKPath, "/pk");
    EXPECT_EQ(job.bMin, 5);  // the other values as they stand
    EXPECT_EQ(view->Ui().exponent->text(), "1024");  // the edit keeps its text

    // Neither command does anything while a job runs.
    prompts.Clear();
    view->OnBuildPackedK();
    view->OnUsePackedK();
    EXPECT_TRUE(prompts.shown.empty());
    PostEnd(*view);
    EXPECT_EQ(view->Model().job.exponent, 1024);  // back from the edit
    EXPECT_EQ(view->PackedKSpec(), "/pk");

    // Cancel launches nothing.
    prompts.onExec = [](QDialog&) { return false; };
    view->OnBuildPackedK();
    EXPECT_FALSE(view->IsRunning());
}

TEST_F(PackedKCommands, UseSetsTheSpecAndAnEmptyFieldEmptiesIt) {
    std::vector<QString> shownWith;
    QString next;
    bool ok = true;
    prompts.onExec = [&](QDialog& d) {
        auto& dialog = dynamic_cast<CPackedKSel&>(d);
        EXPECT_EQ(dialog.windowTitle(), "Dialog");
        shownWith.push_back(dialog.DirectoryEdit()->text());
        dialog.DirectoryEdit()->setText(next);
        if (!ok) return false;
        dialog.accept();
        return dialog.result() == QDialog::Accepted;
    };
    next = "/pk/a";
    view->OnUsePackedK();
    EXPECT_EQ(view->PackedKSpec(), "/pk/a");
    next = "/pk/b";
    ok = false;
    view->OnUsePackedK();
    EXPECT_EQ(view->PackedKSpec(), "/pk/a");
    next = "";
    ok = true;
    view->OnUsePackedK();
    EXPECT_EQ(view->PackedKSpec(), "");
    EXPECT_EQ(shownWith, (std::vector<QString>{"", "/pk/a", "/pk/a"}));
    EXPECT_FALSE(view->IsRunning());
}

TEST(CPackedKSel, ChooseTakesTheFolder) {
    FakePrompts prompts;
    CPackedKSel dialog(prompts);
    dialog.SetDirectory("/old");
    prompts.files = {QString("/new/ln14pi00003.pkk"), std::nullopt};
    dialog.OnChoose();
    EXPECT_EQ(dialog.DirectoryEdit()->text(), "/new");
    dialog.OnChoose();
    EXPECT_EQ(dialog.DirectoryEdit()->text(), "/new");
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"File selection has been cancelled."});
}

}  // namespace
}  // namespace varnesk::testing
