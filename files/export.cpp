#include "files/export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "files/algebraic.h"
#include "files/candidates.h"
#include "files/textfile.h"
#include "kernels/kernels.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {

// Calls fn(b) for every base of the candidate set in ascending order,
// skipping empty words: a bitmap may span 2^31 bits.
template <typename Fn>
void ForEachBase(const SieveJob& job, Fn fn) {
    const std::vector<uint32_t>& words = job.candidateBitmap;
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint32_t bits = words[w]; bits != 0; bits &= bits - 1) {
            int64_t b = static_cast<int64_t>(w) * 32 + __builtin_ctz(bits);
            if (b > job.bMax) return;
            fn(static_cast<int32_t>(b));
        }
    }
}

int32_t PowerOfTwoLog2(int32_t b) {
    if (b < 2 || (b & (b - 1)) != 0) return 0;
    return __builtin_ctz(static_cast<uint32_t>(b));
}

// A path in a comment line must not end the comment.
std::string Printable(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return s;
}

std::string RefusalText(unsigned refusals, int32_t b, int32_t exponent) {
    std::string s;
    auto add = [&](const std::string& reason) {
        if (!s.empty()) s += ", ";
        s += reason;
    };
    if (refusals & kRefusedOdd) add("odd");
    if (refusals & kRefusedBelowMin) add(StringPrintf("below %d", kGeneferMinBase));
    if (refusals & kRefusedAboveMax) add(StringPrintf("above %d", kGeneferMaxBase));
    if (refusals & kRefusedPowerOfTwo) add("a power of two (" + PowerOfTwoNote(b, exponent) + ")");
    return s;
}

// The odd powers and squares of the source, met in ascending order as the
// bases go by.
class PowerLookup {
public:
    explicit PowerLookup(const SieveJob& job) : powers_(PowerBasesIn(job.bMin, job.bMax)) {}
    const BaseForms* Find(int32_t b) {
        while (next_ < powers_.size() && powers_[next_].b < static_cast<uint64_t>(b)) ++next_;
        return next_ < powers_.size() && powers_[next_].b == static_cast<uint64_t>(b) ? &powers_[next_] : nullptr;
    }
    void Rewind() { next_ = 0; }

private:
    std::vector<BaseForms> powers_;
    size_t next_ = 0;
};

enum class Drop { None, OddPower, Square };

Drop DropOf(const BaseForms* forms, const ExportOptions& options) {
    if (!forms) return Drop::None;
    if (forms->OddPower() && !options.keepAlgebraic) return Drop::OddPower;
    if (forms->Square() && options.dropSquares) return Drop::Square;
    return Drop::None;
}

// What a genefer script does with a base it does not drop.
enum class GeneferFate { Test, TestBeyondLimit, Refused, Odd, One };

GeneferFate FateOf(int32_t b, int32_t n) {
    if (b == 1) return GeneferFate::One;  // 1^N+1 = 2: prime, and nothing for genefer
    if (b & 1) return GeneferFate::Odd;
    if (!GeneferTakesExponentLog2(n) || GeneferRefusals(b) != 0) return GeneferFate::Refused;
    return b > GeneferCpuLimit(n) ? GeneferFate::TestBeyondLimit : GeneferFate::Test;
}

// Every count of the report, the bases' notes, in one walk.
void Tally(const ExportSource& source, ExportFormat format, const ExportOptions& options, ExportReport* r) {
    const SieveJob& job = source.job;
    r->candidates = job.candidateCount;
    PowerLookup powers(job);
    ForEachBase(job, [&](int32_t b) {
        const BaseForms* forms = powers.Find(b);
        if (forms && forms->OddPower()) ++r->oddPowers;
        const Drop drop = DropOf(forms, options);
        if (drop == Drop::OddPower) {
            ++r->oddPowersDropped;
            return;
        }
        if (forms && forms->Square()) ++r->squares;
        if (drop == Drop::Square) {
            ++r->squaresDropped;
            r->droppedSquares.push_back(SquareNote(b, job.exponent));
            return;
        }
        if (forms && forms->OddPower()) ++r->oddPowersKept;
        std::string note = PowerOfTwoNote(b, job.exponent);
        if (!note.empty()) r->notes.push_back(std::move(note));
        if (format != ExportFormat::Genefer) {
            ++r->written;
            return;
        }
        switch (FateOf(b, job.exponentLog2)) {
        case GeneferFate::Test: ++r->written; break;
        case GeneferFate::TestBeyondLimit:
            ++r->written;
            ++r->beyondCpuLimit;
            break;
        case GeneferFate::Refused: ++r->refused; break;
        case GeneferFate::Odd: ++r->oddBases; break;
        case GeneferFate::One: r->baseOne = true; break;
        }
    });
}

