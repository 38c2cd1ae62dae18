// AVX2 and FMA forms of the root enumeration (to 2^96), the base-list strike and the
// base-2 Fermat test: four 64-bit lanes per register, no 64-bit multiplier.
//
// Two exact schemes for x*u mod p with u fixed, chosen by the size of p:
//
// p < 2^51, doubles: the products of doublelanes.h. For the fixed u, with
// |x|, |u| < p the rounded u/p adds at most |x*u/p| * 2^-53 < 1/4 to the
// rounding's 1/2, so the walk's values keep |r| < 3p/4.
//
// 2^51 <= p < 2^63, split integers. A lane holds x with |x| < p/2 + p/2^21
// as a signed 64-bit integer, cut as x = x1*2^32 + x0 with x0 the low word
// read as signed (x0 in [-2^31, 2^31)) and x1 the high word of x + 2^31,
// |x1| < 2^30 + 2^11. With U = u and W = 2^32 u mod p both taken balanced
// (|U|, |W| <= p/2), t = x1*W + x0*U = x*u (mod p) and
// |t/p| < 2^29 + 2^11 + 2^30 < 2^31. q = round(t/p) comes from doubles:
// x1 and x0 are exact, x1*(W/p) + x0*(U/p) is off by less than 2^-20 from
// t/p before the final rounding, so |t/p - q| < 1/2 + 2^-20 and
// r = t - q*p has |r| < p/2 + p/2^20 < 2^63: computed modulo 2^64 it is
// exact. Every 32x32-bit product that r needs fits: each of x1, x0, q and
// the low words of W, U and p (split the same signed way) is a signed
// 32-bit value, so the low parts are exact signed products (vpmuldq) and
// the high parts only matter modulo 2^32.
//
// 2^63 - 2^32 <= p < 2^96, 28-bit limbs: exact, bound at the scheme below;
// the Fermat test's limbs (a modulus per lane, general squarings) likewise.
//
// Hit test. Both schemes keep the running powers near zero, so a root
// within the limit L (a value v or p - v up to L) is a lane with |x| <= L:
// any other representative of its residue is at least p - L from zero,
// beyond the bounds above while L <= p/4. The doubles test min |x|; the
// integers test the high word of x + 2^31 for zero (|x| < 2^31), one
// unsigned 32-bit minimum per register. The minimum is kept over a group
// of blocks and looked at once per group; a group that may hold a hit is
// computed again from its first block and walked in order.

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels/avx2.h"
#include "kernels/doublelanes.h"
#include "kernels/rootwriter.h"

namespace varnesk::avx2 {
namespace {

using u128 = unsigned __int128;

constexpr int kRegs = kRootLanes / 4;
constexpr int kPassesPerBlock = kRootLanes / 16;
constexpr int kGroupBlocks = 4;
static_assert(kRootLanes <= kMostRootLanes);

// u/p to the nearest double through extended precision.
double Ratio(int64_t u, uint64_t p) {
    return static_cast<double>(static_cast<long double>(u) / static_cast<long double>(p));
}

// ---- doubles, p < 2^51 ----

// The registers of the forms in doublelanes.h, four lanes a register.
// Words below 2^52 go to doubles and back, which AVX2 cannot convert, as
// the mantissa of 2^52 + v.
constexpr double kTwo52 = 4503599627370496.0;
struct Regs {
    using Reg = __m256d;
    using Ints = __m256i;
    static Reg Set(double v) { return _mm256_set1_pd(v); }
    static Reg Fma(Reg a, Reg b, Reg c) { return _mm256_fmadd_pd(a, b, c); }
    static Reg Abs(Reg x) {
        return _mm256_and_pd(x, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL)));
    }
    static Reg Min(Reg a, Reg b) { return _mm256_min_pd(a, b); }
    static Reg Max(Reg a, Reg b) { return _mm256_max_pd(a, b); }
    static unsigned Mask(Reg lanes) { return static_cast<unsigned>(_mm256_movemask_pd(lanes)); }
    static unsigned Le(Reg a, Reg b) { return Mask(_mm256_cmp_pd(a, b, _CMP_LE_OQ)); }
    static unsigned Ge(Reg a, Reg b) { return Mask(_mm256_cmp_pd(a, b, _CMP_GE_OQ)); }
    static unsigned Eq(Reg a, Reg b) { return Mask(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)); }
    static Reg Words(const uint64_t* v) {
        const Reg two52 = Set(kTwo52);
        return _mm256_castsi256_pd(_mm256_or_si256(LoadInts(v), _mm256_castpd_si256(two52))) - two52;
    }
    // Entries below 2^31 convert as signed; the lanes masked off read 0
    // (and never fault).
    static Reg Bases(const uint32_t* v, int32_t left) {
        const __m128i in = _mm_cmpgt_epi32(_mm_set1_epi32(left), _mm_setr_epi32(0, 1, 2, 3));
        return _mm256_cvtepi32_pd(_mm_maskload_epi32(reinterpret_cast<const int*>(v), in));
    }
    static void Store(double* out, Reg x) { _mm256_store_pd(out, x); }
    static void StoreWords(uint64_t* out, Reg x) {
        const Reg two52 = Set(kTwo52);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_xor_si256(_mm256_castpd_si256(x + two52), _mm256_castpd_si256(two52)));
    }
    static Reg Lift(Reg x, Reg p) { return x + _mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ), p); }
    static Ints LoadInts(const uint64_t* v) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)); }
    static Reg Where(Ints e, int bit, Reg y, Reg x) {
        const __m256i at = _mm256_set1_epi64x(static_cast<long long>(1ULL << bit));
        return _mm256_blendv_pd(x, y, _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(e, at), at)));
    }
};
using Lanes = DoubleLanes<Regs>;

