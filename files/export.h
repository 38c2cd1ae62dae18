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

// The b above which genefer's CPU program warns that a test "may fail", by
// n; 0 outside genefer's range of n.
int64_t GeneferCpuLimit(int32_t n);

// For b = 2^m (m >= 1): b^N+1 = 2^(mN)+1 is a Fermat number or has a Fermat
// number as algebraic factor, e.g. "8^4096+1 = 2^12288+1 has the algebraic
// factor 2^4096+1". Empty for any other b.
std::string PowerOfTwoNote(int32_t b, int32_t exponent);

// For b = s^(2^t): "1156^4096+1 = 34^8192+1", the base and exponent under
// which a search meets the same number. Empty for any other b.
std::string SquareNote(int32_t b, int32_t exponent);

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

// What an export leaves out besides the bases a tester cannot take. The
// candidate file itself is never changed: the removals are the export's.
struct ExportOptions {
    bool keepAlgebraic = false;  // keep b = c^m (m odd, m > 1), which cannot be prime
    bool dropSquares = false;    // drop b = s^2, the number s^(2N)+1 of another search
    // The files that go with the export are named after it: base +
    // ".algebraic" (the odd-power bases) and, for genefer, base +
    // ".refused.abc" (what genefer refuses, for another tester). Empty:
    // none is written.
    std::string companionBase;
    // Beside an export to standard output the companions are a convenience:
    // one that cannot be written is left out with a note (ExportReport::
    // skipped) rather than failing the export.
    bool companionsOptional = false;
    // Companions not to write at all, by path (their lock could not be had).
    std::vector<std::string> leaveOut;
};

struct ExportReport {
    int32_t candidates = 0;  // bases in the source
    int32_t written = 0;     // genefer: bases the script tests; else bases written
    int32_t refused = 0;     // genefer: even bases it refuses (every one when n is out of its range)
    int32_t oddBases = 0;    // genefer: odd bases above 1, whose b^N+1 is even
    bool baseOne = false;    // genefer: b = 1 is a candidate (1^N+1 = 2, prime)
    int32_t beyondCpuLimit = 0;  // genefer: tested bases above the CPU program's b limit
    int32_t oddPowers = 0;   // bases c^m (m odd, m > 1)
    int32_t oddPowersDropped = 0;
    int32_t oddPowersKept = 0;  // odd powers exported: dropped neither as odd powers nor as squares
    int32_t squares = 0;     // bases s^2, not counting those dropped as odd powers
    int32_t squaresDropped = 0;
    std::vector<std::string> notes;           // one PowerOfTwoNote per such base exported
    std::vector<std::string> droppedSquares;  // one SquareNote per square dropped
    // The companion files that were written (empty: none).
    std::string algebraicRecord;
    std::string refusedFile;
    // Optional companions that could not be written: "Algebraic record %s
    // is not written: <the system's reason>." each.
    std::vector<std::string> skipped;
};

// Where the companions of an export go: the odd-power record, and for
// genefer the refused bases. Nothing is named for an empty source.
std::string AlgebraicCompanion(const ExportOptions& options);
std::string RefusedCompanion(const ExportOptions& options);

// Writes the export to out. False with *error on a write error or when the
// format cannot hold the source (abc: bases of both parities, which the
// writer, like the sieve, does not walk); then nothing has been written.
bool WriteExport(std::FILE* out, const ExportSource& source, ExportFormat format, const ExportOptions& options,
                 ExportReport* report, std::string* error);

// The companion files, each replaced whole, and only when it has a line to
// hold or an earlier one of its name is there to be replaced. Written
// before the export that names them. False with *error (an optional one
// that fails is noted in report->skipped instead).
bool WriteExportCompanions(const ExportSource& source, ExportFormat format, const ExportOptions& options,
                           ExportReport* report, std::string* error);

// The same into the file path, which is replaced only when the export is
// whole on disk: it goes to a new, uniquely named file beside path
// (CreateTempBeside), is synced and renamed over it. An existing file's
// permissions are kept.
bool WriteExportFile(const std::string& path, const ExportSource& source, ExportFormat format,
                     const ExportOptions& options, ExportReport* report, std::string* error);

// True when head, the first bytes of a file, begins as an export's output
// does (a genefer script, a list of bases, an ABC file).
bool ExportOutputBegins(std::string_view head);

// Removes what exports killed midway left beside path (empty: standard
// output) and beside the companions of options: only unheld temporaries of
// ours that begin as their kind of file does.
void RemoveStaleExportTemps(const std::string& path, const ExportOptions& options);

}  // namespace varnesk
