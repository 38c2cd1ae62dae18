#include "gpu/selfcheck.h"

#include "engine/blockfill.h"
#include "gpu/devicesieve.h"
#include "kernels/modmath2.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk::gpu {

namespace {

constexpr UInt128 kTwo(int e) { return UInt128{1} << e; }

// Rows (p, a, b, e): the edges p - 1 and p - 2 and a few values spread by
// a fixed generator; a base-2 pseudoprime (341) among the moduli.
bool CheckArithmetic(Program& program, bool wide, std::string* why) {
    const std::vector<UInt128> moduli =
        wide ? std::vector<UInt128>{97, kTwo(64) + 13, kTwo(79) - 67, kTwo(95) + 1, kTwo(96) - 17}
             : std::vector<UInt128>{193, 341, kTwo(52) + 21, kTwo(63) + 29, kTwo(64) - 59};
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state ^ (state >> 29);
    };
    std::vector<UInt128> rows;
    for (UInt128 p : moduli) {
        auto draw = [&] { return (static_cast<UInt128>(next()) << 64 | next()) % p; };
        rows.insert(rows.end(), {p, p - 1, p - 2, p - 1});
        for (int i = 0; i < 3; ++i) rows.insert(rows.end(), {p, draw(), draw(), draw()});
    }
    std::vector<UInt128> out;
    std::string error;
    const char* name = wide ? "arith96" : "arith64";
    if (!DeviceArithmetic(program, wide, rows, &out, &error)) {
        *why = std::string(name) + " did not run: " + error;
        return false;
    }
    for (size_t i = 0; i + 3 < rows.size(); i += 4) {
        const UInt128 p = rows[i], a = rows[i + 1], b = rows[i + 2], e = rows[i + 3];
        const UInt128 want[4] = {MulModRef128(a, b, p), PowModRef128(a, e, p), (a + b) % p, PowModRef128(2, p - 1, p) == 1 ? 1u : 0u};
        static const char* const what[4] = {"a product", "a power", "a sum", "the Fermat test"};
        for (int j = 0; j < 4; ++j)
            if (out[i + static_cast<size_t>(j)] != want[j]) {
                *why = StringPrintf("%s gives %s wrong for p = %s", name, what[j], FormatUInt128(p).c_str());
                return false;
            }
    }
    return true;
}

// Blocks of about sixteen primes each, from kFrom on.
void AddBlocks(std::vector<Segment>& segs, UInt128 kFrom, int64_t twoN, int blocks) {
    for (int i = 0; i < blocks; ++i) {
        Segment seg;
        seg.kFrom = kFrom;
        kFrom += static_cast<UInt128>(BatchSpan(kFrom, twoN, 16));
        seg.kTo = kFrom;
        segs.push_back(std::move(seg));
    }
}

// A slot as the CPU's: a full list from the device has the host list the
// roots itself, and one it could not complete is the CPU's to complete.
bool SameSlot(const PrimeSlot& d, const PrimeSlot& c, std::string* why) {
    if (d.k != c.k) {
        *why = StringPrintf("the device's primes are not the CPU's (p = %s where the CPU has p = %s)",
                            FormatUInt128(d.p).c_str(), FormatUInt128(c.p).c_str());
        return false;
    }
    if (d.outcome == PrimeSlot::kPrime) return true;
    if (d.outcome == PrimeSlot::kListFull && (c.outcome == PrimeSlot::kRoots || c.outcome == PrimeSlot::kListFull)) {
        if (d.a == c.a) return true;
    } else if (d.outcome == c.outcome && (c.outcome != PrimeSlot::kRoots ||
                                          (d.a == c.a && d.rootCount == c.rootCount &&
                                           std::equal(c.roots.begin(), c.roots.begin() + c.rootCount, d.roots.begin())))) {
        return true;
    }
    *why = StringPrintf("the device's solution or bases for p = %s are not the CPU's (%d bases where the CPU finds %d)",
                        FormatUInt128(c.p).c_str(), d.rootCount, c.rootCount);
    return false;
}

