// The factor file of a sieve: banner or continuation at the start, then one
// line per struck base. Kept open between two progress reports.
#pragma once
#include <cstdint>

#include "files/textfile.h"
#include "kernels/sieve_job.h"

namespace varnesk {

class FactorFile {
public:
    explicit FactorFile(SieveJob& job);
    // The continuation text when the file exists, else the banner. False
    // after posting "Unable to open output factor file %s.".
    bool Start();
    // Opens for appending when not open. False after posting the message.
    bool EnsureOpen();
    bool IsOpen() const { return file_.Stream() != nullptr; }
    // "%I64d | %d^%d+1\n" with p, b and the job's N. The file must be open.
    void WriteFactor(int64_t p, int32_t b);
    // Flushes to disk and closes (progress reports and the stop path).
    void Close();

private:
    SieveJob& job_;
    TextFileC file_;
};

}  // namespace varnesk
