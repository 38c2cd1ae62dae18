// A packed K file: a 40-byte little-endian header and 32-bit words of three
// 10-bit differences between consecutive K values, always used through a
// memory mapping (writers map 100,000,000 bytes, readers the file's length).
#pragma once
#include <cstdint>
#include <string>

namespace varnesk {

inline constexpr uint64_t kPackedKMapBytes = 100000000;
inline constexpr uint32_t kPackedKCapacity = 74999970;
inline constexpr uint32_t kPackedKHeaderBytes = 40;

class CPackedKDB {
public:
    CPackedKDB() = default;
    virtual ~CPackedKDB();
    CPackedKDB(const CPackedKDB&) = delete;
    CPackedKDB& operator=(const CPackedKDB&) = delete;

    void SetFileName(std::string name) { fileName_ = std::move(name); }
    const std::string& FileName() const { return fileName_; }

    bool InitOpenNewFile(int64_t firstK, int64_t exponent, std::string& error);
    bool WriteOpenDB(std::string& error);
    bool ReadOpenDB(std::string& error);
    bool WriteNew64KValue(int64_t k, std::string& error);
    bool ReadNext64KValue(int64_t& k, std::string& error);
    void CloseDB();
    // Writes the header of a file open for writing into its mapping, so that
    // a writer killed later keeps every value appended so far.
    void StoreHeader();

    uint32_t ValueCount() const { return valueCount_; }
    int64_t FirstK() const { return firstK_; }
    int64_t LastK() const { return lastK_; }
    int64_t FileExponent() const { return fileExponent_; }
    int64_t FileExponentCopy() const { return fileExponentCopy_; }
    uint32_t ReadIndex() const { return readIndex_; }
    int64_t CurrentK() const { return currentK_; }
    bool IsOpen() const { return view_ != nullptr; }
    bool IsReadOnly() const { return readOnly_; }
    bool AllRead() const { return readIndex_ >= valueCount_; }

    // Tests only: a smaller capacity (0 = the real one) for the next opens
    // for writing, so that multi-file cases stay small. The mapping and the
    // file length are not affected.
    void SetCapacityForTesting(uint32_t capacity) { testCapacity_ = capacity; }

private:
    void LoadHeader();
    bool MapForWriting(std::string& error);
    void ReleaseAll();

    std::string fileName_;
    uint32_t valueCount_ = 0;
    int64_t firstK_ = 0;
    int64_t fileExponent_ = 0;
    int64_t lastK_ = 0;
    int64_t fileExponentCopy_ = 0;
    int fd_ = -1;
    unsigned char* view_ = nullptr;
    uint64_t viewBytes_ = 0;
    bool readOnly_ = true;
    uint8_t readShift_ = 0;
    uint32_t readIndex_ = 0;
    const uint32_t* readWord_ = nullptr;
    int64_t currentK_ = 0;
    uint32_t readLimit_ = 0;  // valueCount while open for reading, else 0
    uint32_t capacity_ = 0;   // set while open for writing, else 0
    uint8_t writeShift_ = 0;
    uint32_t* writeWord_ = nullptr;
    uint32_t testCapacity_ = 0;
};

}  // namespace varnesk
