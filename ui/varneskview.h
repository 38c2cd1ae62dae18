// The main form: sets up, validates, launches and watches one sieve job at a
// time, keeps the log list and log file, and writes the settings file when a
// job ends.
#pragma once
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/jobcheck.h"
#include "engine/jobrequest.h"
#include "platform/joblock.h"
#include "platform/numparse.h"
#include "platform/post.h"
#include "ui/prompts.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;
class QScrollArea;

namespace varnesk {

class CGfnThread;
class CStatsPanel;
class FormDevice;
class QtWorkerSink;

// What the form holds for its fields; read from the controls only when the
// fields are read, written back only at the initial update and after a file
// was chosen. The job's part is the job request itself, with the packed K
// folder and n, which have no control.
struct FormModel {
    int32_t mode = 0;  // 0 new sieve, 1 resume, -1 no button selected
    JobRequest job;       // the file names, numbers and Start/Stop values of the fields
};

struct ViewOptions {
    std::string programPath;  // empty: the running program's own path
    int timerPeriodMs = 5000;
    int workerThreads = 0;  // 0: one per hardware thread
    // The user's folders for the settings and the log of an installed
    // program; empty: the desktop's own (QStandardPaths).
    std::string configFolder;
    std::string stateFolder;
    // Seconds on a steady clock for the statistics panel; empty: the
    // system's steady clock (tests give their own).
    std::function<double()> clock;
};

// Priority choices of the "Priority Class" submenu.
inline constexpr int kPriorityIdle = 0;
inline constexpr int kPriorityBelowNormal = 1;
inline constexpr int kPriorityNormal = 2;

class CVarneskView : public QWidget {
    Q_OBJECT
public:
    struct Controls {
        QRadioButton* newSieve;
        QRadioButton* resumeSieve;
        QCheckBox* wideMath;
        QPushButton* startStop;
        QLineEdit* factorOutput;
        QPushButton* chooseFactorOutput;
        QLineEdit* sieveInput;
        QPushButton* chooseSieveInput;
        QLineEdit* sieveOutput;
        QPushButton* chooseSieveOutput;
        QLineEdit* exponent;
        QLineEdit* bMin;
        QLineEdit* bMax;
        QLineEdit* minutesPerSave;
        QCheckBox* useStartStop;
        QLabel* startPLabel;
        QLineEdit* startP;
        QLabel* endPLabel;
        QLineEdit* endP;
        QLineEdit* bLeft;
        QLineEdit* currentP;
        QListWidget* log;
    };

    explicit CVarneskView(UiPrompts& prompts, ViewOptions options = {}, QWidget* parent = nullptr);
    ~CVarneskView() override;

    // First display (and every new document): controls from the model, ask
    // the frame to shrink to fit, then start-up by a posted event.
    void OnInitialUpdate();

    void OnStartStop();
    void OnChooseFactorOutput();
    void OnChooseSieveInput();
    void OnChooseSieveOutput();
    // The sieve input file typed and confirmed (Enter, or the focus left it).
    void OnSieveInputConfirmed();
    // File > "Restore Last Job": the fields of the last job from the
    // settings file; a missing or damaged file leaves them as they are.
    void OnRestoreLastJob();
    void OnNewSieve();
    void OnResumeSieve();
    void OnUseStartStop();
    void OnTimer();
    void OnPriority(int choice);
    void OnBuildPackedK();
    void OnUsePackedK();

    // One thing the worker posted: a log line or a record.
    void HandleWorkerRecord(WorkerRecord record);

    // False when a numeric field yielded no number (the fields from it on
    // keep their previous values).
    bool ReadFields();
    void WriteFields();

    // The main window wants to close. True: close now. False: a job runs;
    // the stop has been requested and CloseReady follows its end marker.
    bool RequestClose();
    bool ClosePending() const { return closePending_; }
    // A stop signal came (name: "SIGTERM"...): said in the log, with what
    // follows.
    void NoteStopSignal(const std::string& name);

    // True when the running job (if any) reads or writes the file at path.
    bool JobUsesFile(const std::string& path) const;

    // Adds "Priority Class", "Build Packed K File" and "Use Packed K File".
    void PopulateOptionsMenu(QMenu* options);
    // Adds "Restore Last Job".
    void PopulateFileMenu(QMenu* file);
    void UpdateMenuState();

