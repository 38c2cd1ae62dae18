// The output of a root enumeration, shared by the portable and the vector
// forms. Its functions have internal linkage on purpose: the vector files
// are compiled with other instruction sets, and a shared inline copy from
// one of them could be the one the linker keeps for every caller.
#pragma once
#include <cstdint>

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

}  // namespace
}  // namespace varnesk
