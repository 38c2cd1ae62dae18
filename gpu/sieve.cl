// The wide sieve on an OpenCL device: the probable primes of a run of k, a
// solution of order 2N for each, and the walk over its odd powers for the
// bases up to bMax. The host sorts what comes back, checks every walk's end
// and proves every strike again; these kernels only have to be fast and,
// for the files to be the CPU's, give the CPU's primes and solutions, and
// every root within the limit.
//
// Bounds, one word (p < 2^64, R = 2^64, values in [0, p)):
//   mont_mul64(a, b) with a, b < p: t = a*b < p^2 < p*2^64, so t_hi < p.
//   m = t_lo * p^-1 mod 2^64 makes m*p = t (mod 2^64): the low words cancel
//   exactly and (t - m*p) / 2^64 = t_hi - mul_hi(m, p). m < 2^64 gives
//   mul_hi(m, p) < p, so the difference lies in (-p, p): one conditional
//   add of p ends in [0, p). No bit is lost for any odd p < 2^64.
//   add64(a, b) with a, b < p: a + b < 2p < 2^65 wraps at most once; when
//   it wraps, the true sum is at least 2^64 > p and s - p (mod 2^64) is
//   right; otherwise one compare with p.
//
// The walks' steps below 2^64 (step64), x a^2 mod p for x < p, s = a^2:
//   walk64, Shoup (p < 2^63): the host's sq = floor(s 2^64 / p) is above
//   s 2^64 / p - 1, so q = mul_hi(x, sq) > x sq / 2^64 - 1 > x s / p - x /
//   2^64 - 1 > x s / p - 2, and q <= x s / p. r = x s - q p lies in [0, 2p)
//   and, 2p < 2^64, is its value mod 2^64: x s + q (2^64 - p), two low
//   products (with 2^64 - p from the host, so that the compiler cannot make
//   them a subtraction again). t = r - p has its top bit set exactly when
//   r < p (t >= 2^64 - p > 2^63 then, t < p < 2^63 else): one correction.
//   walk64m, Montgomery (p < 2^64): x (s R) < p^2 as above, and its
//   quotient m = x (s R) p^-1 mod R is the one low product x * smp by the
//   host's smp = (s R) p^-1 mod R; the result is x s mod p in (-p, p) before
//   one conditional add.
//
// Three 32-bit limbs (p < 2^96, R = 2^96, values in [0, p)):
//   mont_mul96 is the limb-by-limb interleaved product and reduction. With
//   T < 2p before a step, T + a*b_i + m*p < 2p + (2^32 - 1)p + (2^32 - 1)p
//   = 2^33 p, so after the division by 2^32 T < 2p < 2^97 again: four limbs
//   hold it (the top one 0 or 1), each limb product and its carries fit in
//   64 bits ((2^32 - 1)^2 + 2(2^32 - 1) = 2^64 - 1). After three steps
//   T = a*b / 2^96 (mod p) with T < 2p: one conditional subtraction
//   (reduce96: T >= p exactly when the borrow out of the low three limbs
//   of T - p is at most the top limb). add96 likewise: a + b < 2p < 2^97.
//   walk96 (2^80 <= p < 2^96) steps by mont_mul96(x, a^2 R).
//
// walk80 (2^64 <= p < 2^80), shoup_step80: x s mod p for x < 2p, s < p,
// with w = floor(s 2^96 / p) < 2^96 and np = 2^96 - p from the host, limbs
// x = (x0, x1, x2), x2 < 2^17 as x < 2p < 2^81.
//   The quotient: q is floor(P / 2^96) for P = x w - x0 w0, the product
//   without its lowest limb product (below 2^64), formed row by row, where
//   each limb product plus two 32-bit addends fits in 64 bits. q <= x w /
//   2^96 <= x s / p. As w > s 2^96 / p - 1, P / 2^96 > x s / p - x / 2^96 -
//   2^64 / 2^96 > x s / p - 2^-15 - 2^-32 > x s / p - 1, so q >= floor(x s /
//   p) - 1: the estimate is off by at most one, below.
//   The remainder: r = x s - q p is then in [0, 2p), below 2^81, so its
//   value mod 2^96 is r itself: x s + q np mod 2^96, from the limb products
//   of weight below 2^96 only (those of weight 2^64 need their low words
//   alone). q < 2p < 2^81 as well.
//   So every value stays in [0, 2p) with no correction in the loop: the
//   pre-filter takes [0, 2p) (below), and a value is reduced (canon80, by
//   the sign of x - p, |x - p| < 2^81) only where it is looked at and at
//   the chunk's end.
//
// The walks' pre-filter, one test a step for x and p - x together: a hit
// needs x <= limit or x >= p - limit (limit < 2^31). With t the 32 bits of
// x from some bit b (t = 0 for x <= limit as 2^b > limit), the test (t - 1)
// mod 2^32 >= near, near = t(p - limit) - 1, holds for t = 0 and for every
// t >= t(p - limit), so for both (near >= 0 as t(p - limit) >= 1, or near =
// 0 and every x examined).
//   NEAR64 (p < 2^64): b = 32, t = x's high word; near is 0 when the high
//   word of p - limit is 0.
//   NEAR_WIDE (walk96): b = bitlen(p) - 32, t below 2^32 as x < p.
//   NEAR_LAZY (walk80, x in [0, 2p)): b = bitlen(p) - 31 so that t < 2^32;
//   x mod p within the limit of 0 or of p means x in [0, limit], [p -
//   limit, p + limit] or [2p - limit, 2p): t = 0, t in [t(p - limit), t(p +
//   limit)] (the test t - from <= span) or t >= t(2p - limit) (near).
// The pre-filter only ever lets more through: inside its branch the exact
// tests decide, on reduced values, in the CPU's order of keys.
//
// Small moduli q <= 313: a value's limbs are folded with 2^32 mod q, each
// partial below 313 * 313 + 2^32, in 64 bits.