std::string Plural(int32_t count, const char* one, const char* many) {
    return StringPrintf("%d %s", count, count == 1 ? one : many);
}

// The script's own part: the batch around genefer. A test's verdict is the
// line genefer appends to its results file; genefer exits 0 when it is
// interrupted (after saving its checkpoint) and when a validation fails, so
// the exit status tells nothing and the results file is read instead.
constexpr const char* kScriptFunctions = R"SH(N=%d
n=%d
stop=
checking=

# A verdict on $1^N+1 in genefer's results file: a line naming the number that
# says prime or composite and reports no terminated or failed test.
has_verdict() {
	[ -f "$RESULTS" ] || return 1
	grep -E "(^|[^0-9])$1\\^$N\\+1([^0-9]|\$)" "$RESULTS" | grep -v -e terminated -e 'validation failed' |
		grep -q -i -e prime -e composite
}

stopped() {
	echo "Stopped by SIG$stop before the verdict on $1^$N+1: run the script again to go on from there." >> "$LOG"
	echo "Stopped by SIG$stop: run the script again to go on; genefer resumes from its checkpoint." >&2
	exit "$code"
}

test_base() {
	[ "$1" -ge "${FROM:-0}" ] && [ "$1" -le "${TO:-2147483647}" ] || return 0
	if [ -n "$checking" ]; then
		echo "$1"
		return 0
	fi
	[ -z "$stop" ] || stopped "$1"
	if has_verdict "$1"; then
		skipped=$((skipped + 1))
		return 0
	fi
	[ -z "$stop" ] || stopped "$1"
	echo "== $1^$N+1: $GENEFER $GENEFER_OPTS -q -b $1 -n $n ($(date))" >> "$LOG"
	echo "Testing b = $1: $GENEFER $GENEFER_OPTS -q -b $1 -n $n"
	"$GENEFER" $GENEFER_OPTS -q -b "$1" -n "$n" < /dev/null >> "$LOG" 2>&1
	status=$?
	echo "== $1^$N+1: exit status $status" >> "$LOG"
	[ -z "$stop" ] || stopped "$1"
	tested=$((tested + 1))
	has_verdict "$1" || echo "No verdict on b = $1 in $RESULTS (exit status $status); see $LOG." >&2
}

# Every base of the list without a verdict, with what genefer said of it.
check() {
	checking=1
	bases | awk -v N="$N" -v results="$RESULTS" -v logfile="$LOG" '
	BEGIN {
		pat = "[0-9]+\\^" N "\\+1"
		while ((getline line < results) > 0) {
			rest = line
			while (match(rest, pat)) {
				b = substr(rest, RSTART, RLENGTH)
				b = substr(b, 1, index(b, "^") - 1)
				if (line ~ /validation failed/) failed[b] = 1
				else if (line ~ /terminated/) term[b] = 1
				else if (tolower(line) ~ /prime|composite/) verdict[b] = 1
				rest = substr(rest, RSTART + RLENGTH)
			}
		}
		while ((getline line < logfile) > 0) {
			if (line ~ /^== [0-9]+\^/) {
				cur = substr(line, 4)
				cur = substr(cur, 1, index(cur, "^") - 1)
			} else if (cur != "" && line ~ /validation failed/) failed[cur] = 1
			else if (cur != "" && line ~ /terminated/) term[cur] = 1
		}
	}
	{
		total++
		if ($1 in verdict) { ok++; next }
		why = "no verdict"
		if ($1 in failed) why = "validation failed!"
		else if ($1 in term) why = "terminated"
		print $1 "^" N "+1: " why
	}
	END {
		if (ok == total) printf "All %%d tests have a verdict in %%s.\n", total, results
		else printf "%%d of %%d tests have a verdict in %%s; run the script again for the others.\n", ok, total, results
		exit ok != total
	}'
}

)SH";