    const Controls& Ui() const { return ui_; }
    const FormModel& Model() const { return model_; }
    bool IsRunning() const { return running_; }
    int32_t ExponentLog2() const { return model_.job.exponentLog2; }
    QString PackedKSpec() const { return QString::fromStdString(model_.job.packedKPath); }
    int PriorityChoice() const { return priority_; }
    const std::string& SettingsPath() const { return settingsPath_; }
    const std::string& LogPath() const { return logPath_; }
    const std::shared_ptr<CGfnThread>& Worker() const { return worker_; }
    TextSink* Sink() const;
    CStatsPanel* Panel() const { return panel_; }
    // The scrolling area that holds the panel.
    QScrollArea* PanelArea() const { return panelArea_; }
    QAction* RestoreLastJobAction() const { return restoreLastJob_; }
    QAction* PriorityAction(int choice) const { return priorityActions_[choice]; }
    QAction* BuildPackedKAction() const { return buildPackedK_; }
    QAction* UsePackedKAction() const { return usePackedK_; }

signals:
    void FitFrameRequested();
    void StatusMessage(const QString& text);
    void CloseReady();

protected:
    bool event(QEvent* e) override;
    // Starts the worker's thread; false when it could not be created.
    virtual bool StartWorker(const std::shared_ptr<CGfnThread>& worker);

private:
    void BuildControls();
    void StartUp();
    void ApplyNewSieveLayout();
    void ApplyResumeLayout();
    void ApplyRunningLayout();
    void RestoreLayout();
    void SetStartStopControls();
    void SetFileRowsEnabled(bool factor, bool input, bool output);
    bool ReadInt32(QLineEdit* edit, const char* field, int32_t& value);
    bool ReadPValue(QLineEdit* edit, const char* field, UInt128& value);
    // The platform's words for a field that holds no number, with the field.
    void NotANumber(QLineEdit* edit, const char* field, const char* words);
    // The numbers a start uses, read again strictly (ParseWholeNumber) into
    // the model; false after a refusal that names the field.
    bool ReadJobNumbers();
    bool ReadWholeNumber(QLineEdit* edit, const char* field, bool pValue, UInt128& magnitude, bool& negative);
    void Refuse(const std::string& message);
    // Asks before an existing file is replaced; true when it may be.
    bool MayReplace(const QString& name);
    // The model's job with this command, run the form's way.
    JobRequest RequestFor(int32_t command) const;
    bool PrepareFiles(const JobRequest& request, bool replaceFactorFile, bool replaceOutputFile);
    bool CheckFormFiles(const JobRequest& request);
    void Launch(const JobRequest& request);
    void AddLogLine(const std::string& text);
    // At a job's end: the command line's summary, the device's share of the
    // job and what the device did.
    void LogJobSummary();
    // A candidate file chosen or typed as the sieve input: its exponent and
    // range go to the model (intoModel) or to the edits alone, its resume
    // point and bases to the log; a file that is no candidate file is named
    // in the log with the reader's reason and fills nothing.
    void FillFromCandidateFile(const std::string& path, bool intoModel);
    // Where a file dialog for a field opens: the folder of its file, else
    // the last folder a file was chosen in.
    QString DialogFolder(const std::string& current) const;
    double Now() const;
    void WriteSettings();
    void ChooseFile(std::string JobRequest::*field, bool open);

    UiPrompts& prompts_;
    ViewOptions options_;
    Controls ui_{};
    CStatsPanel* panel_ = nullptr;
    QScrollArea* panelArea_ = nullptr;
    QAction* restoreLastJob_ = nullptr;
    QString lastFolder_;         // of the last file chosen
    QString lastCandidateFile_;  // the sieve input last read for the fields
    QButtonGroup* modeGroup_ = nullptr;
    QAction* priorityActions_[3] = {nullptr, nullptr, nullptr};
    QAction* buildPackedK_ = nullptr;
    QAction* usePackedK_ = nullptr;
    // Options > "Sieve on the GPU too": a wide-math job takes the GPU that
    // OpenCL offers beside its threads (--device auto); off, the CPU alone.
    QAction* useGpu_ = nullptr;
    bool gpuWanted_ = true;
    // The running job's device; it outlives the job (kept until the next).
    std::shared_ptr<FormDevice> device_;
    int32_t jobExponent_ = 0;  // N of the running job, a resume's from its range record
    QTimer timer_;

    FormModel model_;
    bool running_ = false;
    bool closePending_ = false;
    int priority_ = kPriorityNormal;
    std::shared_ptr<CGfnThread> worker_;
    std::shared_ptr<QtWorkerSink> sink_;
    JobLock jobLock_;  // held from the checks of a start until its end marker
    std::string settingsPath_;
    std::string logPath_;
};

}  // namespace varnesk
