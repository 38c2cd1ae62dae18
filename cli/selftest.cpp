#include "cli/selftest.h"

#include <chrono>
#include <string>
#include <vector>

#include "engine/selftest.h"
#include "gpu/selftest.h"
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"

namespace varnesk::cli {

namespace {

std::string PowerText(int32_t e) { return e < 1024 ? std::to_string(e) : "2^" + std::to_string(ExponentLog2(e)); }

// "2-64 2^12": runs of three or more powers in a row as their ends, so
// that a row stays short.
std::string ExponentsText(const std::vector<int32_t>& exponents) {
    std::string text;
    for (size_t i = 0; i < exponents.size();) {
        size_t j = i;
        while (j + 1 < exponents.size() && exponents[j + 1] == 2 * exponents[j]) ++j;
        if (!text.empty()) text += ' ';
        if (j >= i + 2) {
            text += PowerText(exponents[i]) + "-" + PowerText(exponents[j]);
            i = j + 1;
        } else {
            text += PowerText(exponents[i++]);
        }
    }
    return text;
}

void PrintRow(const SelfTestPlan& plan, const SelfTestRow& row, std::FILE* out) {
    for (int s = 0; s < kSelfTestSizes; ++s) {
        const SelfTestCell& cell = row.cells[s];
        if (!cell.ran) continue;
        std::fprintf(out, "%-8s < 2^%-3d %-18s %7lld %8lld  %s\n", row.name.c_str(), kSelfTestSizeBits[s],
                     ExponentsText(plan.exponents[s]).c_str(), static_cast<long long>(cell.primes),
                     static_cast<long long>(cell.factors), cell.agrees ? "agree" : "DISAGREE");
    }
    if (!row.note.empty()) std::fprintf(out, "%s: %s.\n", row.name.c_str(), row.note.c_str());
    std::fflush(out);
}

}  // namespace

int RunSelfTest(const CliOptions& o, std::FILE* out, std::FILE* err) {
    // Every path this CPU has, unless --kernel names one (a path it lacks is
    // then refused, as a sieve refuses it).
    std::vector<KernelPath> paths;
    std::vector<std::string> skipped;
    if (!o.kernel.empty()) {
        std::string error;
        const KernelPath path = ResolveKernelPath(o.kernel, &error);
        if (!error.empty()) {
            std::fprintf(err, "varnesk-cli: %s\n", error.c_str());
            return 2;
        }
        paths.push_back(path);
    } else {
        for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
            if (KernelPathAvailable(path))
                paths.push_back(path);
            else
                skipped.push_back(std::string(KernelPathName(path)) + ": not on this CPU or build; skipped.");
        }
    }
    gpu::SelfTestDevice device = gpu::OpenSelfTestDevice(o.device);
    if (!device.ok) {
        std::fprintf(err, "varnesk-cli: %s\n", device.error.c_str());
        return 2;
    }
    for (const std::string& line : device.log) std::fprintf(err, "%s\n", line.c_str());

    const auto start = std::chrono::steady_clock::now();
    std::fprintf(out, "Self-test%s: the plain reference lists the runs' primes and bases ...\n",
                 o.quick ? " (quick)" : "");
    std::fflush(out);
    const SelfTestPlan plan = MakeSelfTestPlan(o.quick);
    int64_t primes = 0, factors = 0, known = 0;
    for (int s = 0; s < kSelfTestSizes; ++s) {
        primes += plan.primes[s];
        factors += plan.factors[s];
        known += plan.known[s];
    }
    std::fprintf(out,
                 "%zu runs of k, %lld of them around known factors p | b^N+1: %lld probable primes and %lld "
                 "bases b with b^N = -1 (mod p).\n",
                 plan.cases.size(), static_cast<long long>(known), static_cast<long long>(primes),
                 static_cast<long long>(factors));
    std::fprintf(out, "%-8s %-7s %-18s %7s %8s  %s\n", "path", "p", "N", "primes", "factors", "result");
    std::fflush(out);

    const std::string fault = SelfTestFault();
    std::vector<SelfTestRow> rows;
    for (KernelPath path : paths) {
        rows.push_back(RunCpuSelfTest(path, plan, fault == KernelPathName(path)));
        PrintRow(plan, rows.back(), out);
    }
    for (const std::string& line : skipped) std::fprintf(out, "%s\n", line.c_str());
    std::string first;
    std::string tested = std::to_string(paths.size()) + (paths.size() == 1 ? " kernel path" : " kernel paths");
    if (!device.notice.empty()) {
        std::fprintf(out, "%s\n", device.notice.c_str());
    } else if (!device.program) {
        first = device.name + ": its program cannot be had: " + device.programError;
    } else {
        std::fprintf(out, "Device %s:\n", device.name.c_str());
        std::fflush(out);
        rows.push_back(gpu::RunDeviceSelfTest(*device.program, plan, fault == "device"));
        PrintRow(plan, rows.back(), out);
        tested += " and " + rows.back().name;
    }
    for (const SelfTestRow& row : rows)
        if (first.empty() && !row.Agrees()) first = row.name + ", " + row.firstDisagreement;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!first.empty()) {
        std::fprintf(out, "DISAGREE: %s\n", first.c_str());
        return 1;
    }
    std::fprintf(out, "All agree: %s, in %.1f s.\n", tested.c_str(), seconds);
    return 0;
}

}  // namespace varnesk::cli
