// Writes true factor lines "p | b^N+1" to standard output for measuring
// varnesk-cli verify: for the primes p = k*2N + 1 from k = kStart upward, a
// solution a of a^N = -1 (mod p), then its odd powers a^(2j+1) (every
// solution) until perP of them lie below 2^31.
//
// Usage: make_factor_lines COUNT N KSTART [PERP]   (PERP default 1)
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/prove.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"

namespace {

using varnesk::Montgomery;

// The lines of every prime with k in [k0, k1).
std::string LinesOf(int64_t k0, int64_t k1, int32_t exponent, int perP) {
    std::string out;
    const uint64_t twoN = 2 * static_cast<uint64_t>(exponent);
    for (int64_t k = k0; k < k1; ++k) {
        const uint64_t p = static_cast<uint64_t>(k) * twoN + 1;
        int64_t f = 0;
        varnesk::PowMod(2, static_cast<int64_t>(p - 1), static_cast<int64_t>(p), &f);
        if (f != 1 || !varnesk::IsPrime64(p)) continue;
        // a = q^k has order 2N exactly when q is a non-residue.
        uint64_t a = 0;
        for (int64_t q = 3;; q += 2) {
            int64_t x = 0, r = 0;
            varnesk::PowMod(q, k, static_cast<int64_t>(p), &x);
            varnesk::PowMod(x, exponent, static_cast<int64_t>(p), &r);
            if (static_cast<uint64_t>(r) == p - 1) {
                a = static_cast<uint64_t>(x);
                break;
            }
            if (r != 1) break;  // not reached for a prime
        }
        if (a == 0) continue;
        const Montgomery m(p);
        const uint64_t step = m.Sqr(m.To(a));  // a^2 in Montgomery form: Mul(x, step) = x*a^2
        uint64_t x = a;
        int found = 0;
        for (int32_t j = 0; j < exponent && found < perP; ++j, x = m.Mul(x, step)) {
            if (x >= 2 && x < 0x80000000u) {
                char line[64];
                int len = std::snprintf(line, sizeof line, "%" PRIu64 " | %u^%d+1\n", p, static_cast<unsigned>(x),
                                        exponent);
                out.append(line, static_cast<size_t>(len));
                ++found;
            }
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_factor_lines COUNT N KSTART [PERP]\n");
        return 2;
    }
    const long long count = std::atoll(argv[1]);
    const int32_t exponent = std::atoi(argv[2]);
    int64_t k = std::atoll(argv[3]);
    const int perP = argc > 4 ? std::atoi(argv[4]) : 1;
    if (count <= 0 || exponent < 2 || (exponent & (exponent - 1)) || k < 1 || perP < 1) {
        std::fprintf(stderr, "make_factor_lines: bad arguments\n");
        return 2;
    }
    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int64_t block = 4096;
    long long written = 0;
    std::vector<std::string> parts(static_cast<size_t>(threads));
    while (written < count) {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] { parts[static_cast<size_t>(t)] = LinesOf(k + t * block, k + (t + 1) * block, exponent, perP); });
        for (auto& th : pool) th.join();
        k += threads * block;
        for (const std::string& part : parts) {
            size_t pos = 0;
            while (pos < part.size() && written < count) {
                size_t nl = part.find('\n', pos);
                std::fwrite(part.data() + pos, 1, nl + 1 - pos, stdout);
                pos = nl + 1;
                ++written;
            }
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
