// The factor file of a sieve: banner or continuation at the start, then one
// line per struck base. Kept open between two progress reports.
#pragma once
#include <cstdint>
#include <string>

#include "files/algebraic.h"
#include "files/textfile.h"
#include "kernels/sieve_job.h"

namespace varnesk {

class FactorFile {
public:
    explicit FactorFile(SieveJob& job);
    ~FactorFile();
    FactorFile(const FactorFile&) = delete;
    FactorFile& operator=(const FactorFile&) = delete;
    // The continuation text when the file was there before the job began
    // (JobLock::OriginOf; without a lock of this process, when it exists),
    // else the banner, the file replaced whole. False
    // after posting "Unable to open output factor file %s.". Then the
    // algebraic record beside it: the odd-power bases of the candidate set
    // (a record that cannot be written is posted, and the sieve goes on).
    bool Start();
    // How many of the recorded odd-power bases are still candidates.
    bool HasAlgebraic() const { return !algebraic_.Bases().empty(); }
    int32_t AlgebraicLeft() const { return algebraic_.Left(job_); }
    // Opens for appending when not open. False after posting the message.
    bool EnsureOpen();
    bool IsOpen() const { return file_.Stream() != nullptr; }
    // "%I64d | %d^%d+1\n" with p, b and the job's N. The file must be open.
    // Lines reach the file whole, in large writes, so that a process killed
    // between two writes leaves no line cut short.
    void WriteFactor(UInt128 p, int32_t b);
    // Writes what is pending, syncs and closes (progress reports and the stop
    // path). False when a line written since the last close may be lost: the
    // candidate file must then not be saved past those strikes.
    bool Close();

private:
    bool WritePending();

    void RecordAlgebraicBases();

    SieveJob& job_;
    TextFileC file_;
    AlgebraicBases algebraic_;
    std::string pending_;
    bool writeFailed_ = false;
};

}  // namespace varnesk