constexpr const char* kScriptMain = R"SH(
case ${1-} in
check)
	check
	exit
	;;
'') ;;
*)
	echo "Usage: sh $0 [check]" >&2
	exit 2
	;;
esac
if ! command -v "$GENEFER" > /dev/null 2>&1; then
	echo "$GENEFER: not found; put genefer on the PATH or set GENEFER to the program." >&2
	exit 127
fi
trap 'stop=INT code=130' INT
trap 'stop=TERM code=143' TERM
tested=0
skipped=0
bases
echo "$tested tests run, $skipped skipped (their verdict was in $RESULTS)." | tee -a "$LOG"
check
)SH";

// A base's comment in the script, or its test line.
std::string GeneferLine(int32_t b, const BaseForms* forms, Drop drop, const SieveJob& job, GeneferFate fate) {
    const int32_t N = job.exponent;
    if (drop == Drop::OddPower)
        return StringPrintf("# b = %d dropped: %" PRIu64 "^%d+1 divides %d^%d+1, composite\n", b, forms->c, N, b, N);
    if (drop == Drop::Square) return StringPrintf("# b = %d dropped: %s\n", b, SquareNote(b, N).c_str());
    switch (fate) {
    case GeneferFate::Odd: return StringPrintf("# b = %d: %d^%d+1 is even, composite\n", b, b, N);
    case GeneferFate::One: return StringPrintf("# b = 1: 1^%d+1 = 2, prime; nothing to test\n", N);
    case GeneferFate::Refused:
        if (GeneferRefusals(b) == 0) return StringPrintf("# test_base %d\n", b);  // n is out of range
        return StringPrintf("# genefer refuses b = %d: %s\n", b, RefusalText(GeneferRefusals(b), b, N).c_str());
    case GeneferFate::Test:
    case GeneferFate::TestBeyondLimit: break;
    }
    std::string line = StringPrintf("test_base %d", b);
    if (forms && forms->OddPower())
        line += StringPrintf("  # composite: %" PRIu64 "^%d+1 divides it", forms->c, N);
    else if (forms && forms->Square())
        line += "  # " + SquareNote(b, N);
    return line + "\n";
}