#define WHEEL_COUNT 20
__constant uint kWheel[WHEEL_COUNT] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73};

// The odd primes from 3: the order search's table of quadratic characters.
#define SMALL_PRIMES 64
__constant uint kSmallPrimes[SMALL_PRIMES] = {
    3,   5,   7,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,  53,  59,  61,  67,  71,  73,  79,  83,
    89,  97,  101, 103, 107, 109, 113, 127, 131, 137, 139, 149, 151, 157, 163, 167, 173, 179, 181, 191, 193, 197,
    199, 211, 223, 227, 229, 233, 239, 241, 251, 257, 263, 269, 271, 277, 281, 283, 293, 307, 311, 313};

// A prime's record from find_primes: its place among the batch's k, and
// what the device made of it.
#define STATUS_COMPOSITE 0u  // passed the Fermat test, the order search shows it composite
#define STATUS_WALK 1u       // a of order 2N found: its roots are to be walked
#define STATUS_HOST 2u       // no solution within the device's search: the CPU completes it

typedef struct {
    uint l0, l1, l2;
} u96;

// ---------------------------------------------------------------- small moduli

ulong fold_mod(ulong r, uint limb, uint q, ulong t32) { return (r * t32 + (limb % q)) % q; }

uint mod_small64(ulong p, uint q) {
    const ulong t32 = (0x100000000UL) % q;
    ulong r = (uint)(p >> 32) % q;
    return (uint)fold_mod(r, (uint)p, q, t32);
}

uint mod_small96(u96 p, uint q) {
    const ulong t32 = (0x100000000UL) % q;
    ulong r = p.l2 % q;
    r = fold_mod(r, p.l1, q, t32);
    return (uint)fold_mod(r, p.l0, q, t32);
}

// Euler's criterion mod the small prime q for r = p mod q: true when p is a
// non-residue mod q, which for p = 1 (mod 4) makes q one mod p.
bool non_residue(uint r, uint q) {
    uint power = 1, base = r;
    for (uint e = (q - 1) / 2; e != 0; e >>= 1) {
        if (e & 1) power = power * base % q;
        base = base * base % q;
    }
    return power != 1;
}

// ---------------------------------------------------------------- one word

typedef struct {
    ulong p, pinv, one, r2;
} Mont64;

ulong mont_reduce64(ulong lo, ulong hi, ulong p, ulong pinv) {
    const ulong m = lo * pinv;
    const ulong mp = mul_hi(m, p);
    const ulong r = hi - mp;
    return hi < mp ? r + p : r;
}

ulong mont_mul64(ulong a, ulong b, const Mont64* m) { return mont_reduce64(a * b, mul_hi(a, b), m->p, m->pinv); }

ulong add64(ulong a, ulong b, ulong p) {
    const ulong s = a + b;
    return (s < a || s >= p) ? s - p : s;
}

Mont64 mont_setup64(ulong p) {
    Mont64 m;
    m.p = p;
    ulong x = p;  // p*p = 1 (mod 8): right to 3 bits, Newton doubles them
    for (int i = 0; i < 5; ++i) x *= 2 - p * x;
    m.pinv = x;
    m.one = (0 - p) % p;
    ulong r = m.one;
    for (int i = 0; i < 64; ++i) r = add64(r, r, p);
    m.r2 = r;
    return m;
}

ulong to_mont64(ulong a, const Mont64* m) { return mont_mul64(a, m->r2, m); }
ulong from_mont64(ulong a, const Mont64* m) { return mont_reduce64(a, 0, m->p, m->pinv); }

// 2^(p - 1) = 1 (mod p), left to right, the doubling an addition.
bool fermat64(const Mont64* m) {
    const ulong e = m->p - 1;
    ulong x = m->one;
    for (int bit = 63 - (int)clz(e); bit >= 0; --bit) {
        x = mont_mul64(x, x, m);
        if ((e >> bit) & 1) x = add64(x, x, m->p);
    }
    return x == m->one;
}

ulong pow_mont64(ulong base, ulong e, const Mont64* m) {
    ulong a = m->one;
    for (; e != 0; e >>= 1) {
        if (e & 1) a = mont_mul64(a, base, m);
        base = mont_mul64(base, base, m);
    }
    return a;
}

// ---------------------------------------------------------------- three limbs