struct DoubleScheme {
    using Reg = __m256d;
    using Acc = __m256d;
    Lanes::Modulus m;
    __m256d u, w, limit, magnitude;
    uint64_t p;

    DoubleScheme(uint64_t modulus, uint64_t step, uint64_t lim)
        : m(modulus),
          u(_mm256_set1_pd(static_cast<double>(step))),
          w(_mm256_set1_pd(Ratio(static_cast<int64_t>(step), modulus))),
          limit(_mm256_set1_pd(static_cast<double>(lim))),
          magnitude(_mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL))),
          p(modulus) {}
    // Lanes that may hold a hit are exactly |x| <= L while 4L <= p.
    static bool Filters(uint64_t p, uint64_t lim) { return 4 * static_cast<u128>(lim) < p; }

    Reg Load(const int64_t* v) const {
        alignas(32) double d[4];
        for (int i = 0; i < 4; ++i) d[i] = static_cast<double>(v[i]);
        return _mm256_load_pd(d);
    }
    void Advance(Reg* x) const {
        for (int z = 0; z < kRegs; ++z) x[z] = Lanes::MulFixed(x[z], u, w, m);
    }
    Acc FilterStart() const { return _mm256_set1_pd(1e300); }
    void Filter(Acc& acc, const Reg* x) const {
        for (int z = 0; z < kRegs; ++z) acc = _mm256_min_pd(acc, _mm256_and_pd(x[z], magnitude));
    }
    bool MayHit(Acc acc) const { return _mm256_movemask_pd(_mm256_cmp_pd(acc, limit, _CMP_LE_OQ)) != 0; }
    void Store(uint64_t* out, const Reg* x) const {
        alignas(32) double d[kRootLanes];
        for (int z = 0; z < kRegs; ++z) _mm256_store_pd(d + 4 * z, x[z]);
        const double pd = static_cast<double>(p);
        for (int i = 0; i < kRootLanes; ++i) out[i] = static_cast<uint64_t>(d[i] < 0 ? d[i] + pd : d[i]);
    }
};

// ---- split integers, 2^51 <= p < 2^63 ----

// v = hi*2^32 + lo with lo in [-2^31, 2^31).
struct Split {
    int64_t hi, lo;
    explicit Split(int64_t v) : hi(0), lo(static_cast<int32_t>(static_cast<uint32_t>(v))) { hi = (v - lo) >> 32; }
};

int64_t Balanced(uint64_t v, uint64_t p) { return v > p / 2 ? static_cast<int64_t>(v - p) : static_cast<int64_t>(v); }

struct SplitScheme {
    using Reg = __m256i;
    using Acc = __m256i;
    __m256i wLo, wHi, uLo, uHi, pLo, pHi, half, toDouble1, toDouble0;
    __m256d wRatio, uRatio, offset, magic;
    uint64_t p;

