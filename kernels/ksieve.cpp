#include "kernels/ksieve.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace varnesk {

namespace {

std::vector<uint32_t> OddPrimesUpTo(uint32_t limit) {
    std::vector<uint8_t> composite(limit + 1u, 0);
    std::vector<uint32_t> primes;
    for (uint64_t i = 3; i <= limit; i += 2) {
        if (composite[i]) continue;
        primes.push_back(static_cast<uint32_t>(i));
        for (uint64_t j = i * i; j <= limit; j += 2 * i) composite[j] = 1;
    }
    return primes;
}

uint64_t PowMod32(uint64_t b, uint64_t e, uint64_t q) {
    uint64_t r = 1;
    b %= q;
    for (; e; e >>= 1, b = b * b % q)
        if (e & 1) r = r * b % q;
    return r;
}

// The multiplicative order of 2 modulo the odd prime q.
uint64_t OrderOfTwo(uint32_t q, const std::vector<uint32_t>& primes) {
    uint64_t order = q - 1, rest = q - 1;
    auto divide = [&](uint64_t f) {
        while (rest % f == 0) rest /= f;
        while (order % f == 0 && PowMod32(2, order / f, q) == 1) order /= f;
    };
    divide(2);
    for (uint32_t f : primes) {
        if (static_cast<uint64_t>(f) * f > rest) break;
        if (rest % f == 0) divide(f);
    }
    if (rest > 1) divide(rest);
    return order;
}

// a^-1 modulo m, gcd(a, m) = 1.
uint64_t InverseMod(uint64_t a, uint64_t m) {
    int64_t t = 0, newT = 1;
    int64_t r = static_cast<int64_t>(m), newR = static_cast<int64_t>(a % m);
    while (newR != 0) {
        const int64_t quotient = r / newR;
        t -= quotient * newT;
        std::swap(t, newT);
        r -= quotient * newR;
        std::swap(r, newR);
    }
    return static_cast<uint64_t>(t < 0 ? t + static_cast<int64_t>(m) : t);
}

// x mod m for a 128-bit x, m below 2^40: two 64-bit divisions and, from
// 2^64 on, one more of a product below 2^80.
uint64_t Mod128(UInt128 x, uint64_t m) {
    const uint64_t lo = static_cast<uint64_t>(x) % m;
    const uint64_t hi = static_cast<uint64_t>(x >> 64);
    if (hi == 0) return lo;
    const UInt128 two64 = (UInt128{1} << 64) % m;
    return static_cast<uint64_t>(((hi % m) * two64 + lo) % m);
}

// The odd primes up to a depth with the order of 2 modulo each: the same
// for every N, built once per process (each thread's stream would take
// milliseconds for them at every job).
struct PrimeTable {
    std::vector<uint32_t> primes;
    std::vector<uint64_t> orders;  // 0 for q < 79: not needed
};

std::shared_ptr<const PrimeTable> PrimesWithOrders(uint32_t depth) {
    static std::mutex mutex;
    static std::map<uint32_t, std::shared_ptr<const PrimeTable>> tables;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<const PrimeTable>& slot = tables[depth];
    if (!slot) {
        auto table = std::make_shared<PrimeTable>();
        table->primes = OddPrimesUpTo(depth);
        for (uint32_t q : table->primes) table->orders.push_back(q > 73 ? OrderOfTwo(q, table->primes) : 0);
        slot = std::move(table);
    }
    return slot;
}

}  // namespace

