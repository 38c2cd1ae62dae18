// Prints every K value of a packed K sequence, file 0 first, one per line,
// through the class the sieves read with. Exit 1 when a file of the run
// cannot be read whole or its values do not ascend.
//
// Usage: pkk_values DIR n
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "packedk/packedkdb.h"
#include "packedk/sequence.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pkk_values DIR n\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int32_t n = std::atoi(argv[2]);
    int32_t last = -1;
    if (!varnesk::FindLastSequenceFile(dir, n, last)) return 0;  // no sequence: no values

    bool first = true;
    int64_t previous = 0;
    for (int32_t number = 0; number <= last; ++number) {
        varnesk::CPackedKDB db;
        db.SetFileName(varnesk::SequenceFileName(dir, n, number));
        std::string error;
        if (!db.ReadOpenDB(error)) {
            std::fprintf(stderr, "pkk_values: %s\n", error.c_str());
            return 1;
        }
        for (int64_t k; db.ReadNext64KValue(k, error);) {
            if (!first && k <= previous) {
                std::fprintf(stderr, "pkk_values: %s: value %u, %" PRId64 ", does not ascend from %" PRId64 "\n",
                             db.FileName().c_str(), db.ReadIndex(), k, previous);
                return 1;
            }
            std::printf("%" PRId64 "\n", k);
            previous = k;
            first = false;
        }
        if (db.LastK() != previous) {
            std::fprintf(stderr, "pkk_values: %s: last value %" PRId64 " but header lastK %" PRId64 "\n",
                         db.FileName().c_str(), previous, db.LastK());
            return 1;
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