    SplitScheme(uint64_t modulus, uint64_t step, uint64_t) : p(modulus) {
        const int64_t u = Balanced(step, modulus);
        const int64_t w = Balanced(static_cast<uint64_t>((static_cast<u128>(step) << 32) % modulus), modulus);
        const Split su(u), sw(w), sp(static_cast<int64_t>(modulus));
        wLo = _mm256_set1_epi64x(sw.lo);
        wHi = _mm256_set1_epi64x(sw.hi);
        uLo = _mm256_set1_epi64x(su.lo);
        uHi = _mm256_set1_epi64x(su.hi);
        pLo = _mm256_set1_epi64x(sp.lo);
        pHi = _mm256_set1_epi64x(sp.hi);
        half = _mm256_set1_epi64x(1LL << 31);
        // Bit patterns of 2^52 + 2^31 + v for a 32-bit word v in the low half:
        // x1 (signed) with its sign bit flipped, x0 + 2^31 as it stands.
        toDouble1 = _mm256_set1_epi64x(0x4330000080000000LL);
        toDouble0 = _mm256_set1_epi64x(0x4330000000000000LL);
        wRatio = _mm256_set1_pd(Ratio(w, modulus));
        uRatio = _mm256_set1_pd(Ratio(u, modulus));
        offset = _mm256_set1_pd(4503601774854144.0);  // 2^52 + 2^31
        magic = _mm256_set1_pd(kRoundMagic);
    }
    // The high-word test covers every |x| <= L while L < 2^31.
    static bool Filters(uint64_t, uint64_t lim) { return lim < (1ULL << 31); }

    Reg Load(const int64_t* v) const { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)); }
    inline __m256i Mul(__m256i x) const {
        const __m256i y = _mm256_add_epi64(x, half);
        const __m256i x1 = _mm256_srli_epi64(y, 32);
        const __m256d d1 = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_xor_si256(x1, toDouble1)), offset);
        const __m256d d0 = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_blend_epi32(y, toDouble0, 0xAA)), offset);
        const __m256d qd = _mm256_add_pd(_mm256_fmadd_pd(d1, wRatio, _mm256_mul_pd(d0, uRatio)), magic);
        // The low word of qd's bits is q modulo 2^32.
        const __m256i q = _mm256_castpd_si256(qd);
        const __m256i lo = _mm256_sub_epi64(_mm256_add_epi64(_mm256_mul_epi32(x1, wLo), _mm256_mul_epi32(x, uLo)),
                                            _mm256_mul_epi32(q, pLo));
        const __m256i hi = _mm256_sub_epi64(_mm256_add_epi64(_mm256_mul_epu32(x1, wHi), _mm256_mul_epu32(x, uHi)),
                                            _mm256_mul_epu32(q, pHi));
        return _mm256_add_epi64(lo, _mm256_slli_epi64(hi, 32));
    }
    void Advance(Reg* x) const {
        for (int z = 0; z < kRegs; ++z) x[z] = Mul(x[z]);
    }
    Acc FilterStart() const { return _mm256_set1_epi32(-1); }
    void Filter(Acc& acc, const Reg* x) const {
        for (int z = 0; z < kRegs; ++z) acc = _mm256_min_epu32(acc, _mm256_add_epi64(x[z], half));
    }
    bool MayHit(Acc acc) const {
        const int zero = _mm256_movemask_epi8(_mm256_cmpeq_epi32(acc, _mm256_setzero_si256()));
        return (zero & static_cast<int>(0xF0F0F0F0u)) != 0;
    }
    void Store(uint64_t* out, const Reg* x) const {
        alignas(32) int64_t v[kRootLanes];
        for (int z = 0; z < kRegs; ++z) _mm256_store_si256(reinterpret_cast<__m256i*>(v + 4 * z), x[z]);
        for (int i = 0; i < kRootLanes; ++i) out[i] = v[i] < 0 ? static_cast<uint64_t>(v[i]) + p : static_cast<uint64_t>(v[i]);
    }
};