KSieve::KSieve(uint64_t twoN, uint32_t depth)
    : twoN_(twoN), depth_(std::clamp<uint32_t>(depth, 73, 1u << 24)), bits_(kWindow / 64), wheelBits_(kWindow / 64) {
    const std::shared_ptr<const PrimeTable> table = PrimesWithOrders(depth_);
    for (size_t i = 0; i < table->primes.size(); ++i) {
        const uint32_t q = table->primes[i];
        // k*2N + 1 = 0 (mod q) for k = -(2N)^-1 (mod q).
        // (2N)^-1 = (2^-1)^log2(2N), 2^-1 = (q + 1) / 2.
        const uint64_t inverse = PowMod32((q + 1) / 2, static_cast<uint64_t>(__builtin_ctzll(twoN)), q);
        const uint32_t root = static_cast<uint32_t>((q - inverse) % q);
        if ((q - 1) % twoN == 0) keepK_.push_back((q - 1) / twoN);
        if (q < 64) {
            uint64_t pattern = 0;
            for (uint32_t b = 0; b < 64; b += q) pattern |= uint64_t{1} << b;
            small_.push_back({pattern, q, root, 0, 64 % q});
            continue;
        }
        if (q <= 73) {
            wheel_.push_back({q, 0});
            wheelRoot_.push_back(root);
            continue;
        }
        const uint64_t order = table->orders[i];
        uint64_t twoPart = 1;
        while (order % (twoPart * 2) == 0 && twoPart * 2 <= twoN) twoPart *= 2;
        const uint64_t d = order / twoPart;  // k = 0 (mod d) for a pseudoprime
        if (d == 1) continue;
        const uint64_t m = static_cast<uint64_t>(q) * d;
        // k = root (mod q) and k = 0 (mod d): root + q*t with t = -root/q (mod d).
        const uint64_t t = (d - root % d) % d * InverseMod(q, d) % d;
        deep_.push_back({q, 0, m, 0});
        deepRoot_.push_back(root);
        deepC_.push_back(root + q * t);
    }
}

void KSieve::Restart(UInt128 base) {
    base_ = base;
    for (Small& s : small_) s.phase = static_cast<uint32_t>((s.root + s.q - Mod128(base, s.q)) % s.q);
    for (size_t i = 0; i < wheel_.size(); ++i)
        wheel_[i].off = static_cast<uint32_t>((wheelRoot_[i] + wheel_[i].q - Mod128(base, wheel_[i].q)) % wheel_[i].q);
    for (size_t i = 0; i < deep_.size(); ++i) {
        Deep& d = deep_[i];
        d.off = static_cast<uint32_t>((deepRoot_[i] + d.q - Mod128(base, d.q)) % d.q);
        d.roff = (deepC_[i] + d.m - Mod128(base, d.m)) % d.m;
    }
    SieveWindow();
    valid_ = true;
}

void KSieve::SieveWindow() {
    constexpr size_t words = kWindow / 64;
    uint64_t* const bits = bits_.data();
    std::fill(bits_.begin(), bits_.end(), ~uint64_t{0});
    for (Small& s : small_) {
        uint32_t phase = s.phase;
        for (size_t w = 0; w < words; ++w) {
            bits[w] &= ~(s.pattern << phase);
            phase = phase >= s.shift ? phase - s.shift : phase + s.q - s.shift;
        }
        s.phase = phase;
    }
    auto strike = [bits](uint32_t q, uint32_t& off) {
        uint32_t o = off;
        for (; o < kWindow; o += q) bits[o >> 6] &= ~(uint64_t{1} << (o & 63));
        off = o - kWindow;
    };
    for (Wheel& w : wheel_) strike(w.q, w.off);
    std::memcpy(wheelBits_.data(), bits, words * sizeof(uint64_t));
    const uint64_t* const wheel = wheelBits_.data();
    for (Deep& d : deep_) {
        strike(d.q, d.off);
        // Back in: the class where a pseudoprime divisible by q may lie,
        // where the wheel passed it (a later q may strike it again only when
        // it is outside that q's class too).
        uint64_t r = d.roff;
        for (; r < kWindow; r += d.m) bits[r >> 6] |= wheel[r >> 6] & (uint64_t{1} << (r & 63));
        d.roff = r - kWindow;
    }
    // The primes q themselves.
    if (base_ <= depth_)
        for (uint64_t k : keepK_)
            if (k >= base_ && k - base_ < kWindow) {
                const uint64_t i = static_cast<uint64_t>(k - base_);
                bits[i >> 6] |= uint64_t{1} << (i & 63);
            }
}

