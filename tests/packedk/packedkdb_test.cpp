#include "packedk/packedkdb.h"

#include <gtest/gtest.h>

#include <functional>

#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "pk_test_support.h"
#include "platform/fs.h"

namespace varnesk {
namespace {

using pktest::DataWord;
using pktest::GetAt;
using pktest::MakePackedFile;
using pktest::PutBytes;
using pktest::PutHeader;
using pktest::ReadAllValues;
using pktest::ScratchFolder;

std::string WithSystemText(const std::string& message, const std::string& name, int errorNumber) {
    return message + name + "\r\n" + ErrorText(errorNumber);
}

class PackedKDBTest : public ::testing::Test {
protected:
    ScratchFolder folder_;
    std::string name_ = folder_.File("ln13pi00000.pkk");
    std::string error_;
};

TEST_F(PackedKDBTest, WorkedExampleHasTheDocumentedLayout) {
    ASSERT_TRUE(MakePackedFile(name_, {100, 103, 110, 1133}, 8192));

    EXPECT_EQ(std::filesystem::file_size(name_), kPackedKMapBytes);
    EXPECT_EQ(GetAt<uint32_t>(name_, 0), 4u);
    EXPECT_EQ(GetAt<uint32_t>(name_, 4), 0u);
    EXPECT_EQ(GetAt<int64_t>(name_, 8), 100);
    EXPECT_EQ(GetAt<int64_t>(name_, 16), 8192);
    EXPECT_EQ(GetAt<int64_t>(name_, 24), 1133);
    EXPECT_EQ(GetAt<int64_t>(name_, 32), 8192);
    EXPECT_EQ(DataWord(name_, 0), 0x00700C00u);
    EXPECT_EQ(DataWord(name_, 1), 0x000003FFu);
    EXPECT_EQ(DataWord(name_, 2), 0u);

    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.ReadOpenDB(error_)) << error_;
    EXPECT_TRUE(db.IsReadOnly());
    EXPECT_EQ(db.CurrentK(), 100);
    std::vector<int64_t> got;
    int64_t k = 0;
    while (db.ReadNext64KValue(k, error_)) got.push_back(k);
    EXPECT_EQ(got, (std::vector<int64_t>{100, 103, 110, 1133}));
    EXPECT_EQ(error_, "File read overflow in ReadNext64KValue");
    EXPECT_EQ(db.ReadIndex(), 4u);
    EXPECT_EQ(db.CurrentK(), 1133);
    EXPECT_TRUE(db.AllRead());
}

TEST_F(PackedKDBTest, NewFileClosedAtOnceHoldsItsFirstValueOnly) {
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.InitOpenNewFile(777, 65536, error_)) << error_;
    EXPECT_EQ(db.ValueCount(), 1u);
    db.CloseDB();
    EXPECT_FALSE(db.IsOpen());

    ASSERT_TRUE(db.ReadOpenDB(error_)) << error_;
    EXPECT_EQ(db.ValueCount(), 1u);
    EXPECT_EQ(db.FirstK(), 777);
    EXPECT_EQ(db.LastK(), 777);
    EXPECT_EQ(db.FileExponent(), 65536);
    EXPECT_EQ(db.FileExponentCopy(), 65536);
    int64_t k = 0;
    ASSERT_TRUE(db.ReadNext64KValue(k, error_));
    EXPECT_EQ(k, 777);
    EXPECT_FALSE(db.ReadNext64KValue(k, error_));
    EXPECT_EQ(error_, "File read overflow in ReadNext64KValue");
    EXPECT_EQ(k, 777);
}

TEST_F(PackedKDBTest, DifferencesOutsideTenBitsAreRefusedWithoutChange) {
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.InitOpenNewFile(5000, 8192, error_));
    EXPECT_TRUE(db.WriteNew64KValue(5000, error_));  // difference 0
    EXPECT_TRUE(db.WriteNew64KValue(6023, error_));  // difference 1023
    ASSERT_EQ(db.ValueCount(), 3u);

    for (int64_t bad : {int64_t{6023 + 1024}, int64_t{6022}, int64_t{-1}, INT64_MIN}) {
        error_.clear();
        EXPECT_FALSE(db.WriteNew64KValue(bad, error_)) << bad;
        EXPECT_EQ(error_, "Difference overflow on WriteNew64KValue");
        EXPECT_EQ(db.ValueCount(), 3u);
        EXPECT_EQ(db.LastK(), 6023);
    }
    // A refusal leaves the write position where it was.
    EXPECT_TRUE(db.WriteNew64KValue(6030, error_));
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{5000, 5000, 6023, 6030}));
}