// Scalar chains beside the vector ones: the last odd powers of the walk,
// kChains of them advanced by a^(2 kChains) with Shoup products (exact for
// p < 2^63), kSteps steps per vector block. Their hits come after every
// vector lane's in the walk's order, so they are kept and written last.
template <int kChains, int kSteps>
class ScalarBeside {
public:
    // The scalar lanes follow vectorBlocks blocks of vector lanes; total: lanes.
    ScalarBeside(const RootSearch& s, uint64_t vectorBlocks, uint64_t total)
        : p_(s.p), limit_(s.limit), span_(s.p - 2 * s.limit - 1), steps_(total / kChains) {
        // a^(2 first) = step^vectorBlocks, then times a^1, a^3, ...
        u128 lift = 1, base = s.step;
        for (uint64_t e = vectorBlocks; e; e >>= 1) {
            if (e & 1) lift = lift * base % s.p;
            base = base * base % s.p;
        }
        for (int c = 0; c < kChains; ++c) x_[c] = first_[c] = static_cast<uint64_t>(lift * s.start[c] % s.p);
        w_ = static_cast<uint64_t>(static_cast<u128>(s.start[kChains - 1]) * s.start[0] % s.p);  // a^(2 kChains)
        wq_ = static_cast<uint64_t>((static_cast<u128>(w_) << 64) / s.p);
        // The starting values are the first step.
        if (steps_ > 0) {
            Keep();
            done_ = 1;
        }
    }
    // kSteps steps, none past the end; hits kept in order.
    void Steps() {
        for (int i = 0; i < kSteps && done_ < steps_; ++i, ++done_) {
            uint64_t miss = 1;
            for (int c = 0; c < kChains; ++c) {
                const uint64_t q = static_cast<uint64_t>((static_cast<u128>(x_[c]) * wq_) >> 64);
                uint64_t r = x_[c] * w_ - q * p_;
                r = r >= p_ ? r - p_ : r;
                x_[c] = r;
                miss &= (r - limit_ - 1) < span_;
            }
            if (!miss) Keep();
        }
    }
    // The rest of the steps, then every hit in order; false when full.
    bool Finish(RootWriter& out) {
        while (done_ < steps_) Steps();
        if (!overflow_) {
            for (int i = 0; i < kept_; ++i)
                if (!out.Walk(hits_ + i, 1, p_)) return false;
            return true;
        }
        // Too many to keep: walk the scalar lanes again, writing as they come.
        for (int c = 0; c < kChains; ++c) x_[c] = first_[c];
        for (uint64_t t = 0; t < steps_; ++t) {
            if (t > 0)
                for (int c = 0; c < kChains; ++c) {
                    const uint64_t q = static_cast<uint64_t>((static_cast<u128>(x_[c]) * wq_) >> 64);
                    const uint64_t r = x_[c] * w_ - q * p_;
                    x_[c] = r >= p_ ? r - p_ : r;
                }
            if (!out.Walk(x_, kChains, p_)) return false;
        }
        return true;
    }

private:
    void Keep() {
        for (int c = 0; c < kChains; ++c) {
            const uint64_t v = x_[c];
            if (v > limit_ && p_ - v > limit_) continue;
            if (kept_ == kMaxKept) {
                overflow_ = true;
                return;
            }
            hits_[kept_++] = v;
        }
    }
    static constexpr int kMaxKept = 64;
    uint64_t p_, limit_, span_, steps_, w_ = 0, wq_ = 0, done_ = 0;
    uint64_t x_[kChains], first_[kChains];
    uint64_t hits_[kMaxKept];
    int kept_ = 0;
    bool overflow_ = false;
};

struct NoBeside {
    void Steps() {}
    bool Finish(RootWriter&) { return true; }
};