typedef struct {
    u96 p, one, r2;
    uint pinv;  // -p^-1 mod 2^32
} Mont96;

bool eq96(u96 a, u96 b) { return a.l0 == b.l0 && a.l1 == b.l1 && a.l2 == b.l2; }

// a - b for a >= b (mod 2^96 otherwise).
u96 sub96(u96 a, u96 b) {
    u96 r;
    ulong t = (ulong)a.l0 - b.l0;
    r.l0 = (uint)t;
    t = (ulong)a.l1 - b.l1 - (uint)(t >> 63);
    r.l1 = (uint)t;
    t = (ulong)a.l2 - b.l2 - (uint)(t >> 63);
    r.l2 = (uint)t;
    return r;
}

// T - p for T = top 2^96 + t below 2p (top 0 or 1), when T >= p; T else.
// T >= p exactly when the borrow out of t - p's three limbs is at most top.
u96 reduce96(u96 t, uint top, u96 p) {
    const ulong low = ((ulong)t.l1 << 32) | t.l0, plow = ((ulong)p.l1 << 32) | p.l0;
    const ulong dlow = low - plow;
    const ulong high = (ulong)t.l2 - p.l2 - (low < plow ? 1 : 0);
    const u96 d = {(uint)dlow, (uint)(dlow >> 32), (uint)high};
    return top >= (uint)(high >> 63) ? d : t;
}

u96 add96(u96 a, u96 b, u96 p) {
    u96 s;
    ulong t = (ulong)a.l0 + b.l0;
    s.l0 = (uint)t;
    t = (ulong)a.l1 + b.l1 + (t >> 32);
    s.l1 = (uint)t;
    t = (ulong)a.l2 + b.l2 + (t >> 32);
    s.l2 = (uint)t;
    return reduce96(s, (uint)(t >> 32), p);
}

u96 mont_mul96(u96 a, u96 b, const Mont96* m) {
    const uint av[3] = {a.l0, a.l1, a.l2};
    const uint bv[3] = {b.l0, b.l1, b.l2};
    const uint pv[3] = {m->p.l0, m->p.l1, m->p.l2};
    uint t0 = 0, t1 = 0, t2 = 0, t3 = 0;
#pragma unroll
    for (int i = 0; i < 3; ++i) {
        const ulong bi = bv[i];
        ulong u = av[0] * bi + t0;
        t0 = (uint)u;
        u = av[1] * bi + t1 + (u >> 32);
        t1 = (uint)u;
        u = av[2] * bi + t2 + (u >> 32);
        t2 = (uint)u;
        u = (ulong)t3 + (u >> 32);
        t3 = (uint)u;
        const uint t4 = (uint)(u >> 32);
        const ulong mi = (uint)(t0 * m->pinv);
        u = mi * pv[0] + t0;
        u = mi * pv[1] + t1 + (u >> 32);
        t0 = (uint)u;
        u = mi * pv[2] + t2 + (u >> 32);
        t1 = (uint)u;
        u = (ulong)t3 + (u >> 32);
        t2 = (uint)u;
        t3 = t4 + (uint)(u >> 32);
    }
    const u96 r = {t0, t1, t2};
    return reduce96(r, t3, m->p);
}

Mont96 mont_setup96(u96 p) {
    Mont96 m;
    m.p = p;
    uint x = p.l0;
    for (int i = 0; i < 4; ++i) x *= 2 - p.l0 * x;
    m.pinv = 0 - x;
    u96 r = {1, 0, 0};
    for (int i = 0; i < 96; ++i) r = add96(r, r, p);
    m.one = r;
    for (int i = 0; i < 96; ++i) r = add96(r, r, p);
    m.r2 = r;
    return m;
}

u96 to_mont96(u96 a, const Mont96* m) { return mont_mul96(a, m->r2, m); }
u96 from_mont96(u96 a, const Mont96* m) {
    const u96 one = {1, 0, 0};
    return mont_mul96(a, one, m);
}

bool fermat96(const Mont96* m) {
    const u96 one = {1, 0, 0};
    const u96 e = sub96(m->p, one);
    u96 x = m->one;
    const int top = e.l2 ? 95 - (int)clz(e.l2) : e.l1 ? 63 - (int)clz(e.l1) : 31 - (int)clz(e.l0);
    for (int bit = top; bit >= 0; --bit) {
        x = mont_mul96(x, x, m);
        const uint limb = bit >= 64 ? e.l2 : bit >= 32 ? e.l1 : e.l0;
        if ((limb >> (bit & 31)) & 1) x = add96(x, x, m->p);
    }
    return eq96(x, m->one);
}

// base^e with e below 2^96 as two words. Inlined: called, it would take the
// Montgomery constants through local memory.
__attribute__((always_inline)) u96 pow_mont96(u96 base, ulong elo, ulong ehi, const Mont96* m) {
    u96 a = m->one;
    ulong e = elo;
    // With a high word every bit of the low one counts, zeros too.
    for (int bit = 0; bit < 64 && (e != 0 || ehi != 0); ++bit, e >>= 1) {
        if (e & 1) a = mont_mul96(a, base, m);
        base = mont_mul96(base, base, m);
    }
    for (e = ehi; e != 0; e >>= 1) {
        if (e & 1) a = mont_mul96(a, base, m);
        base = mont_mul96(base, base, m);
    }
    return a;
}

