// A named file-system object with an existence test, and a text file with a
// line reader that hands out lines in pieces of at most 389 characters.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace varnesk {

class DosObjC {
public:
    DosObjC() = default;
    explicit DosObjC(std::string path) : path_(std::move(path)) {}
    virtual ~DosObjC() = default;
    // 1 when a file or directory of that name exists; an empty path is 0.
    int Exists() const;
    const std::string& Path() const { return path_; }

protected:
    std::string path_;
};

class TextFileC : public DosObjC {
public:
    TextFileC() = default;
    explicit TextFileC(std::string path) : DosObjC(std::move(path)) {}
    ~TextFileC() override;
    TextFileC(const TextFileC&) = delete;
    TextFileC& operator=(const TextFileC&) = delete;

    // Closes any open stream, then opens with an fopen mode ("rt", "wt", "a+t").
    bool Open(const char* mode);
    // 0 with text emptied when no stream is open; otherwise 1, and an empty
    // text means no lines are left.
    int ReadLine(std::string& text);
    // False when closing reported an error: written data may be lost.
    bool Close();
    FILE* Stream() const { return stream_; }

private:
    FILE* stream_ = nullptr;
};

// Replaces path with bytes the way every result file is replaced: written to
// a new, uniquely named file beside it, flushed, synced and renamed over it,
// so that the old file stays whole until the new one is on disk. An existing
// file's permissions are kept. False with *error (an errno value); path is
// then as it was.
bool ReplaceFileText(const std::string& path, std::string_view bytes, int* error);

}  // namespace varnesk
