// Shared by every test folder: a scratch folder removed with everything in
// it, whole-file helpers, and a sink that keeps every posted text.
#pragma once
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/post.h"

namespace varnesk::testsupport {

class ScratchFolder {
public:
    explicit ScratchFolder(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        std::string pattern = (base / "varnesk-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return File(name); }
    // Names of everything in the folder, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The files under folder that this process still holds open after their
// last name is gone.
inline int DeletedFilesHeld(const std::string& folder) {
    int held = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind(folder, 0) == 0 && target.ends_with(" (deleted)")) ++held;
    }
    return held;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    return lines;
}

// Keeps everything posted, safe to post to from any thread; an optional
// hook runs on the posting thread for each. The records are kept as values
// and, for tests that read the whole sequence, shown among the log lines as
// "$ count p", "& bMin bMax N" and "@".
class RecordingSink : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override { Keep(*text); }
    void PostProgressRecord(int32_t basesLeft, UInt128 p) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            progress_.push_back({basesLeft, p});
        }
        Keep("$ " + std::to_string(basesLeft) + " " + FormatUInt128(p));
    }
    void PostAlgebraicRecord(int32_t algebraicLeft) override {
        std::lock_guard<std::mutex> lock(mutex_);
        algebraic_.push_back(algebraicLeft);
    }
    // The algebraic counts, each posted just before a progress record.
    std::vector<int32_t> AlgebraicRecords() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return algebraic_;
    }
    void PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) override {
        Keep("& " + std::to_string(bMin) + " " + std::to_string(bMax) + " " + std::to_string(exponent));
    }
    void PostEndMarker(JobOutcome outcome) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            outcomes_.push_back(outcome);
        }
        Keep("@");
    }
    // The outcome of every end marker, in order.
    std::vector<JobOutcome> Outcomes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcomes_;
    }
    struct Progress {
        int32_t basesLeft;
        UInt128 p;
    };
    std::vector<Progress> ProgressRecords() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return progress_;
    }
    void SetHook(std::function<void(const std::string&)> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    // Log lines only: no progress, range or end records.
    std::vector<std::string> Logs() const {
        std::vector<std::string> out;
        for (const auto& t : Texts())
            if (t.empty() || (t[0] != '$' && t[0] != '&' && t[0] != '@')) out.push_back(t);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.clear();
        outcomes_.clear();
        progress_.clear();
        algebraic_.clear();
    }
    bool Has(const std::string& line) const {
        auto texts = Texts();
        return std::find(texts.begin(), texts.end(), line) != texts.end();
    }

private:
    void Keep(const std::string& text) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
            hook = hook_;
        }
        if (hook) hook(text);
    }
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<JobOutcome> outcomes_;
    std::vector<Progress> progress_;
    std::vector<int32_t> algebraic_;
    std::function<void(const std::string&)> hook_;
};

}  // namespace varnesk::testsupport