// ---------------------------------------------------------------- the batch's k

// The batch is a run of blocks; block b holds k = kFrom_b + 1 .. kFrom_b +
// (start[b + 1] - start[b]). The block of global index g, by bisection.
uint block_of(uint g, __global const uint* start, uint blocks) {
    uint lo = 0, hi = blocks;
    while (hi - lo > 1) {
        const uint mid = (lo + hi) / 2;
        if (start[mid] <= g) lo = mid;
        else hi = mid;
    }
    return lo;
}

// The first odd prime q <= 313 of which p is a non-residue, 0 when p has a
// factor among them or there is none (the search then starts at its
// beginning), as the CPU's search starts. Each residue as it is needed:
// a table of them would sit in local memory.
uint first_non_residue64(ulong p, int n) {
    if (n < 2) return 0;
    for (int i = 0; i < SMALL_PRIMES; ++i) {
        const uint r = mod_small64(p, kSmallPrimes[i]);
        if (r == 0) return 0;
        if (non_residue(r, kSmallPrimes[i])) return kSmallPrimes[i];
    }
    return 0;
}

uint first_non_residue96(u96 p, int n) {
    if (n < 2) return 0;
    for (int i = 0; i < SMALL_PRIMES; ++i) {
        const uint r = mod_small96(p, kSmallPrimes[i]);
        if (r == 0) return 0;
        if (non_residue(r, kSmallPrimes[i])) return kSmallPrimes[i];
    }
    return 0;
}

void emit(volatile __global uint* count, __global ulong* out, uint capacity, uint g, uint status, ulong alo,
          ulong ahi) {
    const uint at = atomic_inc(count);
    if (at >= capacity) return;  // the host sees the count and sends less
    out[3 * at] = (ulong)g | ((ulong)status << 32);
    out[3 * at + 1] = alo;
    out[3 * at + 2] = ahi;
}

// One k per work item, p = k*2N + 1 < 2^64: the wheel, the base-2 Fermat
// test and, for a probable prime, the search of the CPU for a of order 2N
// (q = first non-residue, else 3 or 2, then 5, 7, 9, ...), at most `tries`
// values of q; beyond them, the host's.
__kernel void find_primes64(__global const ulong* kFrom, __global const uint* start, uint blocks, ulong twoN,
                            int n, uint tries, volatile __global uint* count, __global ulong* out, uint capacity) {
    const uint g = get_global_id(0);
    if (g >= start[blocks]) return;
    const uint b = block_of(g, start, blocks);
    const ulong k = kFrom[2 * b] + (g - start[b]) + 1;
    const ulong p = k * twoN + 1;
    for (int i = 0; i < WHEEL_COUNT; ++i)
        if (mod_small64(p, kWheel[i]) == 0 && p != kWheel[i]) return;
    const Mont64 m = mont_setup64(p);
    if (!fermat64(&m)) return;
    const uint first = first_non_residue64(p, n);
    ulong q = first ? first : n >= 2 ? 3 : 2;
    for (uint t = 0; t < tries; ++t, q = q == 2 ? 3 : q + 2) {
        const ulong a = pow_mont64(to_mont64(q % p, &m), k, &m);
        ulong r = a;
        for (int i = 0; i < n; ++i) r = mont_mul64(r, r, &m);
        if (r == m.one) continue;
        if (r == p - m.one) emit(count, out, capacity, g, STATUS_WALK, from_mont64(a, &m), 0);
        else emit(count, out, capacity, g, STATUS_COMPOSITE, 0, 0);
        return;
    }
    emit(count, out, capacity, g, STATUS_HOST, 0, 0);
}

// The same from 2^64 to 2^96, in three limbs (k below 2^95, two words).
__kernel void find_primes96(__global const ulong* kFrom, __global const uint* start, uint blocks, ulong twoN,
                            int n, uint tries, volatile __global uint* count, __global ulong* out, uint capacity) {
    const uint g = get_global_id(0);
    if (g >= start[blocks]) return;
    const uint b = block_of(g, start, blocks);
    ulong klo = kFrom[2 * b], khi = kFrom[2 * b + 1];
    const ulong step = (g - start[b]) + 1;
    klo += step;
    if (klo < step) ++khi;
    // p = k*2N + 1, 2N a power of two below 2^32.
    const int shift = 63 - (int)clz(twoN);
    const ulong plo = (klo << shift) | 1;
    const ulong phi = shift ? (khi << shift) | (klo >> (64 - shift)) : khi;
    const u96 p = {(uint)plo, (uint)(plo >> 32), (uint)phi};
    for (int i = 0; i < WHEEL_COUNT; ++i)
        if (mod_small96(p, kWheel[i]) == 0 && (phi != 0 || plo != kWheel[i])) return;
    const Mont96 m = mont_setup96(p);
    if (!fermat96(&m)) return;
    const uint first = first_non_residue96(p, n);
    uint q = first ? first : n >= 2 ? 3 : 2;
    const u96 minusOne = sub96(p, m.one);
    for (uint t = 0; t < tries; ++t, q = q == 2 ? 3 : q + 2) {
        const u96 qv = {q, 0, 0};
        const u96 a = pow_mont96(to_mont96(qv, &m), klo, khi, &m);
        u96 r = a;
        for (int i = 0; i < n; ++i) r = mont_mul96(r, r, &m);
        if (eq96(r, m.one)) continue;
        if (eq96(r, minusOne)) {
            const u96 an = from_mont96(a, &m);
            emit(count, out, capacity, g, STATUS_WALK, (ulong)an.l0 | ((ulong)an.l1 << 32), an.l2);
        } else {
            emit(count, out, capacity, g, STATUS_COMPOSITE, 0, 0);
        }
        return;
    }
    emit(count, out, capacity, g, STATUS_HOST, 0, 0);
}

