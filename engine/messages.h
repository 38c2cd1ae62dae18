// The refusals that both front ends show before a job starts, word for word
// as users and their scripts know them (typos and missing full stops kept).
#pragma once

namespace varnesk::messages {

inline constexpr const char* kPackedKRequired =
    "A packed K file specification is required when not in wide math mode.";
inline constexpr const char* kFactorFileRequired = "A factoring output file name is required.";
inline constexpr const char* kOutputFileRequired = "An output file name is required.";
inline constexpr const char* kInputFileRequired = "An input file name is required.";
inline constexpr const char* kInputFileMissing = "Input File %s does not exist.";
inline constexpr const char* kExponentNotPowerOfTwo = "Exponent %d is not a proper power of 2 for GFN testing.";
inline constexpr const char* kBMinRequired = "A minimum b value is required.";
inline constexpr const char* kBMaxRequired = "A maximum b value is required";
inline constexpr const char* kBRangeEmpty = "The maximum b value must be greater than the minimum B value.";
// With the sieve's limit of bases (kMaxBase).
inline constexpr const char* kBMaxTooLarge = "The maximum b value must be less than %d.";
// The wide sieve walks bMin, bMin + 2, ... and strikes even bases only: an
// odd bMin would sieve for nothing. With bMin and bMin + 1.
inline constexpr const char* kBMinOddForWideMath =
    "The minimum b value %d is odd: the wide math sieve strikes even bases only, so this job would strike nothing. "
    "Use %d as the minimum b value.";
inline constexpr const char* kStartPTooSmall = "Start/Stop P specified.  Starting P must be > 4";
inline constexpr const char* kEndPTooSmall = "Start/Stop P specified.  Ending P must be > 4";
inline constexpr const char* kStartPIgnored =
    "Start/Stop P specified with a new sieve, the starting P value will be ignored";
inline constexpr const char* kStandardBeyond =
    "Standard math sieves below 2^63 only (P 9223372036854775808); use the wide math sieve beyond it.";
inline constexpr const char* kInvalidSieveType = "Invalid Sieve Type selected.";
inline constexpr const char* kPackedDirectoryRequired = "A packed file directory name is required.";
inline constexpr const char* kPackedExponentTooSmall = "The minimum exponent supported by this sieve is 8192.";

// A resume from a file whose every base was struck: a normal end, the file
// left as it is.
inline constexpr const char* kNothingLeftToSieve =
    "Input file %s holds no candidates: every base has a factor, so nothing is left to sieve.";

}  // namespace varnesk::messages
