#include "ui/formrules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "kernels/sieve_job.h"

#include "kernels/kernels.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

bool ExponentTest(int32_t exponent, int32_t* n) {
    const int32_t power = ExponentLog2(exponent);
    if (power == 0) return false;
    if (n) *n = power;
    return true;
}

std::string SideFilePath(const std::string& programPath, const char* extension) {
    if (programPath.empty()) return std::string();
    size_t slash = programPath.rfind('/');
    std::string_view name(programPath);
    if (slash != std::string::npos) name.remove_prefix(slash + 1);
    const bool hasExtension =
        name.size() > 4 && name[name.size() - 4] == '.' && name.substr(name.size() - 3).find('.') == std::string::npos;
    if (hasExtension) return programPath.substr(0, programPath.size() - 3) + extension;
    return programPath + "." + extension;
}

bool IsSystemProgramFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(folder, ec);
    if (ec) return false;
    for (const char* system : {"/usr/bin", "/usr/local/bin", "/bin", VARNESK_INSTALL_BINDIR}) {
        if (!*system) continue;
        std::error_code ec2;
        if (fs::weakly_canonical(system, ec2) == canonical && !ec2) return true;
    }
    return false;
}

SettingsAndLogPaths ChooseSettingsAndLogPaths(const std::string& programPath, const std::string& configFolder,
                                              const std::string& stateFolder) {
    SettingsAndLogPaths out;
    out.settings = SideFilePath(programPath, "ini");
    out.log = SideFilePath(programPath, "log");
    if (programPath.empty()) return out;
    const std::string folder = DirectoryOfChosenFile(programPath);
    const char* const dir = folder.empty() ? "." : folder.c_str();
    if (::access(dir, W_OK) == 0 && !IsSystemProgramFolder(dir)) return out;
    out.besideProgram = false;
    out.settings = configFolder + "/varnesk.ini";
    out.log = stateFolder + "/varnesk.log";
    return out;
}

std::string PanelSettingsPath(const std::string& settingsPath) {
    if (settingsPath.empty()) return std::string();
    const std::string_view ext = ".ini";
    std::string base = settingsPath;
    if (base.size() > ext.size() && base.compare(base.size() - ext.size(), ext.size(), ext) == 0)
        base.resize(base.size() - ext.size());
    return base + "-panel.ini";
}

std::string DirectoryOfChosenFile(const std::string& path) {
    std::string dir = path;
    while (!dir.empty() && dir.back() != '/') dir.pop_back();
    if (!dir.empty()) dir.pop_back();
    // The root has no name of its own; "/" keeps it usable as a folder.
    if (dir.empty() && !path.empty() && path[0] == '/') dir.assign(1, '/');
    return dir;
}

std::string BuildDocumentTitle(const char* vendor, int32_t family, int32_t model, int32_t stepping) {
    std::string title = "64 Bit Hollowmere - CPU=";
    title.append(vendor, strnlen(vendor, 12));
    title += StringPrintf(" Family.Model.Step=%d.%d.%d", family, model, stepping);
    return title;
}

std::string DocumentTitleForThisCpu() {
    char vendor[16] = {};
    int32_t family = 0, model = 0, stepping = 0;
    GetCpuId(vendor, &family, &model, &stepping);
    return BuildDocumentTitle(vendor, family, model, stepping);
}

bool SameExistingFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    std::error_code ec;
    bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

namespace {
std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The section name of a "[name]" line, or nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
}  // namespace