// ---------------------------------------------------------------- the walk

// A walking prime's constants, from the host: p, a and a^2 in Montgomery
// form, p's inverse for the reduction, a.
#define PRIME_WORDS 16

// A hit: the prime's place in the batch, 2j (x = a^(2j + 1)) or 2j + 1
// (p - x), and the base.
void hit(volatile __global uint* hitCount, __global uint* hits, uint capacity, uint prime, uint key, uint b) {
    const uint at = atomic_inc(hitCount);
    if (at >= capacity) return;
    hits[4 * at] = prime;
    hits[4 * at + 1] = key;
    hits[4 * at + 2] = b;
    hits[4 * at + 3] = 0;
}

// Work item i walks chunk items[i].y of prime items[i].x: the odd powers
// a^(2j + 1) for j from chunk*steps, steps of them (a power of two that
// divides N/2, the same for every chunk). It writes its first power and the one after its
// last: the host checks that each chunk ends where the next begins and the
// last at a^(N + 1) = -a.
//
// The tests' build (VARNESK_TEST_HOOKS) takes one more argument, broken:
// the first chunk's walk goes astray, off its first power. The shipped
// kernels have neither the argument nor the test.
#ifdef VARNESK_TEST_HOOKS
#define WALK_HOOK_ARG , uint broken
#define WALK_GOES_ASTRAY broken
#else
#define WALK_HOOK_ARG
#define WALK_GOES_ASTRAY 0u
#endif

// A walk's constants below 2^64, from the host (PRIME_WORDS words):
//   walk64 (p < 2^63): p, p^-1 mod R, a R, a^2 R, s = a^2, floor(s 2^64 / p),
//     near, 2^64 - p;
//   walk64m (p < 2^64): p, p^-1 mod R, a R, a^2 R, a^2 R, a^2 R p^-1 mod R,
//     near, 0.
// The first four make the chunk's first power, the rest its steps.
typedef struct {
    ulong p, s, sq, np;
    uint near;
} Step64;

Step64 step64_load(__global const ulong* c) {
    Step64 k;
    k.p = c[0];
    k.s = c[4];
    k.sq = c[5];
    k.near = (uint)c[6];
    k.np = c[7];
    return k;
}

// x a^2 mod p for x < p: Shoup's or Montgomery's step (see the opening
// comment).
ulong step64_by(ulong x, ulong p, ulong s, ulong sq, ulong np, const bool shoup) {
    if (shoup) {
        const ulong r = x * s + mul_hi(x, sq) * np;
        const ulong t = r - p;
        return (long)t < 0 ? r : t;
    }
    const ulong hi = mul_hi(x, s);
    const ulong mp = mul_hi(x * sq, p);
    return hi < mp ? hi - mp + p : hi - mp;
}
// The constants as scalars: a struct argument, once inlined, leaves
// oclgrind's interpreter an LLVM intrinsic it cannot run.
#define step64(x, k, shoup) step64_by(x, (k).p, (k).s, (k).sq, (k).np, shoup)

// The hits of x: x itself (key 2j) and p - x (2j + 1) when within the limit.
void exact_hits64(ulong x, ulong p, uint limit, uint prime, uint j, volatile __global uint* hitCount,
                  __global uint* hits, uint capacity) {
    if (x <= limit) hit(hitCount, hits, capacity, prime, 2 * j, (uint)x);
    if (p - x <= limit) hit(hitCount, hits, capacity, prime, 2 * j + 1, (uint)(p - x));
}

// Whether x or p - x may lie within the limit, from x's high word alone
// (see the opening comment).
#define NEAR64(x, near) ((uint)((x) >> 32) - 1u >= (near))

// Steps a round of the walks; every chunk is a multiple of it or shorter.
#define ROUND 4