TEST_F(PackedKDBTest, TheLastSlotOfTheMappingFitsAndTheNextAppendIsRefused) {
    // A sparse file one value short of full, made by hand: every slot a
    // difference of 0, so its values all equal its first K.
    const uint32_t almostFull = kPackedKCapacity - 1;
    PutHeader(name_, almostFull, 900000, 8192, 900000);
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    EXPECT_EQ(std::filesystem::file_size(name_), kPackedKMapBytes);
    ASSERT_TRUE(db.WriteNew64KValue(900005, error_)) << error_;
    EXPECT_EQ(db.ValueCount(), kPackedKCapacity);
    EXPECT_FALSE(db.WriteNew64KValue(900006, error_));
    EXPECT_EQ(error_, "File write overflow in WriteNew64KValue");
    EXPECT_EQ(db.ValueCount(), kPackedKCapacity);
    EXPECT_EQ(db.LastK(), 900005);
    db.CloseDB();

    EXPECT_EQ(GetAt<uint32_t>(name_, kPackedKMapBytes - 4), 5u << 20);
    EXPECT_EQ(GetAt<uint32_t>(name_, 0), kPackedKCapacity);
    EXPECT_EQ(GetAt<int64_t>(name_, 24), 900005);
}

TEST_F(PackedKDBTest, ReopenedWriterAppendsAfterTheLastValue) {
    // valueCount 3: next slot is bits 0-9 of word 1; valueCount 4: bits 10-19.
    ASSERT_TRUE(MakePackedFile(name_, {10, 11, 12}));
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    EXPECT_FALSE(db.IsReadOnly());
    EXPECT_EQ(db.ValueCount(), 3u);
    ASSERT_TRUE(db.WriteNew64KValue(19, error_));
    db.CloseDB();
    EXPECT_EQ(DataWord(name_, 1), 7u);

    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    EXPECT_EQ(db.ValueCount(), 4u);
    ASSERT_TRUE(db.WriteNew64KValue(24, error_));
    db.CloseDB();
    EXPECT_EQ(DataWord(name_, 1), 7u | (5u << 10));
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{10, 11, 12, 19, 24}));
}

TEST_F(PackedKDBTest, ExtendingAfterAKilledWriterOverwritesStaleSlots) {
    ASSERT_TRUE(MakePackedFile(name_, {10, 11, 12, 13}));
    // A writer that died after appending more left bits behind the header's count.
    uint32_t junk[2] = {0x3FFFFC00u | 1u, 0x3FFFFFFFu};  // keeps slot 3's difference of 1
    PutBytes(name_, kPackedKHeaderBytes + 4, junk, sizeof junk);

    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    for (int64_t k : {14, 20, 20, 21}) ASSERT_TRUE(db.WriteNew64KValue(k, error_)) << error_;
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{10, 11, 12, 13, 14, 20, 20, 21}));
}

TEST_F(PackedKDBTest, HeaderStoredMidRunKeepsValuesAndAMismatchedLastKIsRepaired) {
    ASSERT_TRUE(MakePackedFile(name_, {10, 11, 12}));
    {
        CPackedKDB writer;
        writer.SetFileName(name_);
        ASSERT_TRUE(writer.WriteOpenDB(error_)) << error_;
        for (int64_t k : {15, 17}) ASSERT_TRUE(writer.WriteNew64KValue(k, error_));
        writer.StoreHeader();
        // Killed here: no close. The mapping's bytes are the file's.
        ASSERT_TRUE(writer.WriteNew64KValue(30, error_));
        EXPECT_EQ(GetAt<uint32_t>(name_, 0), 5u);
        EXPECT_EQ(GetAt<int64_t>(name_, 24), 17);
    }
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{10, 11, 12, 15, 17, 30}));  // closed by the destructor

    // A header whose last K disagrees with its count and values.
    PutHeader(name_, 5, 10, 8192, 12);
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    EXPECT_EQ(db.LastK(), 17);
    ASSERT_TRUE(db.WriteNew64KValue(18, error_));
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{10, 11, 12, 15, 17, 18}));
}

