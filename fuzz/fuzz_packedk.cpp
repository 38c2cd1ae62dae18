// The packed K reader on any bytes: ReadOpenDB, then ReadNext64KValue until
// it fails. Exactly valueCount reads succeed, each a step of 0..1023. A file
// that opens for writing takes one more value and reads back with it.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packedk/packedkdb.h"

using namespace varnesk;

namespace {

std::vector<uint64_t> ReadAll(CPackedKDB& db, std::string& error) {
    std::vector<uint64_t> values;
    uint64_t previous = static_cast<uint64_t>(db.FirstK());
    for (int64_t k; db.ReadNext64KValue(k, error);) {
        // Steps of 0..1023, in 64-bit two's complement like the file's adds.
        FUZZ_CHECK(static_cast<uint64_t>(k) - previous <= 1023);
        previous = static_cast<uint64_t>(k);
        values.push_back(previous);
    }
    FUZZ_CHECK(error == "File read overflow in ReadNext64KValue");
    FUZZ_CHECK(values.size() == db.ValueCount());
    FUZZ_CHECK(db.AllRead());
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::ScratchDir() + "/in.pkk";
    ::unlink(path.c_str());
    fuzz::WriteInput(path, data, size);

    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    if (!db.ReadOpenDB(error)) {
        FUZZ_CHECK(!db.IsOpen() && !error.empty());
        return 0;
    }
    const std::vector<uint64_t> values = ReadAll(db, error);
    const uint64_t firstK = static_cast<uint64_t>(db.FirstK());
    db.CloseDB();

    // Appending after the header's lastK, whatever the slots beyond the
    // count held: the new slot is cleared before it is stored into.
    if (!db.WriteOpenDB(error)) return 0;
    const uint64_t lastK = static_cast<uint64_t>(db.LastK());
    if (!db.WriteNew64KValue(static_cast<int64_t>(lastK + 5), error)) {
        FUZZ_CHECK(error == "File write overflow in WriteNew64KValue");
        return 0;
    }
    db.CloseDB();
    FUZZ_CHECK(db.ReadOpenDB(error));
    const std::vector<uint64_t> extended = ReadAll(db, error);
    FUZZ_CHECK(extended.size() == values.size() + 1);
    for (size_t i = 0; i < values.size(); ++i) FUZZ_CHECK(extended[i] == values[i]);
    FUZZ_CHECK(extended.back() == (values.empty() ? firstK : values.back()) + 5);
    FUZZ_CHECK(static_cast<uint64_t>(db.LastK()) == lastK + 5);
    return 0;
}