// Blocks of kRootLanes running powers, advanced by step per block, walked
// in order; with the filter, only groups that may hold a hit are walked.
// The vector lanes cover the first `passes` passes of sixteen; `beside`
// takes a step with each block and walks whatever follows.
template <class Scheme, class Beside>
int32_t Enumerate(const RootSearch& s, uint32_t passes, Beside& beside) {
    const Scheme scheme(s.p, s.step, s.limit);
    using Reg = typename Scheme::Reg;
    int64_t start[kRootLanes];
    for (int i = 0; i < kRootLanes; ++i) start[i] = Balanced(s.start[i], s.p);
    Reg x[kRegs];
    for (int z = 0; z < kRegs; ++z) x[z] = scheme.Load(start + 4 * z);

    RootWriter out{s.out, s.capacity, s.limit, 0};
    alignas(32) uint64_t v[kRootLanes];
    auto walk = [&](const Reg* regs, uint32_t left) {
        scheme.Store(v, regs);
        const uint32_t n = left < kPassesPerBlock ? left : kPassesPerBlock;
        return out.Walk(v, static_cast<int>(16 * n), s.p);
    };
    auto finish = [&] { return beside.Finish(out) ? out.found : -1; };
    uint32_t left = passes;
    if (!Scheme::Filters(s.p, s.limit)) {
        for (;;) {
            if (!walk(x, left)) return -1;
            if (left <= kPassesPerBlock) return finish();
            left -= kPassesPerBlock;
            scheme.Advance(x);
            beside.Steps();
        }
    }
    for (;;) {
        Reg first[kRegs];
        for (int z = 0; z < kRegs; ++z) first[z] = x[z];
        const uint32_t firstLeft = left;
        typename Scheme::Acc acc = scheme.FilterStart();
        int blocks = 1;
        for (;; ++blocks) {
            scheme.Filter(acc, x);
            if (left <= kPassesPerBlock || blocks == kGroupBlocks) break;
            left -= kPassesPerBlock;
            scheme.Advance(x);
            beside.Steps();
        }
        if (scheme.MayHit(acc)) {
            uint32_t again = firstLeft;
            for (int b = 0; b < blocks; ++b) {
                if (!walk(first, again)) return -1;
                if (b + 1 < blocks) {
                    again -= kPassesPerBlock;
                    scheme.Advance(first);
                }
            }
        }
        if (left <= kPassesPerBlock) return finish();
        left -= kPassesPerBlock;
        scheme.Advance(x);
        beside.Steps();
    }
}

// The walk with kChains scalar chains beside the vector lanes, kSteps steps
// per block, shared so that both finish together.
template <class Scheme, int kChains, int kSteps>
int32_t EnumerateBeside(const RootSearch& s) {
    const uint64_t lanes = 16 * static_cast<uint64_t>(s.passes);
    const uint64_t blocks = lanes / (kRootLanes + kChains * kSteps);
    if (blocks < 8 || !Scheme::Filters(s.p, s.limit)) {
        NoBeside none;
        return Enumerate<Scheme>(s, s.passes, none);
    }
    const uint64_t vector = blocks * kRootLanes;
    ScalarBeside<kChains, kSteps> beside(s, blocks, lanes - vector);
    return Enumerate<Scheme>(s, static_cast<uint32_t>(vector / 16), beside);
}

// ---- 2^63 - 2^32 <= p < 2^96: 28-bit limbs ----
//
// A lane holds y = y0 + 2^28 y1 + 2^56 y2 + 2^84 y3, limbs below 2^28 (y3
// below 2^13). y*c mod p for the fixed step c with K_i = c 2^(28i + 56)
// mod p, each cut into four limbs: t = sum y_i K_i = y c 2^56 (mod p) in
// four columns, and two Montgomery digits of 28 bits give
// (t + q p) / 2^56 = y c (mod p). t < 4 2^28 p and q < 2^56, so the result
// is below p (1 + 2^-26): values stay lazy, in [0, p + p/2^26), whatever
// limbs (each below 2^28) came in, and the top limb stays below 2^13.
// Every column sum stays below 2^60 (four 56-bit products, a q*p limb,
// carries), so none overflows its 64-bit lane; vpmuludq reads the low 32
// bits, which hold each limb and t0 mod 2^28 whole. Compared with
// schoolbook columns this takes no column above 2^84 and no carry chain
// before the reduction: 24 products and about 40 other operations.

constexpr int kWideRegs = RootSearchWideLanes::kLanes / 4;
constexpr uint64_t kLimbMask = (1ULL << 28) - 1;

struct WideLimbs {
    __m256i k[4][4];  // k[i][j]: limb j of K_i
    __m256i p[4], mu, mask;
};

inline __m256i MulLo(__m256i a, __m256i b) { return _mm256_mul_epu32(a, b); }
inline __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }

inline void MulStepWide(__m256i* y, const WideLimbs& c) {
    __m256i t[5];
    for (int j = 0; j < 4; ++j)
        t[j] = Add(Add(MulLo(y[0], c.k[0][j]), MulLo(y[1], c.k[1][j])),
                   Add(MulLo(y[2], c.k[2][j]), MulLo(y[3], c.k[3][j])));
    __m256i q = _mm256_and_si256(MulLo(t[0], c.mu), c.mask);
    for (int j = 0; j < 4; ++j) t[j] = Add(t[j], MulLo(q, c.p[j]));
    t[1] = Add(t[1], _mm256_srli_epi64(t[0], 28));
    q = _mm256_and_si256(MulLo(t[1], c.mu), c.mask);
    for (int j = 0; j < 3; ++j) t[j + 1] = Add(t[j + 1], MulLo(q, c.p[j]));
    t[4] = MulLo(q, c.p[3]);
    t[2] = Add(t[2], _mm256_srli_epi64(t[1], 28));
    t[3] = Add(t[3], _mm256_srli_epi64(t[2], 28));
    t[4] = Add(t[4], _mm256_srli_epi64(t[3], 28));
    y[0] = _mm256_and_si256(t[2], c.mask);
    y[1] = _mm256_and_si256(t[3], c.mask);
    y[2] = _mm256_and_si256(t[4], c.mask);
    y[3] = _mm256_srli_epi64(t[4], 28);
}

u128 MulPow2Mod(u128 v, int e, u128 p) {
    for (int i = 0; i < e; ++i) {
        v <<= 1;  // v < p < 2^96: no wrap
        if (v >= p) v -= p;
    }
    return v;
}

// ---- Fermat test beyond the doubles: 28-bit limbs, per-lane moduli ----
//
// kLimbs limbs of 28 bits, Montgomery with R = 2^(28 kLimbs), values lazy in
// [0, 2p). A squaring is its 2 kLimbs - 1 columns (each below 2^59: at most
// kLimbs/2 + 1 products of a limb and a doubled limb), shifted left by the
// exponent's bit where the doubling is due, then kLimbs reduction limbs:
// (2 y^2 + q p) / R < 8 p^2 / R + p < 2p while p < R / 8 (2^81 for three
// limbs, 2^109 for four), so no subtraction inside the loop and no column
// above 2^61. The reduction limb reads its column's low 32 bits, which hold
// the column mod 2^28 whole.
template <int kLimbs, int kLimbRegs>
unsigned FermatLimbs(const uint64_t* low, const uint64_t* high) {
    constexpr int kLanes = 4 * kLimbRegs, kCols = 2 * kLimbs;
    alignas(32) uint64_t limb[kLimbRegs][kLimbs][4], pl[kLimbRegs][kLimbs][4], mu[kLimbRegs][4], el[kLimbRegs][4],
        eh[kLimbRegs][4];
    u128 p[kLanes], one[kLanes];
    uint64_t topHigh = 0, topLow = 0;
    for (int l = 0; l < kLanes; ++l) {
        const int r = l / 4, c = l % 4;
        p[l] = static_cast<u128>(high[l]) << 64 | low[l];
        const u128 rr = static_cast<u128>(1) << (28 * kLimbs);
        one[l] = high[l] == 0 && kLimbs == 3 ? rr % low[l] : rr % p[l];
        uint32_t inv = static_cast<uint32_t>(low[l]);  // p^-1 mod 2^32 by Newton
        for (int i = 0; i < 5; ++i) inv *= 2 - static_cast<uint32_t>(low[l]) * inv;
        mu[r][c] = (0u - inv) & kLimbMask;
        for (int j = 0; j < kLimbs; ++j) {
            limb[r][j][c] = static_cast<uint64_t>(one[l] >> (28 * j)) & kLimbMask;
            pl[r][j][c] = static_cast<uint64_t>(p[l] >> (28 * j)) & kLimbMask;
        }
        const u128 e = p[l] - 1;
        el[r][c] = static_cast<uint64_t>(e);
        eh[r][c] = static_cast<uint64_t>(e >> 64);
        topLow |= el[r][c];
        topHigh |= eh[r][c];
    }
    auto load = [](const uint64_t* v) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(v)); };
    const __m256i mask = _mm256_set1_epi64x(static_cast<long long>(kLimbMask)), bitOne = _mm256_set1_epi64x(1);
    __m256i y[kLimbRegs][kLimbs];
    for (int r = 0; r < kLimbRegs; ++r)
        for (int j = 0; j < kLimbs; ++j) y[r][j] = load(limb[r][j]);
    const int top = topHigh ? 127 - __builtin_clzll(topHigh) : (topLow ? 63 - __builtin_clzll(topLow) : -1);
    for (int bit = top; bit >= 0; --bit) {
        const __m128i at = _mm_cvtsi32_si128(bit & 63);
        for (int r = 0; r < kLimbRegs; ++r) {
            const __m256i d = _mm256_and_si256(_mm256_srl_epi64(load(bit >= 64 ? eh[r] : el[r]), at), bitOne);
            __m256i yd[kLimbs], t[kCols];
            for (int j = 0; j < kLimbs; ++j) yd[j] = Add(y[r][j], y[r][j]);
            for (int k = 0; k < kCols; ++k) t[k] = _mm256_setzero_si256();
            for (int i = 0; i < kLimbs; ++i) {
                t[2 * i] = Add(t[2 * i], MulLo(y[r][i], y[r][i]));
                for (int j = i + 1; j < kLimbs; ++j) t[i + j] = Add(t[i + j], MulLo(y[r][i], yd[j]));
            }
            for (int k = 0; k + 1 < kCols; ++k) t[k] = _mm256_sllv_epi64(t[k], d);
            const __m256i m = load(mu[r]);
            for (int i = 0; i < kLimbs; ++i) {
                const __m256i q = _mm256_and_si256(MulLo(t[i], m), mask);
                for (int j = 0; j < kLimbs; ++j) t[i + j] = Add(t[i + j], MulLo(q, load(pl[r][j])));
                t[i + 1] = Add(t[i + 1], _mm256_srli_epi64(t[i], 28));
            }
            for (int j = 0; j + 1 < kLimbs; ++j) {
                y[r][j] = _mm256_and_si256(t[kLimbs + j], mask);
                t[kLimbs + j + 1] = Add(t[kLimbs + j + 1], _mm256_srli_epi64(t[kLimbs + j], 28));
            }
            y[r][kLimbs - 1] = t[kCols - 1];
        }
    }
    for (int r = 0; r < kLimbRegs; ++r)
        for (int j = 0; j < kLimbs; ++j) _mm256_store_si256(reinterpret_cast<__m256i*>(limb[r][j]), y[r][j]);
    unsigned passed = 0;
    for (int l = 0; l < kLanes; ++l) {
        u128 v = 0;
        for (int j = 0; j < kLimbs; ++j) v |= static_cast<u128>(limb[l / 4][j][l % 4]) << (28 * j);
        if (v >= p[l]) v -= p[l];
        if (v == one[l]) passed |= 1u << l;
    }
    return passed;
}

}  // namespace

