#include "kernels/generic.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"

namespace varnesk {

void KernelContext::SetRootSearch(int32_t exponent, int32_t limit) {
    rootExponent = exponent;
    rootLimit = static_cast<uint32_t>(limit);
}

void KernelContext::SetRootOutput(int32_t* count, uint32_t* output, int32_t capacity) {
    rootCountOut = count;
    rootOutput = output;
    rootCapacity = capacity;
}

void KernelContext::SetBaseList(int32_t* count, uint32_t* list) {
    baseCount = count;
    baseList = list;
}

namespace {

// The vector walks hold more running powers than sixteen: a^1, a^3, ...,
// a^(2 lanes - 1) and the step a^(2 lanes), normalised. The search record
// is the same for both forms.
int32_t EnumerateVector(const Montgomery& mont, uint64_t a, const KernelTable& table, uint32_t passes,
                        uint32_t limit, uint32_t* out, int32_t capacity) {
    const int lanes = table.rootLanes;
    uint64_t x[kMostRootLanes];
    const uint64_t am = mont.To(a), tm = mont.Sqr(mont.Sqr(am));  // a^4
    x[0] = am;
    x[1] = mont.Mul(mont.Sqr(am), am);
    for (int j = 2; j < 16; ++j) x[j] = mont.Mul(x[j - 2], tm);
    uint64_t step = mont.Mul(x[1], x[14]);  // a^32
    for (int have = 16; have < lanes; have *= 2) {
        for (int j = 0; j < have; ++j) x[have + j] = mont.Mul(x[j], step);
        step = mont.Sqr(step);
    }
    for (int j = 0; j < lanes; ++j) x[j] = mont.From(x[j]);
    const RootSearch search{x,     mont.From(step), mont.p, passes, limit, out, capacity,
                                    table.rootsScalarBeside};
    return table.roots.fn(search);
}

}  // namespace

bool EnumerateGfnRootsBatch(const KernelTable& table, const uint64_t* p, const uint64_t* a, int count,
                            int32_t exponent, uint32_t limit, uint32_t* const* out, int32_t capacity,
                            int32_t* found) {
    if (count < 1 || count > kRootBatchPrimes || capacity < 1) return false;
    for (int i = 0; i < count; ++i)
        if (!table.rootsBatch.Takes(p[i], exponent) || a[i] >= p[i]) return false;
    table.rootsBatch.fn({p, a, count, static_cast<uint32_t>(exponent) / 2, limit, out, capacity, found});
    return true;
}

int KernelContext::EnumerateGfnRoots(int64_t aValue, int64_t pValue) {
    const uint64_t p = static_cast<uint64_t>(pValue);
    const uint64_t a = static_cast<uint64_t>(aValue) % p;
    const Montgomery mont(p);
    int32_t found;
    if (table.roots.Takes(p, rootExponent))
        found = EnumerateVector(mont, a, table, static_cast<uint32_t>(rootExponent) >> 5, rootLimit, rootOutput,
                                rootCapacity);
    else if (table.scalarChains == 8)
        found = WalkRoots<8>(mont, a, rootExponent, rootLimit, rootOutput, rootCapacity);
    else
        found = WalkRoots<16>(mont, a, rootExponent, rootLimit, rootOutput, rootCapacity);
    if (found < 0) return 0;
    *rootCountOut = found;
    return 1;
}

}  // namespace varnesk