// The walk of one chunk below 2^64 (see walk64): shoup picks the step.
__attribute__((always_inline)) void walk64_chunk(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps, uint limit,
                  volatile __global uint* hitCount, __global uint* hits, uint capacity, __global ulong* ends,
                  uint broken, const bool shoup) {
    const uint i = get_global_id(0);
    if (i >= itemCount) return;
    const uint2 item = items[i];
    __global const ulong* c = primes + PRIME_WORDS * item.x;
    const Step64 k = step64_load(c);
    const ulong p = k.p;
    Mont64 m;
    m.p = p;
    m.pinv = c[1];
    const uint j0 = item.y * steps;
    // a^(2 j0 + 1): a * (a^2)^j0, the power in Montgomery form.
    ulong xm = c[2], base = c[3];
    for (uint e = j0; e != 0; e >>= 1) {
        if (e & 1) xm = mont_mul64(xm, base, &m);
        base = mont_mul64(base, base, &m);
    }
    ulong x = from_mont64(xm, &m);
    const ulong first = x;
    if (broken && i == 0) x = add64(x, 1, p);
    if (steps % ROUND == 0) {
        for (uint t = 0; t < steps; t += ROUND) {
            ulong v[ROUND];
            bool near = false;
#pragma unroll
            for (int r = 0; r < ROUND; ++r) {
                v[r] = x;
                near |= NEAR64(x, k.near);
                x = step64(x, k, shoup);
            }
            if (near)
#pragma unroll
                for (int r = 0; r < ROUND; ++r)
                    exact_hits64(v[r], p, limit, item.x, j0 + t + r, hitCount, hits, capacity);
        }
    } else {
        // N below 2 ROUND: a chunk shorter than a round, in straight code.
#pragma unroll
        for (int r = 0; r < ROUND - 1; ++r)
            if (r < steps) {
                exact_hits64(x, p, limit, item.x, j0 + r, hitCount, hits, capacity);
                x = step64(x, k, shoup);
            }
    }
    ends[4 * i] = first;
    ends[4 * i + 1] = 0;
    ends[4 * i + 2] = x;
    ends[4 * i + 3] = 0;
}

__kernel void walk64(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps,
                     uint limit, volatile __global uint* hitCount, __global uint* hits, uint capacity,
                     __global ulong* ends WALK_HOOK_ARG) {
    walk64_chunk(primes, items, itemCount, steps, limit, hitCount, hits, capacity, ends, WALK_GOES_ASTRAY, true);
}

__kernel void walk64m(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps,
                      uint limit, volatile __global uint* hitCount, __global uint* hits, uint capacity,
                      __global ulong* ends WALK_HOOK_ARG) {
    walk64_chunk(primes, items, itemCount, steps, limit, hitCount, hits, capacity, ends, WALK_GOES_ASTRAY, false);
}

// A walk's constants from 2^64, from the host: p, a R and a^2 R (R =
// 2^96), -p^-1 mod 2^32 and the pre-filter's shift, near and from, and for
// walk80 s = a^2, w = floor(s 2^96 / p), 2^96 - p and the pre-filter's
// span; two words a value (low, high).
#define WIDE_P 0
#define WIDE_AR 2
#define WIDE_SR 4
#define WIDE_PINV_SHIFT 6
#define WIDE_NEAR 7
#define WIDE_S 8
#define WIDE_W 10
#define WIDE_NP 12
#define WIDE_SPAN 14

// A macro, not a function: an inlined function that returns a struct leaves
// oclgrind's interpreter an LLVM intrinsic it cannot run.
#define wide_word(c, at) ((u96){(uint)(c)[at], (uint)((c)[at] >> 32), (uint)(c)[(at) + 1]})

// x s mod p for x < 2p, s < p < 2^80, left in [0, 2p): the quotient q from
// x w without x0 w0, then x s + q (2^96 - p) mod 2^96 (see the opening
// comment).
u96 shoup_step80(u96 x, u96 s, u96 w, u96 np) {
    ulong u = (ulong)x.l0 * w.l1;
    const uint a1 = (uint)u;
    u = (ulong)x.l0 * w.l2 + (u >> 32);
    uint a2 = (uint)u, a3 = (uint)(u >> 32);
    u = (ulong)x.l1 * w.l0 + a1;
    u = (ulong)x.l1 * w.l1 + a2 + (u >> 32);
    a2 = (uint)u;
    u = (ulong)x.l1 * w.l2 + a3 + (u >> 32);
    a3 = (uint)u;
    const uint a4 = (uint)(u >> 32);
    u = (ulong)x.l2 * w.l0 + a2;
    u = (ulong)x.l2 * w.l1 + a3 + (u >> 32);
    const uint q0 = (uint)u;
    u = (ulong)x.l2 * w.l2 + a4 + (u >> 32);
    const uint q1 = (uint)u, q2 = (uint)(u >> 32);

    u = (ulong)x.l0 * s.l0;
    uint r0 = (uint)u;
    u = (ulong)x.l0 * s.l1 + (u >> 32);
    uint r1 = (uint)u;
    uint r2 = x.l0 * s.l2 + (uint)(u >> 32);
    u = (ulong)x.l1 * s.l0 + r1;
    r1 = (uint)u;
    r2 += x.l1 * s.l1 + (uint)(u >> 32) + x.l2 * s.l0;
    u = (ulong)q0 * np.l0 + r0;
    r0 = (uint)u;
    u = (ulong)q0 * np.l1 + r1 + (u >> 32);
    r1 = (uint)u;
    r2 += q0 * np.l2 + (uint)(u >> 32);
    u = (ulong)q1 * np.l0 + r1;
    r1 = (uint)u;
    r2 += q1 * np.l1 + (uint)(u >> 32) + q2 * np.l0;
    return (u96){r0, r1, r2};
}

