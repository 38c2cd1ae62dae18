// The scalar kernels written once over a Montgomery form, for one word
// (Montgomery, p < 2^64) and two (Montgomery2, p < 2^127): the base-2
// Fermat test, the divisibility test and the root walk. Internal to the
// portable kernel files (see rootwriter.h for the linkage).
#pragma once
#include <new>
#include <type_traits>

#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/rootwriter.h"

namespace varnesk {
namespace {  // NOLINT(google-build-namespaces): one copy per file, see rootwriter.h

// The Montgomery constants of kLanes odd moduli side by side (the forms
// have no default constructor).
template <class M, int kLanes>
class LaneModuli {
public:
    template <class T>
    explicit LaneModuli(const T* moduli) {
        for (int l = 0; l < kLanes; ++l) new (&storage_[l * sizeof(M)]) M(static_cast<typename M::Value>(moduli[l]));
    }
    const M& operator[](int l) const { return reinterpret_cast<const M*>(storage_)[l]; }

private:
    alignas(M) unsigned char storage_[kLanes * sizeof(M)];
};

// 2^(p - 1) mod p in lockstep over kLanes odd moduli 3 <= p, left to right:
// a doubling replaces the product by the base, and the leading zero bits of
// a shorter exponent leave its lane at 1. Bit l set when lane l gives 1.
template <class M, int kLanes>
uint32_t FermatBase2Lanes(const typename M::Value* moduli) {
    using V = typename M::Value;
    const LaneModuli<M, kLanes> m(moduli);
    V x[kLanes], e[kLanes], all = 0;
    for (int l = 0; l < kLanes; ++l) {
        x[l] = m[l].one;
        e[l] = moduli[l] - 1;
        all |= e[l];
    }
    int top = -1;
    for (V v = all; v != 0; v >>= 1) ++top;
    for (int bit = top; bit >= 0; --bit) {
        for (int l = 0; l < kLanes; ++l) {
            const V s = m[l].Sqr(x[l]);
            x[l] = ((e[l] >> bit) & 1) ? m[l].Add(s, s) : s;
        }
    }
    uint32_t passed = 0;
    for (int l = 0; l < kLanes; ++l)
        if (x[l] == m[l].one) passed |= 1u << l;
    return passed;
}

// 1 when a^(2^n) = -1 (mod p); any a >= 0 (reduced first).
template <class M, class A>
int TestDivisor(const M& mont, A a, int32_t n) {
    using V = typename M::Value;
    V x = mont.To(static_cast<V>(a < mont.p ? a : a % mont.p));
    for (int32_t i = 0; i < n; ++i) x = mont.Sqr(x);
    return x == mont.MinusOne() ? 1 : 0;
}

// The walk's product by the fixed step a^(2 kLanes): a Montgomery product
// by its Montgomery form keeps the values normal.
template <class M>
struct MontgomeryStep {
    const M& mont;
    typename M::Value c;  // the step times R
    typename M::Value operator()(typename M::Value x) const { return mont.Mul(x, c); }
};
// Below 2^63 a Shoup product is shorter (one high and two low products).
struct ShoupStep {
    ShoupConst c;
    uint64_t p;
    uint64_t operator()(uint64_t x) const { return ShoupMul(x, c, p); }
};

// kLanes running odd powers x[j] (normal form), advanced by step per pass,
// written pass after pass: the list comes out in increasing odd exponent
// whatever kLanes is. False as soon as the output is full.
template <int kLanes, class V, class Step>
bool WalkPasses(V* x, const Step& step, V p, int32_t passes, BasicRootWriter<V>& writer) {
    // x and p - x both lie above the limit exactly when
    // (x - limit - 1) mod 2^bits < p - 2*limit - 1 (limit < 2^32); a pass is
    // written out in order only when some lane fails that.
    const V limit = writer.limit;
    const bool alwaysExact = p <= 2 * limit + 1;
    const V span = alwaysExact ? 0 : p - 2 * limit - 1;
    for (int j = 0; j < kLanes; ++j)
        if (!writer.Pair(x[j], p)) return false;
    while (--passes > 0) {
        bool miss = true;
        for (int j = 0; j < kLanes; ++j) {
            const V y = step(x[j]);
            x[j] = y;
            miss &= static_cast<V>(y - limit - 1) < span;
        }
        if (!miss || alwaysExact) {
            for (int j = 0; j < kLanes; ++j)
                if (!writer.Pair(x[j], p)) return false;
        }
    }
    return true;
}

// Every b <= limit with b^N = -1 (mod p) from a solution a of order 2N, in
// the order a^1, p - a^1, a^3, ... (each only within the limit). Returns
// the count, or -1 as soon as the output is full (the check follows every
// store).
template <int kLanes, class M>
int32_t WalkRoots(const M& mont, typename M::Value a, int32_t exponent, uint32_t limit, uint32_t* out,
                  int32_t capacity) {
    using V = typename M::Value;
    const V p = mont.p;
    BasicRootWriter<V> writer{out, capacity, static_cast<V>(limit)};
    const V am = mont.To(a);
    const V sm = mont.Sqr(am);  // a^2, Montgomery form
    const int32_t odd = exponent / 2;  // odd powers in all
    if (odd < kLanes) {
        V x = am;
        for (int32_t j = 0; j < odd; ++j) {
            if (!writer.Pair(mont.From(x), p)) return -1;
            x = mont.Mul(x, sm);
        }
        return writer.found;
    }
    V x[kLanes];
    V xm = am;
    for (int j = 0; j < kLanes; ++j) {
        x[j] = mont.From(xm);
        if (j + 1 < kLanes) xm = mont.Mul(xm, sm);
    }
    const V step = mont.Mul(xm, am);  // a^(2 kLanes), Montgomery form
    bool complete;
    if constexpr (std::is_same_v<V, uint64_t>) {
        if (p >> 63 == 0)
            complete = WalkPasses<kLanes>(x, ShoupStep{ShoupConst(mont.From(step), p), p}, p, odd / kLanes, writer);
        else
            complete = WalkPasses<kLanes>(x, MontgomeryStep<M>{mont, step}, p, odd / kLanes, writer);
    } else {
        complete = WalkPasses<kLanes>(x, MontgomeryStep<M>{mont, step}, p, odd / kLanes, writer);
    }
    return complete ? writer.found : -1;
}

}  // namespace
}  // namespace varnesk
