// The form's rules that need no window: the exponent test, the names of the
// files beside the program, the window title, the settings file writer.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/numparse.h"

namespace varnesk {

inline constexpr char kTextFileFilter[] = "Text Files (*.txt);;All Files (*)";
inline constexpr char kPackedKFilter[] = "Packed K Files (*.pkk);;All Files (*)";
inline constexpr char kBanner[] = "Varnesk Build 306";
inline constexpr char kSettingsSection[] = "Parameters";

// N passes when it is 2^n for some n from 1 to 30; *n then holds n.
bool ExponentTest(int32_t exponent, int32_t* n);

// A file beside the program with the program's name: a three-letter
// extension ("varnesk.exe") is replaced, a name without one gets ".ext".
// Empty when the program path is empty.
std::string SideFilePath(const std::string& programPath, const char* extension);

// Where the desktop program keeps its settings and its log. A program run
// from a folder the user may write (a build folder) keeps them beside
// itself; an installed one (a folder it cannot write, or a system program
// folder, which root could write but must not litter) uses
// configFolder/varnesk.ini and stateFolder/varnesk.log.
struct SettingsAndLogPaths {
    std::string settings;
    std::string log;
    bool besideProgram = true;
};
SettingsAndLogPaths ChooseSettingsAndLogPaths(const std::string& programPath, const std::string& configFolder,
                                              const std::string& stateFolder);
// Where the statistics panel remembers its own values: beside the settings
// file, which the form writes but never reads ("varnesk.ini" gives
// "varnesk-panel.ini"). Empty when the settings path is.
std::string PanelSettingsPath(const std::string& settingsPath);
// True for the folders that installed programs live in: /usr/bin,
// /usr/local/bin, /bin and the configured installation folder.
bool IsSystemProgramFolder(const std::string& folder);

// The folder that holds a chosen file, without a final '/': everything up
// to the last '/'. A file in the root gives "/", a name without any '/'
// gives "".
std::string DirectoryOfChosenFile(const std::string& path);

// "64 Bit Hollowmere - CPU=<vendor> Family.Model.Step=f.m.s"; the vendor
// text ends at its first zero byte or after 12 characters.
std::string BuildDocumentTitle(const char* vendor, int32_t family, int32_t model, int32_t stepping);
// The same for the processor the program runs on.
std::string DocumentTitleForThisCpu();

// True when both names exist and name the same file.
bool SameExistingFile(const std::string& a, const std::string& b);

// A private-profile text ([section] headers, key=value lines) with one key
// set: the key's line replaced in place, or added at the end of its section,
// or a new section appended. Sections and keys match without regard to case.
std::string UpdateProfileText(const std::string& content, const std::string& section, const std::string& key,
                              const std::string& value);
// Sets one key in a profile file, replacing the file atomically; the file
// and the section are created when missing. False when the write failed.
bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

// The key=value lines of one section of a profile file, in file order
// (keys as written); none when the file cannot be read. A missing section
// gives an empty list.
std::optional<std::vector<std::pair<std::string, std::string>>> ReadProfileSection(const std::string& path,
                                                                                    const std::string& section,
                                                                                    int* error = nullptr);

// A job's fields as the settings file keeps them.
struct SavedJob {
    std::string factorFile, inputFile, outputFile;
    int32_t bMax = 0, bMin = 0, exponent = 0, minutesPerSave = 60;
    int32_t mode = 0;
    bool useStartStop = false;
    UInt128 startP = 0, stopP = 0;
};
// The keys of the "Parameters" section in the order they are written: the
// seven that every settings file holds first, then the mode and the
// Start/Stop values.
std::vector<std::pair<std::string, std::string>> SettingsOf(const SavedJob& job);
// The last job from a settings file. Without one, why says what is amiss
// and missing tells a file that is not there from one that is damaged.
std::optional<SavedJob> ReadSavedJob(const std::string& path, std::string& why, bool& missing);

// Appends "line\n" to a log file; false when it could not be opened.
bool AppendLogLine(const std::string& path, const std::string& line);

// Creates an empty file, replacing nothing (the caller deleted any old one).
bool CreateEmptyFile(const std::string& path);

}  // namespace varnesk
