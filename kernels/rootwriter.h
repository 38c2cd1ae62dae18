// The output of a root enumeration, shared by the portable and the vector
// forms. Its functions have internal linkage on purpose: the vector files
// are compiled with other instruction sets, and a shared inline copy from
// one of them could be the one the linker keeps for every caller.
#pragma once
#include <cstdint>
#include <initializer_list>

namespace varnesk {
namespace {  // NOLINT(google-build-namespaces): one copy per file, see above

// Appends v and then p - v when within the limit; false as soon as the
// output is full (the check follows every store). V holds p: one word, or
// two beyond 2^64.
template <class V>
struct BasicRootWriter {
    uint32_t* out;
    int32_t capacity;
    V limit;
    int32_t found = 0;

    bool Store(V v) {
        if (v > limit) return true;
        out[found++] = static_cast<uint32_t>(v);
        return found < capacity;
    }
    bool Pair(V v, V p) { return Store(v) && Store(p - v); }
    bool Walk(const V* values, int count, V p) {
        for (int i = 0; i < count; ++i)
            if (!Pair(values[i], p)) return false;
        return true;
    }
};
using RootWriter = BasicRootWriter<uint64_t>;

// The roots among one step's values of a batch's root walks (one prime a
// lane): primes first .. first + kWidth - 1 of the batch b (a RootBatch),
// values chain after chain, kWidth lanes each, in (-p, p). Lanes outside
// valid, and primes whose list is full, are passed over; a list that
// reaches its capacity is marked full (-1), checked after every store.
template <int kWidth, class Batch>
__attribute__((noinline)) void ListBatchHits(const Batch& b, int first, const double* values, int chains,
                                             unsigned valid) {
    for (int c = 0; c < chains; ++c)
        for (int l = 0; l < kWidth; ++l) {
            const int i = first + l;
            if (!((valid >> l) & 1) || b.found[i] < 0) continue;
            const uint64_t p = b.p[i];
            const double x = values[kWidth * c + l];
            const uint64_t v = x < 0 ? p - static_cast<uint64_t>(-x) : static_cast<uint64_t>(x);
            for (const uint64_t root : {v, p - v}) {
                if (root > b.limit || b.found[i] < 0) continue;
                b.out[i][b.found[i]++] = static_cast<uint32_t>(root);
                if (b.found[i] == b.capacity) b.found[i] = -1;
            }
        }
}

}  // namespace
}  // namespace varnesk