TEST_F(PackedKDBTest, WriteOpenGrowsAShortFileAndRefusesAnOverlongOne) {
    PutHeader(name_, 1, 42, 8192, 42);
    PutBytes(name_, 40, "\0\0\0\0", 4);
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    EXPECT_EQ(std::filesystem::file_size(name_), kPackedKMapBytes);
    ASSERT_TRUE(db.WriteNew64KValue(50, error_));
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{42, 50}));

    std::filesystem::resize_file(name_, kPackedKMapBytes + 1);
    EXPECT_FALSE(db.WriteOpenDB(error_));
    EXPECT_EQ(error_, "Error, attempting to write open a small length for PackedPrimeDB file " + name_);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(std::filesystem::file_size(name_), kPackedKMapBytes + 1);
    // The refused open holds no lock.
    EXPECT_TRUE(db.ReadOpenDB(error_)) << error_;
}

TEST_F(PackedKDBTest, OpensOfMissingEmptyOrExistingFilesFailWithSystemText) {
    CPackedKDB db;
    db.SetFileName(name_);
    EXPECT_FALSE(db.ReadOpenDB(error_));
    EXPECT_EQ(error_, WithSystemText("Error opening CPackedKDB file ", name_, ENOENT));
    EXPECT_FALSE(db.WriteOpenDB(error_));
    EXPECT_EQ(error_, WithSystemText("Error in WriteOpenDB for PackedPrimeDB file ", name_, ENOENT));
    EXPECT_FALSE(PathExists(name_));

    PutBytes(name_, 0, "", 0);
    EXPECT_FALSE(db.ReadOpenDB(error_));
    EXPECT_EQ(error_, WithSystemText("Error CreateFileMapping CPackedKDB file ", name_, EINVAL));
    EXPECT_FALSE(db.IsOpen());

    EXPECT_FALSE(db.InitOpenNewFile(1, 8192, error_));
    EXPECT_EQ(error_, WithSystemText("Error in InitOpenNewFile for PackedPrimeDB file ", name_, EEXIST));
    EXPECT_EQ(std::filesystem::file_size(name_), 0u);

    std::string noFolder = folder_.File("absent/ln13pi00000.pkk");
    db.SetFileName(noFolder);
    EXPECT_FALSE(db.InitOpenNewFile(1, 8192, error_));
    EXPECT_EQ(error_, WithSystemText("Error in InitOpenNewFile for PackedPrimeDB file ", noFolder, ENOENT));
}

TEST_F(PackedKDBTest, ReaderRefusesHeadersAndCountsTheFileCannotHold) {
    CPackedKDB db;
    db.SetFileName(name_);
    PutBytes(name_, 0, "0123456789abcdefghij", 20);
    EXPECT_FALSE(db.ReadOpenDB(error_));
    EXPECT_EQ(error_, "Error, file shorter than its header, CPackedKDB file " + name_);
    EXPECT_FALSE(db.IsOpen());

    // Seven values need three data words; the file has two.
    PutHeader(name_, 7, 10, 8192, 16);
    uint32_t words[2] = {1u | 1u << 10 | 1u << 20, 1u | 1u << 10 | 1u << 20};
    PutBytes(name_, 40, words, sizeof words);
    EXPECT_FALSE(db.ReadOpenDB(error_));
    EXPECT_EQ(error_, "Error, value count exceeds the data of CPackedKDB file " + name_);
    EXPECT_FALSE(db.IsOpen());
    int64_t k = 0;
    EXPECT_FALSE(db.ReadNext64KValue(k, error_));

    // Six fit exactly.
    PutHeader(name_, 6, 10, 8192, 16);
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{11, 12, 13, 14, 15, 16}));

    // A header that ends where the data would begin holds no values.
    std::filesystem::resize_file(name_, 40);
    PutHeader(name_, 0, 10, 8192, 10);
    ASSERT_TRUE(db.ReadOpenDB(error_)) << error_;
    EXPECT_FALSE(db.ReadNext64KValue(k, error_));
    EXPECT_EQ(error_, "File read overflow in ReadNext64KValue");
}