bool WriteGenefer(std::FILE* out, const ExportSource& source, const ExportOptions& options, ExportReport* report) {
    const SieveJob& job = source.job;
    const int32_t n = job.exponentLog2;
    const bool exponentTaken = GeneferTakesExponentLog2(n);

    std::string head = "#!/bin/sh\n";
    head += "# genefer tests of the candidate file " + Printable(source.path) + "\n";
    if (source.empty) {
        head += StringPrintf("# N unknown, resume point p = %s, 0 candidates.\n",
                             FormatUInt128(source.resumePoint).c_str());
        head += "# The sieve struck every base: nothing is left to test.\n";
        return std::fputs(head.c_str(), out) >= 0;
    }
    // Only the companions that were written are named.
    const std::string refusedFile = report->refusedFile.empty() ? "" : Printable(BaseName(report->refusedFile));
    const std::string recordFile = report->algebraicRecord.empty() ? "" : Printable(BaseName(report->algebraicRecord));
    head += StringPrintf("# N = %d (genefer -n %d), resume point p = %s, %d candidates:\n", job.exponent, n,
                         FormatUInt128(source.resumePoint).c_str(), job.candidateCount);
    if (exponentTaken) {
        head += "#   " + Plural(report->written, "test", "tests");
        if (report->beyondCpuLimit > 0)
            head += StringPrintf(", %d of them above %" PRId64
                                 ", the b limit of genefer's CPU program for n = %d, in a section of their own",
                                 report->beyondCpuLimit, GeneferCpuLimit(n), n);
        head += ";\n";
        if (report->refused > 0)
            head += "#   " + Plural(report->refused, "base", "bases") + " that genefer refuses, named with the reason" +
                    (refusedFile.empty() ? std::string() : " and written to " + refusedFile + " for another tester") +
                    ";\n";
    } else {
        head += StringPrintf(
            "#   genefer refuses n = %d: it takes n from %d to %d (N = %d to %d). Every line is\n"
            "#   commented out; test these candidates with another program",
            n, kGeneferMinLog2, kGeneferMaxLog2, 1 << kGeneferMinLog2, 1 << kGeneferMaxLog2);
        head += (refusedFile.empty() ? std::string() : " (the even ones are in " + refusedFile + ")") + ";\n";
    }
    if (report->baseOne) head += "#   b = 1: 1^N+1 = 2, prime, nothing to test;\n";
    if (report->oddBases > 0)
        head += "#   " + Plural(report->oddBases, "odd base", "odd bases") + ": b^N+1 is even, composite;\n";
    const std::string listed = recordFile.empty() ? std::string() : "listed in " + recordFile + "; ";
    if (report->oddPowersDropped > 0)
        head += "#   " + Plural(report->oddPowersDropped, "odd power", "odd powers") +
                " b = c^m (m odd) dropped: c^N+1 divides b^N+1 (" + listed + "--keep-algebraic keeps them);\n";
    else if (report->oddPowersKept > 0)
        head += "#   " + Plural(report->oddPowersKept, "odd power", "odd powers") +
                " b = c^m (m odd) kept, though c^N+1 divides b^N+1" +
                (recordFile.empty() ? std::string() : " (listed in " + recordFile + ")") + ";\n";
    if (report->squaresDropped > 0)
        head += "#   " + Plural(report->squaresDropped, "square", "squares") +
                " b = s^2 dropped: b^N+1 = s^(2N)+1 belongs to base s at exponent 2N;\n";
    if (report->squares - report->squaresDropped > 0)
        head += "#   " + Plural(report->squares - report->squaresDropped, "square", "squares") +
                " b = s^2 kept: b^N+1 = s^(2N)+1 is also base s at exponent 2N (--drop-squares drops them);\n";
    if (!report->notes.empty())
        head +=
            "# A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an\n"
            "# algebraic factor; the sieve strikes it only when it finds a factor, as any\n"
            "# other base. genefer refuses them.\n";
    head += "#\n";
    if (report->written == 0) {
        head += "# Nothing here for genefer to test.\n";
        head += "echo 'Nothing here for genefer to test; the comments in this script say why.' >&2\n";
    } else {
        head +=
            "# Run it in the folder where genefer is to keep its files: sh THIS_FILE\n"
            "# genefer appends each verdict to results.txt in that folder (do not redirect\n"
            "# output into it); the script's banners and genefer's own output go to the\n"
            "# log THIS_FILE.log. Ctrl-C or SIGTERM ends the batch once genefer has saved\n"
            "# its checkpoint; run the script again to go on: it resumes the interrupted\n"
            "# test and skips every base whose verdict is in results.txt. At the end, and\n"
            "# with sh THIS_FILE check, it lists every base with no verdict, \"terminated\"\n"
            "# or \"validation failed!\". FROM=b TO=b limits a run to the bases in between.\n"
            "\n"
            "# The program (genefer's other builds, the GPU one among them, have other\n"
            "# names) and the options for every test, e.g. threads or instruction set.\n"
            "GENEFER=${GENEFER:-genefer}\n"
            "GENEFER_OPTS=${GENEFER_OPTS-}\n"
            "RESULTS=${RESULTS:-results.txt}\n"
            "LOG=${LOG:-${0##*/}.log}\n";
        head += StringPrintf(kScriptFunctions, job.exponent, n);
    }
    if (std::fputs(head.c_str(), out) < 0) return false;

    bool ok = true;
    auto put = [&](const std::string& text) {
        if (ok && std::fputs(text.c_str(), out) < 0) ok = false;
    };
    const bool runnable = report->written > 0;
    if (runnable) put("bases() {\n\t:\n");
    PowerLookup powers(job);
    ForEachBase(job, [&](int32_t b) {
        const BaseForms* forms = powers.Find(b);
        const Drop drop = DropOf(forms, options);
        const GeneferFate fate = FateOf(b, n);
        if (drop == Drop::None && fate == GeneferFate::TestBeyondLimit) return;
        std::string line = runnable ? "\t" : "";
        line += GeneferLine(b, forms, drop, job, fate);
        put(line);
    });
    if (report->beyondCpuLimit > 0) {
        put(StringPrintf("\n\t# Above %" PRId64 ", the b limit for n = %d of genefer's CPU program, which warns\n"
                         "\t# that these tests may fail; a failed validation still exits 0, so check them.\n",
                         GeneferCpuLimit(n), n));
        powers.Rewind();
        ForEachBase(job, [&](int32_t b) {
            const BaseForms* forms = powers.Find(b);
            const Drop drop = DropOf(forms, options);
            if (drop != Drop::None || FateOf(b, n) != GeneferFate::TestBeyondLimit) return;
            put("\t");
            put(GeneferLine(b, forms, drop, job, GeneferFate::TestBeyondLimit));
        });
    }
    if (runnable) {
        put("}\n");
        put(kScriptMain);
    }
    return ok;
}