std::string UpdateProfileText(const std::string& content, const std::string& section, const std::string& key,
                              const std::string& value) {
    std::vector<std::string> lines = SplitLines(content);
    const std::string entry = key + "=" + value;
    size_t start = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionName(lines[i]);
        if (name && SameName(*name, section)) {
            start = i;
            break;
        }
    }
    if (start == lines.size()) {
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else {
        size_t end = start + 1;
        while (end < lines.size() && !SectionName(lines[end])) ++end;
        size_t lastFilled = start;
        bool replaced = false;
        for (size_t i = start + 1; i < end && !replaced; ++i) {
            std::string_view line = Trim(lines[i]);
            if (line.empty()) continue;
            lastFilled = i;
            size_t eq = line.find('=');
            if (line.front() != ';' && eq != std::string_view::npos && SameName(Trim(line.substr(0, eq)), key)) {
                lines[i] = entry;
                replaced = true;
            }
        }
        if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastFilled + 1), entry);
    }
    std::string out;
    for (const auto& line : lines) out += line + "\n";
    return out;
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
    if (path.empty()) return false;
    std::string content;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream all;
            all << in.rdbuf();
            content = all.str();
        }
    }
    const std::string text = UpdateProfileText(content, section, key, value);

    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
    return ok;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ReadProfileSection(const std::string& path,
                                                                                    const std::string& section,
                                                                                    int* error) {
    // A profile is a few lines; anything far larger is not one.
    constexpr std::uintmax_t kMaxProfileBytes = 1 << 20;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    const int refused = status.type() == fs::file_type::none ? (ec ? ec.value() : EACCES)
                        : !fs::exists(status)           ? ENOENT
                        : fs::is_directory(status)      ? EISDIR
                        : !fs::is_regular_file(status)  ? EINVAL
                        : fs::file_size(path, ec) > kMaxProfileBytes ? EFBIG
                                                                     : 0;
    if (refused) {
        if (error) *error = refused;
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = errno ? errno : EACCES;
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    std::vector<std::pair<std::string, std::string>> entries;
    bool inside = false;
    for (const std::string& line : SplitLines(all.str())) {
        if (auto name = SectionName(line)) {
            inside = SameName(*name, section);
            continue;
        }
        const std::string_view text = Trim(line);
        const size_t eq = text.find('=');
        if (!inside || text.empty() || text.front() == ';' || eq == std::string_view::npos) continue;
        entries.emplace_back(std::string(Trim(text.substr(0, eq))), std::string(Trim(text.substr(eq + 1))));
    }
    return entries;
}

namespace {
constexpr const char* kSettingsKeys[] = {"FactorOutputFileName", "SieveInputFileName", "SieveOutputFileName",
                                         "BMax", "BMin", "Exponent", "SaveFileMinutes",
                                         "Mode", "UseStartStop", "StartP", "EndP"};
constexpr size_t kFixedSettingsKeys = 7;
}  // namespace

std::vector<std::pair<std::string, std::string>> SettingsOf(const SavedJob& job) {
    const std::string values[] = {job.factorFile,
                                  job.inputFile,
                                  job.outputFile,
                                  StringPrintf("%d", job.bMax),
                                  StringPrintf("%d", job.bMin),
                                  StringPrintf("%d", job.exponent),
                                  StringPrintf("%d", job.minutesPerSave),
                                  StringPrintf("%d", job.mode),
                                  job.useStartStop ? "1" : "0",
                                  FormatUInt128(job.startP),
                                  FormatUInt128(job.stopP)};
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i < std::size(kSettingsKeys); ++i) out.emplace_back(kSettingsKeys[i], values[i]);
    return out;
}

std::optional<SavedJob> ReadSavedJob(const std::string& path, std::string& why, bool& missing) {
    missing = false;
    int error = 0;
    const auto entries = ReadProfileSection(path, kSettingsSection, &error);
    if (!entries) {
        missing = error == ENOENT;
        why = missing ? "there is no settings file " + path
                      : StringPrintf("the settings file %s cannot be read: %s", path.c_str(), ErrorText(error).c_str());
        return std::nullopt;
    }
    // The first line of a key counts, as it does for the writer.
    std::optional<std::string> found[std::size(kSettingsKeys)];
    for (const auto& [key, value] : *entries)
        for (size_t i = 0; i < std::size(kSettingsKeys); ++i)
            if (!found[i] && SameName(key, kSettingsKeys[i])) found[i] = value;
    for (size_t i = 0; i < kFixedSettingsKeys; ++i)
        if (!found[i]) {
            why = StringPrintf("the settings file %s has no %s in its [%s] section", path.c_str(), kSettingsKeys[i],
                               kSettingsSection);
            return std::nullopt;
        }
    // Files of before the mode and the Start/Stop values were kept.
    for (size_t i = kFixedSettingsKeys; i < std::size(kSettingsKeys); ++i)
        if (!found[i]) found[i] = "0";
    SavedJob job;
    job.factorFile = *found[0];
    job.inputFile = *found[1];
    job.outputFile = *found[2];
    struct Whole {
        size_t key;
        int32_t* value;
        int64_t min, max;
    } const wholes[] = {{3, &job.bMax, INT32_MIN, INT32_MAX}, {4, &job.bMin, INT32_MIN, INT32_MAX},
                        {5, &job.exponent, INT32_MIN, INT32_MAX}, {6, &job.minutesPerSave, 0, INT32_MAX},
                        {7, &job.mode, 0, 1}};
    for (const Whole& w : wholes) {
        const ParsedWide r = ParseWholeNumber(*found[w.key]);
        const int64_t v = r.value > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(r.value);
        const int64_t signedValue = r.negative ? -v : v;
        if (!r.hasDigits || r.overflow || signedValue < w.min || signedValue > w.max) {
            why = StringPrintf("%s=%s in the settings file %s is no value the field takes", kSettingsKeys[w.key],
                               found[w.key]->c_str(), path.c_str());
            return std::nullopt;
        }
        *w.value = static_cast<int32_t>(signedValue);
    }
    UInt128* const ps[] = {&job.startP, &job.stopP};
    for (size_t i = 0; i < 3; ++i) {
        const size_t key = kFixedSettingsKeys + 1 + i;
        const ParsedWide r = ParseWholeNumber(*found[key]);
        const bool flag = i == 0;
        if (!r.hasDigits || r.negative || r.overflow || (flag && r.value > 1)) {
            why = StringPrintf("%s=%s in the settings file %s is no value the field takes", kSettingsKeys[key],
                               found[key]->c_str(), path.c_str());
            return std::nullopt;
        }
        if (flag)
            job.useStartStop = r.value == 1;
        else
            *ps[i - 1] = r.value;
    }
    return job;
}

bool AppendLogLine(const std::string& path, const std::string& line) {
    if (path.empty()) return false;
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return false;
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
    return true;
}

bool CreateEmptyFile(const std::string& path) {
    if (path.empty()) return false;
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    return std::fclose(f) == 0;
}

}  // namespace varnesk