// x mod p for x < 2p < 2^95: x - p when its sign says it is no less than 0.
u96 canon80(u96 x, u96 p) {
    ulong u = (ulong)x.l0 - p.l0;
    const uint d0 = (uint)u;
    u = (ulong)x.l1 - p.l1 - (uint)(u >> 63);
    const uint d1 = (uint)u;
    const uint d2 = x.l2 - p.l2 - (uint)(u >> 63);
    return (int)d2 < 0 ? x : (u96){d0, d1, d2};
}

// The 32 bits of x from bit 32 + shift: for walk96 (x < p) shift =
// bitlen(p) - 64, for walk80 (x < 2p) one more.
#define TOP32(x, shift) ((uint)(((((ulong)(x).l2) << 32) | (x).l1) >> (shift)))

// As NEAR64 for p from 2^80, x < p.
#define NEAR_WIDE(x, shift, near) (TOP32(x, shift) - 1u >= (near))

// For walk80's x in [0, 2p).
#define NEAR_LAZY(x, shift, near, from, span) \
    (TOP32(x, shift) - 1u >= (near) || TOP32(x, shift) - (from) <= (span))

void exact_hits96(u96 x, u96 p, uint limit, uint prime, uint j, volatile __global uint* hitCount,
                  __global uint* hits, uint capacity) {
    if (x.l2 == 0 && x.l1 == 0 && x.l0 <= limit) hit(hitCount, hits, capacity, prime, 2 * j, x.l0);
    const u96 y = sub96(p, x);
    if (y.l2 == 0 && y.l1 == 0 && y.l0 <= limit) hit(hitCount, hits, capacity, prime, 2 * j + 1, y.l0);
}

// The walk of one chunk from 2^64 (see walk64): shoup for p < 2^80 (its
// values in [0, 2p) until they are looked at), a Montgomery product by
// a^2 R above. Inlined, so that each kernel's loop is its own (clang for
// AMD would call it).
__attribute__((always_inline)) void walk_wide_chunk(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps,
                     uint limit, volatile __global uint* hitCount, __global uint* hits, uint capacity,
                     __global ulong* ends, uint broken, const bool shoup) {
    const uint i = get_global_id(0);
    if (i >= itemCount) return;
    const uint2 item = items[i];
    __global const ulong* c = primes + PRIME_WORDS * item.x;
    Mont96 m;
    m.p = wide_word(c, WIDE_P);
    m.pinv = (uint)c[WIDE_PINV_SHIFT];
    const uint shift = (uint)(c[WIDE_PINV_SHIFT] >> 32), near = (uint)c[WIDE_NEAR];
    const uint from = (uint)(c[WIDE_NEAR] >> 32), span = (uint)c[WIDE_SPAN];
    const u96 sm = wide_word(c, WIDE_SR), s = wide_word(c, WIDE_S), w = wide_word(c, WIDE_W),
              np = wide_word(c, WIDE_NP);
    const uint j0 = item.y * steps;
    u96 xm = wide_word(c, WIDE_AR), base = sm;
    for (uint e = j0; e != 0; e >>= 1) {
        if (e & 1) xm = mont_mul96(xm, base, &m);
        base = mont_mul96(base, base, &m);
    }
    u96 x = from_mont96(xm, &m);
    const u96 first = x;
    if (broken && i == 0) {
        const u96 one = {1, 0, 0};
        x = add96(x, one, m.p);
    }
    if (steps % ROUND == 0) {
        for (uint t = 0; t < steps; t += ROUND) {
            u96 v[ROUND];
            bool close = false;
#pragma unroll
            for (int r = 0; r < ROUND; ++r) {
                v[r] = x;
                if (shoup) {
                    close |= NEAR_LAZY(x, shift, near, from, span);
                    x = shoup_step80(x, s, w, np);
                } else {
                    close |= NEAR_WIDE(x, shift, near);
                    x = mont_mul96(x, sm, &m);
                }
            }
            if (close)
#pragma unroll
                for (int r = 0; r < ROUND; ++r)
                    exact_hits96(shoup ? canon80(v[r], m.p) : v[r], m.p, limit, item.x, j0 + t + r, hitCount,
                                 hits, capacity);
        }
    } else {
#pragma unroll
        for (int r = 0; r < ROUND - 1; ++r)
            if (r < steps) {
                if (shoup) x = canon80(x, m.p);
                exact_hits96(x, m.p, limit, item.x, j0 + r, hitCount, hits, capacity);
                x = shoup ? shoup_step80(x, s, w, np) : mont_mul96(x, sm, &m);
            }
    }
    if (shoup) x = canon80(x, m.p);
    ends[4 * i] = (ulong)first.l0 | ((ulong)first.l1 << 32);
    ends[4 * i + 1] = first.l2;
    ends[4 * i + 2] = (ulong)x.l0 | ((ulong)x.l1 << 32);
    ends[4 * i + 3] = x.l2;
}