// Found by fuzz_packedk: a header whose firstK lies just below 2^63 made the
// reader's running sum overflow a signed 64-bit value.
TEST_F(PackedKDBTest, ValuesNearTheTopOfTheRangeWrapInsteadOfOverflowing) {
    const int64_t top = INT64_MAX;
    PutHeader(name_, 3, top - 600, 16384, top - 1);
    uint32_t word = 0u | 500u << 10 | 99u << 20;
    PutBytes(name_, 40, &word, sizeof word);
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{top - 600, top - 100, top - 1}));

    // One more value of difference 5 goes past 2^63 - 1.
    CPackedKDB db;
    db.SetFileName(name_);
    ASSERT_TRUE(db.WriteOpenDB(error_)) << error_;
    ASSERT_TRUE(db.WriteNew64KValue(static_cast<int64_t>(static_cast<uint64_t>(top) + 4), error_)) << error_;
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{top - 600, top - 100, top - 1, INT64_MIN + 3}));
}

TEST_F(PackedKDBTest, WriterExcludesEveryoneAndReadersExcludeWritersOnly) {
    ASSERT_TRUE(MakePackedFile(name_, {1, 2, 3}));
    const std::string busy = ErrorText(EWOULDBLOCK);

    CPackedKDB writer, other, reader1, reader2;
    for (CPackedKDB* db : {&writer, &other, &reader1, &reader2}) db->SetFileName(name_);

    ASSERT_TRUE(writer.WriteOpenDB(error_)) << error_;
    EXPECT_FALSE(reader1.ReadOpenDB(error_));
    EXPECT_EQ(error_, "Error opening CPackedKDB file " + name_ + "\r\n" + busy);
    EXPECT_FALSE(other.WriteOpenDB(error_));
    EXPECT_EQ(error_, "Error in WriteOpenDB for PackedPrimeDB file " + name_ + "\r\n" + busy);
    EXPECT_FALSE(reader1.IsOpen());
    writer.CloseDB();

    ASSERT_TRUE(reader1.ReadOpenDB(error_)) << error_;
    ASSERT_TRUE(reader2.ReadOpenDB(error_)) << error_;
    EXPECT_FALSE(writer.WriteOpenDB(error_));
    EXPECT_EQ(error_, "Error in WriteOpenDB for PackedPrimeDB file " + name_ + "\r\n" + busy);
    reader1.CloseDB();
    EXPECT_FALSE(writer.WriteOpenDB(error_));
    reader2.CloseDB();
    EXPECT_TRUE(writer.WriteOpenDB(error_)) << error_;
}

TEST_F(PackedKDBTest, ClosedAndReadOnlyObjectsNeitherReadNorAppend) {
    CPackedKDB db;
    int64_t k = 0;
    EXPECT_FALSE(db.ReadNext64KValue(k, error_));
    EXPECT_FALSE(db.WriteNew64KValue(1, error_));
    db.CloseDB();  // harmless when closed

    ASSERT_TRUE(MakePackedFile(name_, {1, 2}));
    db.SetFileName(name_);
    ASSERT_TRUE(db.ReadOpenDB(error_));
    EXPECT_FALSE(db.WriteNew64KValue(3, error_));
    db.CloseDB();
    EXPECT_EQ(ReadAllValues(name_), (std::vector<int64_t>{1, 2}));
}

// A file that is refused for writing is refused as it is: not grown to the
// writer's 100,000,000 bytes first.
TEST_F(PackedKDBTest, AFileRefusedForWritingIsNotGrown) {
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string error;
    } cases[] = {
        {"garbage", [&] { testsupport::WriteAll(name_, "junk"); },
         "Error, file shorter than its header, PackedPrimeDB file " + name_},
        {"count beyond capacity", [&] { PutHeader(name_, kPackedKCapacity + 1, 5, 8192, 5); },
         "Error, value count beyond the capacity of PackedPrimeDB file " + name_},
        {"two exponents", [&] {
             PutHeader(name_, 1, 5, 8192, 5);
             const int64_t other = 4096;
             PutBytes(name_, 32, &other, sizeof other);
         },
         "Error, the two exponents of the header disagree in PackedPrimeDB file " + name_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(name_);
        c.make();
        const auto size = std::filesystem::file_size(name_);
        const std::string before = testsupport::ReadAll(name_);
        CPackedKDB db;
        db.SetFileName(name_);
        EXPECT_FALSE(db.WriteOpenDB(error_));
        EXPECT_EQ(error_, c.error);
        EXPECT_FALSE(db.IsOpen());
        EXPECT_EQ(std::filesystem::file_size(name_), size);
        EXPECT_EQ(testsupport::ReadAll(name_), before);
    }
}

}  // namespace
}  // namespace varnesk