bool WriteList(std::FILE* out, const ExportSource& source, const ExportOptions& options) {
    bool ok = true;
    PowerLookup powers(source.job);
    ForEachBase(source.job, [&](int32_t b) {
        if (DropOf(powers.Find(b), options) != Drop::None) return;
        if (ok && std::fprintf(out, "%d\n", b) < 0) ok = false;
    });
    return ok;
}

// The writer's text, less the dropped bases.
bool WriteAbc(std::FILE* out, const ExportSource& source, const ExportOptions& options) {
    const SieveJob& job = source.job;
    bool ok = std::fprintf(out, "ABC $a^$b+1 // %s\n", FormatUInt128(job.currentP).c_str()) >= 0;
    PowerLookup powers(job);
    ForEachBase(job, [&](int32_t b) {
        if (DropOf(powers.Find(b), options) != Drop::None) return;
        if (ok && std::fprintf(out, "%d %d\n", b, job.exponent) < 0) ok = false;
    });
    return ok;
}

// The writer walks b min's parity only, as the sieve does.
bool BothParities(const SieveJob& job) {
    bool mixed = false;
    const int32_t parity = job.bMin & 1;
    ForEachBase(job, [&](int32_t b) { mixed = mixed || (b & 1) != parity; });
    return mixed;
}

std::string WriteErrorText(int errorNumber) { return "write error: " + ErrorText(errorNumber); }

// Keeps the reader's failure messages, not its pass announcements.
class ReaderMessages : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override {
        const std::string& t = *text;
        if (t.empty() || t.rfind("Getting range", 0) == 0 || t.rfind("Loading", 0) == 0) return;
        if (!joined.empty()) joined += ' ';
        joined += t;
    }
    std::string joined;
};

}  // namespace

bool ParseExportFormat(std::string_view name, ExportFormat* format) {
    if (name == "genefer")
        *format = ExportFormat::Genefer;
    else if (name == "list")
        *format = ExportFormat::List;
    else if (name == "abc")
        *format = ExportFormat::Abc;
    else
        return false;
    return true;
}

unsigned GeneferRefusals(int32_t b) {
    unsigned r = 0;
    if (b & 1) r |= kRefusedOdd;
    if (b < kGeneferMinBase) r |= kRefusedBelowMin;
    if (b > kGeneferMaxBase) r |= kRefusedAboveMax;
    if (PowerOfTwoLog2(b) != 0) r |= kRefusedPowerOfTwo;
    return r;
}

std::string PowerOfTwoNote(int32_t b, int32_t exponent) {
    const int32_t m = PowerOfTwoLog2(b);
    if (m == 0 || exponent < 1) return {};
    const uint64_t total = static_cast<uint64_t>(m) * static_cast<uint32_t>(exponent);  // below 2^36
    std::string s = StringPrintf("%d^%d+1", b, exponent);
    if (b != 2) s += StringPrintf(" = 2^%" PRIu64 "+1", total);
    const int shift = __builtin_ctzll(total);
    const uint64_t odd = total >> shift;
    if (odd == 1) return s + StringPrintf(" is the Fermat number F%d", shift);
    // 2^(qx)+1 with q odd is divisible by 2^x+1.
    return s + StringPrintf(" has the algebraic factor 2^%" PRIu64 "+1", total / odd);
}

