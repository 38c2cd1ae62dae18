// The survivors of a candidate file handed to primality testers: a genefer
// script, a plain list of bases, or the candidate file re-written.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/sieve_job.h"

namespace varnesk {

enum class ExportFormat { Genefer, List, Abc };

// "genefer", "list" or "abc".
bool ParseExportFormat(std::string_view name, ExportFormat* format);

// What genefer's "-q -b B -n n" form accepts; anything else it refuses, and
// its legacy "B^N+1" form skips the checks and can call a Fermat number prime.
inline constexpr int32_t kGeneferMinBase = 1024;
inline constexpr int32_t kGeneferMaxBase = 2000000000;
inline constexpr int32_t kGeneferMinLog2 = 12;
inline constexpr int32_t kGeneferMaxLog2 = 23;

// Why genefer refuses a base, as a set of bits; 0 when it takes it.
enum GeneferRefusal : unsigned {
    kRefusedOdd = 1,
    kRefusedBelowMin = 2,
    kRefusedAboveMax = 4,
    kRefusedPowerOfTwo = 8,
};
unsigned GeneferRefusals(int32_t b);
inline bool GeneferTakesExponentLog2(int32_t n) { return n >= kGeneferMinLog2 && n <= kGeneferMaxLog2; }

// For b = 2^m (m >= 1): b^N+1 = 2^(mN)+1 is a Fermat number or has a Fermat
// number as algebraic factor, e.g. "8^4096+1 = 2^12288+1 has the algebraic
// factor 2^4096+1". Empty for any other b.
std::string PowerOfTwoNote(int32_t b, int32_t exponent);

struct ExportSource {
    std::string path;  // as the user gave it
    // The sieve reader's candidate set, with currentP set to the resume point
    // so that the candidate writer can write it back.
    SieveJob job;
    UInt128 resumePoint = 0;
    // A header and no candidate: the sieve struck every base. N is unknown.
    bool empty = false;
};

// Reads a candidate file with the sieve's own reader. False with *error set
// to the reader's message when a sieve could not resume from it either.
bool LoadExportSource(const std::string& path, ExportSource* source, std::string* error);

struct ExportReport {
    int32_t candidates = 0;  // bases in the source
    int32_t written = 0;     // genefer: lines that run genefer; else bases written
    int32_t refused = 0;     // genefer: bases left commented out (all when n is out of range)
    std::vector<std::string> notes;  // one PowerOfTwoNote per such base
};

// Writes the export to out. False with *error on a write error or when the
// format cannot hold the source (abc: bases of both parities, which the
// writer, like the sieve, does not walk); then nothing has been written.
bool WriteExport(std::FILE* out, const ExportSource& source, ExportFormat format, ExportReport* report,
                 std::string* error);

// The same into the file path, which is replaced only when the export is
// whole on disk: it goes to a new, uniquely named file beside path, is synced
// and renamed over it. An existing file's permissions are kept.
bool WriteExportFile(const std::string& path, const ExportSource& source, ExportFormat format,
                     ExportReport* report, std::string* error);

}  // namespace varnesk