int32_t EnumerateRootsWide(const RootSearchWideLanes& s) {
    const u128 p = static_cast<u128>(s.pHigh) << 64 | s.pLow;
    WideLimbs c;
    u128 kv = MulPow2Mod(static_cast<u128>(s.stepHigh) << 64 | s.stepLow, 56, p);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            c.k[i][j] = _mm256_set1_epi64x(static_cast<long long>(static_cast<uint64_t>(kv >> (28 * j)) & kLimbMask));
        kv = MulPow2Mod(kv, 28, p);
    }
    uint32_t inv = static_cast<uint32_t>(s.pLow);  // p^-1 mod 2^32 by Newton
    for (int i = 0; i < 5; ++i) inv *= 2 - static_cast<uint32_t>(s.pLow) * inv;
    c.mu = _mm256_set1_epi64x(static_cast<long long>((0u - inv) & kLimbMask));
    c.mask = _mm256_set1_epi64x(static_cast<long long>(kLimbMask));
    for (int j = 0; j < 4; ++j)
        c.p[j] = _mm256_set1_epi64x(static_cast<long long>(static_cast<uint64_t>(p >> (28 * j)) & kLimbMask));

    __m256i y[kWideRegs][4];
    for (int z = 0; z < kWideRegs; ++z) {
        alignas(32) uint64_t limb[4][4];
        for (int l = 0; l < 4; ++l) {
            const u128 v = static_cast<u128>(s.startHigh[4 * z + l]) << 64 | s.startLow[4 * z + l];
            for (int j = 0; j < 4; ++j) limb[j][l] = static_cast<uint64_t>(v >> (28 * j)) & kLimbMask;
        }
        for (int j = 0; j < 4; ++j) y[z][j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(limb[j]));
    }

    // A hit v <= limit lies in a lane as v or v + p, and p - v as itself:
    // y < 2^32, or y in [p - limit, p + limit]. On y >> 32 (mod 2^64; a wrap
    // just below 2^96 can only let a block through needlessly): zero, or
    // (top - near) mod 2^64 <= width, unsigned, by signed compares with the
    // sign bits flipped.
    const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(1ULL << 63));
    const __m256i near = _mm256_set1_epi64x(static_cast<long long>(static_cast<uint64_t>((p - s.limit) >> 32)));
    const __m256i widthFlipped = _mm256_xor_si256(
        sign, _mm256_set1_epi64x(static_cast<long long>(
                  static_cast<uint64_t>(((p + s.limit) >> 32) - ((p - s.limit) >> 32)))));
    const __m256i zero = _mm256_setzero_si256();
    BasicRootWriter<u128> out{s.out, s.capacity, s.limit};
    for (uint32_t block = 0;; ++block) {
        __m256i atZero = zero, outside = _mm256_cmpeq_epi64(zero, zero);
        for (int z = 0; z < kWideRegs; ++z) {
            const __m256i top = Add(Add(_mm256_srli_epi64(y[z][1], 4), _mm256_slli_epi64(y[z][2], 24)),
                                    _mm256_slli_epi64(y[z][3], 52));
            atZero = _mm256_or_si256(atZero, _mm256_cmpeq_epi64(top, zero));
            const __m256i d = _mm256_xor_si256(_mm256_sub_epi64(top, near), sign);
            outside = _mm256_and_si256(outside, _mm256_cmpgt_epi64(d, widthFlipped));
        }
        if (!_mm256_testz_si256(atZero, atZero) || !_mm256_testc_si256(outside, _mm256_cmpeq_epi64(zero, zero))) {
            alignas(32) uint64_t limb[kWideRegs][4][4];
            for (int z = 0; z < kWideRegs; ++z)
                for (int j = 0; j < 4; ++j) _mm256_store_si256(reinterpret_cast<__m256i*>(limb[z][j]), y[z][j]);
            for (int z = 0; z < kWideRegs; ++z)
                for (int l = 0; l < 4; ++l) {
                    u128 v = static_cast<u128>(limb[z][0][l]) | static_cast<u128>(limb[z][1][l]) << 28 |
                             static_cast<u128>(limb[z][2][l]) << 56 | static_cast<u128>(limb[z][3][l]) << 84;
                    if (v >= p) v -= p;
                    if (!out.Pair(v, p)) return -1;
                }
        }
        if (block + 1 >= s.blocks) break;
        for (int z = 0; z < kWideRegs; ++z) MulStepWide(y[z], c);
    }
    return out.found;
}