bool LoadExportSource(const std::string& path, ExportSource* source, std::string* error) {
    ExportSource s;
    s.path = path;
    ReaderMessages messages;
    s.job.inputFileName = path;
    s.job.form = &messages;
    const int loaded = ReadCandidateFile(s.job);
    s.job.form = nullptr;

    ResumePointScan scan;
    if (!ReadResumePoint(path, s.resumePoint, &scan)) {
        *error = StringPrintf("Unable to open input candidate file %s.", path.c_str());
        return false;
    }
    if (!loaded) {
        *error = messages.joined;
        return false;
    }
    // A header alone: the sieve struck every base.
    s.empty = s.job.exponent == 0;
    // The reader's tables for sieving are not needed here.
    std::vector<uint32_t>().swap(s.job.rootList);
    s.job.currentP = s.resumePoint;
    *source = std::move(s);
    return true;
}

int64_t GeneferCpuLimit(int32_t n) {
    if (n < kGeneferMinLog2 || n > kGeneferMaxLog2) return 0;
    if (n <= 15) return 2000000000;
    if (n == 16) return 1500000000;
    if (n <= 18) return 1000000000;
    static constexpr int64_t kAbove18[] = {65000000, 50000000, 40000000, 30000000, 20000000};  // n = 19..23
    return kAbove18[n - 19];
}

std::string SquareNote(int32_t b, int32_t exponent) {
    if (b < 4 || exponent < 1) return {};
    const BaseForms forms = FormsOf(static_cast<uint64_t>(b));
    if (!forms.Square()) return {};
    const uint64_t total = static_cast<uint64_t>(static_cast<uint32_t>(exponent)) << forms.t;
    return StringPrintf("%d^%d+1 = %" PRIu64 "^%" PRIu64 "+1", b, exponent, forms.s, total);
}

std::string AlgebraicCompanion(const ExportOptions& options) {
    return options.companionBase.empty() ? std::string() : AlgebraicRecordPath(options.companionBase);
}

std::string RefusedCompanion(const ExportOptions& options) {
    return options.companionBase.empty() ? std::string() : options.companionBase + ".refused.abc";
}

bool WriteExportCompanions(const ExportSource& source, ExportFormat format, const ExportOptions& options,
                           ExportReport* report, std::string* error) {
    if (source.empty || options.companionBase.empty()) return true;
    const SieveJob& job = source.job;
    std::vector<BaseForms> oddPowers;
    std::string refused = StringPrintf("ABC $a^$b+1 // %s\n", FormatUInt128(job.currentP).c_str());
    const size_t header = refused.size();
    PowerLookup powers(job);
    ForEachBase(job, [&](int32_t b) {
        const BaseForms* forms = powers.Find(b);
        if (forms && forms->OddPower()) oddPowers.push_back(*forms);
        if (format == ExportFormat::Genefer && DropOf(forms, options) == Drop::None &&
            FateOf(b, job.exponentLog2) == GeneferFate::Refused)
            refused += StringPrintf("%d %d\n", b, job.exponent);
    });
    // An earlier file of the name is replaced, so that none outlives its
    // export. An optional companion that fails is noted and left out.
    auto leftOut = [&](const std::string& path) {
        return std::find(options.leaveOut.begin(), options.leaveOut.end(), path) != options.leaveOut.end();
    };
    auto failed = [&](const char* role, const std::string& path, const std::string& why) {
        if (!options.companionsOptional) {
            *error = "Unable to write " + path + ": " + why;
            return false;
        }
        report->skipped.push_back(StringPrintf("%s %s is not written: %s.", role, path.c_str(), why.c_str()));
        return true;
    };
    const std::string record = AlgebraicCompanion(options);
    if ((!oddPowers.empty() || PathExists(record)) && !leftOut(record)) {
        std::string why;
        if (WriteAlgebraicRecord(record, oddPowers, job.exponent, &why))
            report->algebraicRecord = record;
        else if (!failed("Algebraic record", record, why))
            return false;
    }
    const std::string refusedPath = RefusedCompanion(options);
    if (format == ExportFormat::Genefer && (refused.size() > header || PathExists(refusedPath)) &&
        !leftOut(refusedPath)) {
        int e = 0;
        if (ReplaceFileText(refusedPath, refused, &e))
            report->refusedFile = refusedPath;
        else if (!failed("Refused bases file", refusedPath, ErrorText(e)))
            return false;
    }
    return true;
}