// N = 4096 and bases to 2^20 at p near 2^32: about one hit a prime, walks
// of four chunks. The narrow batch runs the 64-bit prime search and the
// walks below 2^63 and from 2^63 to 2^64 (a block just below 2^64, where no
// base is a hit but the walks' ends are checked); the same first block
// beside one across 2^64 and one above 2^80 runs the wide prime search and
// the walks above 2^64 and above 2^80.
bool CheckBlocks(Program& program, std::string* why) {
    const SegmentJobInfo info{4096, 12, 2, 1 << 20};
    const int64_t twoN = 2 * int64_t{info.exponent};
    SieveJob job;
    KernelContext kernels;
    if (!StartBlockKernels(info, KernelPath::Scalar, job, kernels)) {
        *why = "the CPU's kernels would not start";
        return false;
    }
    BlockSieve cpu(kernels, twoN, info.exponentLog2, SlotRoots(info.exponent));
    std::string error;
    std::unique_ptr<DeviceSieve> device = DeviceSieve::Open(program, info, &error);
    if (!device) {
        *why = error;
        return false;
    }
    const UInt128 narrowFrom = kTwo(32) / static_cast<UInt128>(twoN);
    const UInt128 wideFrom = kTwo(64) / static_cast<UInt128>(twoN) - 40;
    std::vector<Segment> narrow, wide;
    AddBlocks(narrow, narrowFrom, twoN, 4);
    AddBlocks(narrow, wideFrom - 400, twoN, 1);
    AddBlocks(wide, narrowFrom, twoN, 1);
    AddBlocks(wide, wideFrom, twoN, 1);
    AddBlocks(wide, kTwo(80) / static_cast<UInt128>(twoN), twoN, 1);
    int64_t hits = 0;
    for (std::vector<Segment>* segs : {&narrow, &wide}) {
        std::vector<Segment> theirs = *segs;
        std::vector<Segment*> batch;
        for (Segment& seg : *segs) batch.push_back(&seg);
        if (!device->Fill(batch, &error)) {
            *why = error;
            return false;
        }
        for (size_t i = 0; i < segs->size(); ++i) {
            const Segment& mine = (*segs)[i];
            cpu.Fill(theirs[i]);
            if (mine.count != theirs[i].count) {
                *why = StringPrintf("the device finds %d probable primes where the CPU finds %d", mine.count,
                                    theirs[i].count);
                return false;
            }
            for (int s = 0; s < mine.count; ++s) {
                const PrimeSlot& c = theirs[i].slots[static_cast<size_t>(s)];
                if (!SameSlot(mine.slots[static_cast<size_t>(s)], c, why)) return false;
                hits += c.outcome == PrimeSlot::kRoots ? c.rootCount : 0;
            }
        }
    }
    // The case must show hits to check them: a property of the case, not
    // of the device.
    if (hits == 0) {
        *why = "the self-check's case has no hits";
        return false;
    }
    return true;
}

}  // namespace

bool SelfCheck(Program& program, std::string* why) {
    return CheckArithmetic(program, false, why) && CheckArithmetic(program, true, why) && CheckBlocks(program, why);
}

std::unique_ptr<Program> OpenCheckedProgram(const DeviceInfo& device, const ProgramOptions& options,
                                            std::vector<std::string>* log, std::string* error) {
    std::unique_ptr<Program> program = Program::Open(device, options, log, error);
    if (!program) return nullptr;
    std::string why;
    if (SelfCheck(*program, &why)) return program;
    if (program->FromCache()) {
        const bool removed = program->RemoveCache();
        if (log)
            log->push_back("The cached OpenCL kernels " + program->CachePath() + " failed their self-check (" + why +
                           (removed ? "); removed, they are built again from source."
                                    : "); they cannot be removed, and are built again from source."));
        ProgramOptions fresh = options;
        fresh.useCache = false;
        program = Program::Open(device, fresh, log, error);
        if (!program) return nullptr;
        if (SelfCheck(*program, &why)) return program;
    }
    // What the driver makes of the source itself is wrong: never cached.
    program->RemoveCache();
    *error = "its kernels, built from source, failed their self-check (" + why + ")";
    return nullptr;
}

}  // namespace varnesk::gpu