int32_t EnumerateRoots(const RootSearch& search) {
    if (search.scalarBeside)
        return search.p < (1ULL << 51) ? EnumerateBeside<DoubleScheme, 2, 2>(search)
                                       : EnumerateBeside<SplitScheme, 4, 2>(search);
    NoBeside none;
    return search.p < (1ULL << 51) ? Enumerate<DoubleScheme>(search, search.passes, none)
                                   : Enumerate<SplitScheme>(search, search.passes, none);
}

int32_t StrikeBases(uint32_t* list, int32_t count, uint64_t p, int32_t n) {
    return StrikeLanes<Lanes, 8>(list, count, p, n);
}

unsigned FermatBase2x16(const uint64_t* p) { return static_cast<unsigned>(FermatLanes<Lanes, 4>(p)); }

uint64_t FermatBase2x64(const uint64_t* p) {
    return FermatLanes<Lanes, 8>(p) | FermatLanes<Lanes, 8>(p + 32) << 32;
}

void OrderPowers16(const OrderSearch& search) { OrderPowersLanes<Lanes>(search); }

unsigned DivisorChecks16(const uint64_t* p, const uint64_t* a, int32_t n) { return DivisorChecksLanes<Lanes>(p, a, n); }

void EnumerateRootsBatch(const RootBatch& batch) { EnumerateBatchOf<Lanes>(batch); }

unsigned FermatBase2Limbs16(const uint64_t* low, const uint64_t* high) {
    uint64_t top = 0;
    for (int l = 0; l < 16; ++l) top |= high[l];
    return top < (1ULL << (kFermat3LimbsBits - 64)) ? FermatLimbs<3, 4>(low, high) : FermatLimbs<4, 4>(low, high);
}

}  // namespace varnesk::avx2