__kernel void walk80(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps,
                     uint limit, volatile __global uint* hitCount, __global uint* hits, uint capacity,
                     __global ulong* ends WALK_HOOK_ARG) {
    walk_wide_chunk(primes, items, itemCount, steps, limit, hitCount, hits, capacity, ends, WALK_GOES_ASTRAY, true);
}

__kernel void walk96(__global const ulong* primes, __global const uint2* items, uint itemCount, uint steps,
                     uint limit, volatile __global uint* hitCount, __global uint* hits, uint capacity,
                     __global ulong* ends WALK_HOOK_ARG) {
    walk_wide_chunk(primes, items, itemCount, steps, limit, hitCount, hits, capacity, ends, WALK_GOES_ASTRAY, false);
}

// ---------------------------------------------------------------- tests' access

// One step of a walk kernel from given values, for the tests: per row, the
// prime's words as the host gives them to the walk kernel `kind` (0 walk64,
// 1 walk64m, 2 walk80, 3 walk96) and x (two words; below 2p for walk80,
// below p else); out: x a^2 mod p (two words; walk80's as it leaves it, in
// [0, 2p)) and whether the kernel's pre-filter would examine x (1) or pass
// it by (0).
__kernel void walk_steps(__global const ulong* primes, __global const ulong* xs, uint count, uint kind,
                         __global ulong* out) {
    const uint i = get_global_id(0);
    if (i >= count) return;
    __global const ulong* c = primes + PRIME_WORDS * i;
    ulong lo = xs[2 * i], hi = xs[2 * i + 1], examined = 1;
    if (kind < 2) {
        const Step64 k = step64_load(c);
        examined = NEAR64(lo, k.near) ? 1 : 0;
        lo = step64(lo, k, kind == 0);
    } else {
        Mont96 m;
        m.p = wide_word(c, WIDE_P);
        m.pinv = (uint)c[WIDE_PINV_SHIFT];
        u96 x = {(uint)lo, (uint)(lo >> 32), (uint)hi};
        const uint shift = (uint)(c[WIDE_PINV_SHIFT] >> 32), near = (uint)c[WIDE_NEAR];
        if (kind == 2) {
            examined = NEAR_LAZY(x, shift, near, (uint)(c[WIDE_NEAR] >> 32), (uint)c[WIDE_SPAN]) ? 1 : 0;
            x = shoup_step80(x, wide_word(c, WIDE_S), wide_word(c, WIDE_W), wide_word(c, WIDE_NP));
        } else {
            examined = NEAR_WIDE(x, shift, near) ? 1 : 0;
            x = mont_mul96(x, wide_word(c, WIDE_SR), &m);
        }
        lo = (ulong)x.l0 | ((ulong)x.l1 << 32);
        hi = x.l2;
    }
    out[3 * i] = lo;
    out[3 * i + 1] = hi;
    out[3 * i + 2] = examined;
}

// The arithmetic alone, for the tests' references: per row (p, a, b, e) in
// normal form, a*b mod p, a^e mod p, a + b mod p, and whether p passes the
// base-2 Fermat test.
__kernel void arith64(__global const ulong* rows, uint count, __global ulong* out) {
    const uint i = get_global_id(0);
    if (i >= count) return;
    const ulong p = rows[4 * i], a = rows[4 * i + 1], b = rows[4 * i + 2], e = rows[4 * i + 3];
    const Mont64 m = mont_setup64(p);
    const ulong am = to_mont64(a, &m), bm = to_mont64(b, &m);
    out[4 * i] = from_mont64(mont_mul64(am, bm, &m), &m);
    out[4 * i + 1] = from_mont64(pow_mont64(am, e, &m), &m);
    out[4 * i + 2] = add64(a, b, p);
    out[4 * i + 3] = fermat64(&m) ? 1 : 0;
}

// Rows of (p, a, b, e), two words each (low, high).
__kernel void arith96(__global const ulong* rows, uint count, __global ulong* out) {
    const uint i = get_global_id(0);
    if (i >= count) return;
    __global const ulong* r = rows + 8 * i;
    const u96 p = {(uint)r[0], (uint)(r[0] >> 32), (uint)r[1]};
    const u96 a = {(uint)r[2], (uint)(r[2] >> 32), (uint)r[3]};
    const u96 b = {(uint)r[4], (uint)(r[4] >> 32), (uint)r[5]};
    const Mont96 m = mont_setup96(p);
    const u96 am = to_mont96(a, &m), bm = to_mont96(b, &m);
    const u96 prod = from_mont96(mont_mul96(am, bm, &m), &m);
    const u96 pw = from_mont96(pow_mont96(am, r[6], r[7], &m), &m);
    const u96 sum = add96(a, b, p);
    __global ulong* o = out + 8 * i;
    o[0] = (ulong)prod.l0 | ((ulong)prod.l1 << 32);
    o[1] = prod.l2;
    o[2] = (ulong)pw.l0 | ((ulong)pw.l1 << 32);
    o[3] = pw.l2;
    o[4] = (ulong)sum.l0 | ((ulong)sum.l1 << 32);
    o[5] = sum.l2;
    o[6] = fermat96(&m) ? 1 : 0;
    o[7] = 0;
}