bool WriteExport(std::FILE* out, const ExportSource& source, ExportFormat format, const ExportOptions& options,
                 ExportReport* report, std::string* error) {
    ExportReport r;
    r.algebraicRecord = report->algebraicRecord;
    r.refusedFile = report->refusedFile;
    if (!source.empty) Tally(source, format, options, &r);

    bool ok = false;
    errno = 0;
    switch (format) {
    case ExportFormat::Genefer: ok = WriteGenefer(out, source, options, &r); break;
    case ExportFormat::List: ok = WriteList(out, source, options); break;
    case ExportFormat::Abc:
        if (BothParities(source.job)) {
            *error = StringPrintf(
                "%s holds even and odd bases; the ABC writer, like the sieve, walks only the parity of b min %d. "
                "Use --format list.",
                source.path.c_str(), source.job.bMin);
            return false;
        }
        ok = WriteAbc(out, source, options);
        break;
    }
    int saved = errno;
    if (std::fflush(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok || std::ferror(out)) {
        *error = WriteErrorText(saved != 0 ? saved : EIO);
        return false;
    }
    *report = std::move(r);
    return true;
}

bool WriteExportFile(const std::string& path, const ExportSource& source, ExportFormat format,
                     const ExportOptions& options, ExportReport* report, std::string* error) {
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    if (fd < 0) {
        *error = StringPrintf("Unable to create a file beside %s: %s", path.c_str(), ErrorText(errno).c_str());
        return false;
    }
    struct stat old;
    ::fchmod(fd, (::stat(path.c_str(), &old) == 0 ? old.st_mode : NewFileMode()) & 07777);
    // The stream has a descriptor of its own: fd keeps the temporary (and
    // its lock) until it takes path's place.
    const int streamFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::FILE* out = streamFd < 0 ? nullptr : ::fdopen(streamFd, "w");
    if (!out) {
        *error = StringPrintf("Unable to write %s: %s", temp.c_str(), ErrorText(errno).c_str());
        if (streamFd >= 0) ::close(streamFd);
        CommitTempBeside(fd, temp, path, false);
        return false;
    }

    bool ok = WriteExport(out, source, format, options, report, error);
    if (std::fclose(out) != 0 && ok) {
        *error = WriteErrorText(errno);
        ok = false;
    }
    if (ok && ::fsync(fd) != 0) {
        *error = "sync failed: " + ErrorText(errno);
        ok = false;
    }
    if (!CommitTempBeside(fd, temp, path, ok)) {
        if (ok)
            *error = StringPrintf("Unable to rename %s to %s: %s", temp.c_str(), path.c_str(), ErrorText(errno).c_str());
        return false;
    }
    return true;
}

bool ExportOutputBegins(std::string_view head) {
    if (BeginsAs(head, "#!/bin/sh\n# genefer tests of the candidate file ") || CandidateFileBegins(head)) return true;
    // A list: a first line of digits, or digits cut short.
    const size_t end = std::min(head.find('\n'), head.size());
    return end > 0 && head.substr(0, end).find_first_not_of("0123456789") == std::string_view::npos;
}

void RemoveStaleExportTemps(const std::string& path, const ExportOptions& options) {
    if (!path.empty()) RemoveStaleTempsBeside(path, ExportOutputBegins);
    if (options.companionBase.empty()) return;
    RemoveStaleTempsBeside(AlgebraicCompanion(options), AlgebraicRecordBegins);
    RemoveStaleTempsBeside(RefusedCompanion(options), CandidateFileBegins);
}

}  // namespace varnesk