void KSieve::AppendSurvivors(const uint64_t* bits, UInt128 base, uint64_t from, uint64_t to,
                             std::vector<UInt128>& out) {
    for (uint64_t w = from >> 6; w <= to >> 6; ++w) {
        uint64_t word = bits[w];
        if (w == from >> 6) word &= ~uint64_t{0} << (from & 63);
        if (w == to >> 6 && (to & 63) != 63) word &= (uint64_t{2} << (to & 63)) - 1;
        while (word) {
            out.push_back(base + (w << 6 | static_cast<uint64_t>(__builtin_ctzll(word))));
            word &= word - 1;
        }
    }
}

void KSieve::Survivors(UInt128 kFrom, UInt128 kTo, std::vector<UInt128>& out) {
    for (UInt128 first = kFrom + 1; first <= kTo && first > kFrom;) {
        if (!valid_ || first < base_ || first - base_ >= 2 * UInt128{kWindow}) {
            Restart(first);
        } else if (first - base_ >= kWindow) {
            base_ += kWindow;  // the offsets are this window's already
            SieveWindow();
        }
        const uint64_t from = static_cast<uint64_t>(first - base_);
        const uint64_t to = static_cast<uint64_t>(std::min<UInt128>(kTo - base_, kWindow - 1));  // inclusive
        AppendSurvivors(bits_.data(), base_, from, to, out);
        first = base_ + to + 1;
    }
}

const std::vector<uint64_t>& KSieve::WindowAt(UInt128 base) {
    if (valid_ && base == base_ + kWindow) {
        base_ = base;
        SieveWindow();
    } else if (!valid_ || base != base_) {
        Restart(base);
    }
    return bits_;
}

// Four windows: the one being read, the next being sieved, and room for a
// thread that lags behind the others.
SharedKSieve::SharedKSieve(uint64_t twoN, uint32_t depth) : entries_(4), sieve_(twoN, depth) {}

SharedKSieve::Bits SharedKSieve::Get(UInt128 window, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Entry* found = nullptr;
        for (Entry& e : entries_)
            if ((e.bits || e.sieving) && e.window == window) found = &e;
        if (found && !found->sieving) {
            found->used = ++clock_;
            return found->bits;
        }
        if (found) {
            if (!wait) return nullptr;
            ready_.wait(lock);
            continue;
        }
        // Not there: this thread sieves it, in place of the least recently
        // used (a reader keeps its copy of the bits).
        Entry* slot = nullptr;
        for (Entry& e : entries_)
            if (!e.sieving && (!slot || e.used < slot->used)) slot = &e;
        if (!slot) {  // all being sieved: a later one will be done soon
            ready_.wait(lock);
            continue;
        }
        *slot = Entry{window, nullptr, true, ++clock_};
        lock.unlock();
        Bits bits;
        {
            std::lock_guard<std::mutex> sieving(sieveMutex_);
            bits = std::make_shared<const std::vector<uint64_t>>(sieve_.WindowAt(window * KSieve::kWindow));
        }
        lock.lock();
        slot->bits = bits;
        slot->sieving = false;
        ready_.notify_all();
        return bits;
    }
}

void SharedKSieve::Survivors(UInt128 kFrom, UInt128 kTo, std::vector<UInt128>& out) {
    for (UInt128 first = kFrom + 1; first <= kTo && first > kFrom;) {
        const UInt128 window = first / KSieve::kWindow, base = window * KSieve::kWindow;
        const Bits bits = Get(window, true);
        const uint64_t from = static_cast<uint64_t>(first - base);
        const uint64_t to = static_cast<uint64_t>(std::min<UInt128>(kTo - base, KSieve::kWindow - 1));
        KSieve::AppendSurvivors(bits->data(), base, from, to, out);
        if (to >= KSieve::kWindow / 2) {
            std::lock_guard<std::mutex> lock(mutex_);
            ahead_ = std::max(ahead_, window + 1);
        }
        first = base + to + 1;
    }
}

void SharedKSieve::PrepareAhead() {
    UInt128 next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next = ahead_;
    }
    if (next != 0) Get(next, false);  // nothing when it is there or on its way
}

}  // namespace varnesk
