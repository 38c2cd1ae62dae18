#include "packedk/packedkdb.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/fs.h"
#include "platform/mapping.h"

namespace varnesk {

static_assert(std::endian::native == std::endian::little,
              "packed K files are little-endian and are used in place through the mapping");

namespace {

constexpr size_t kOffValueCount = 0;
constexpr size_t kOffReserved = 4;
constexpr size_t kOffFirstK = 8;
constexpr size_t kOffExponent = 16;
constexpr size_t kOffLastK = 24;
constexpr size_t kOffExponentCopy = 32;
constexpr uint32_t kSlotMask = 1023;

template <typename T>
T Load(const unsigned char* view, size_t offset) {
    T value;
    std::memcpy(&value, view + offset, sizeof value);
    return value;
}

template <typename T>
void Store(unsigned char* view, size_t offset, T value) {
    std::memcpy(view + offset, &value, sizeof value);
}

// Message, name, line break and the system's text for errno as it is now.
std::string SystemError(const char* message, const std::string& name) {
    int saved = errno;
    return message + name + "\r\n" + ErrorText(saved);
}

}  // namespace

CPackedKDB::~CPackedKDB() { CloseDB(); }

void CPackedKDB::LoadHeader() {
    valueCount_ = Load<uint32_t>(view_, kOffValueCount);
    firstK_ = Load<int64_t>(view_, kOffFirstK);
    fileExponent_ = Load<int64_t>(view_, kOffExponent);
    lastK_ = Load<int64_t>(view_, kOffLastK);
    fileExponentCopy_ = Load<int64_t>(view_, kOffExponentCopy);
    uint32_t* words = reinterpret_cast<uint32_t*>(view_ + kPackedKHeaderBytes);
    readWord_ = words;
    readShift_ = 0;
    readIndex_ = 0;
    currentK_ = firstK_;
    writeWord_ = words + valueCount_ / 3;
    writeShift_ = static_cast<uint8_t>((valueCount_ % 3) * 10);
}

void CPackedKDB::ReleaseAll() {
    UnmapFile(view_, viewBytes_);
    view_ = nullptr;
    viewBytes_ = 0;
    CloseFile(fd_);
    fd_ = -1;
    readWord_ = nullptr;
    writeWord_ = nullptr;
    // Reads and appends on a closed object fail instead of touching memory.
    readLimit_ = 0;
    capacity_ = 0;
}

bool CPackedKDB::MapForWriting(std::string& error) {
    capacity_ = testCapacity_ ? testCapacity_ : kPackedKCapacity;
    // Growing to the full length here is what the mapping of a fixed size
    // does on the original platform; the new bytes read as zero.
    if (!GrowFile(fd_, kPackedKMapBytes)) {
        error = SystemError("Error reserving the disk space of PackedPrimeDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    void* view = MapFile(fd_, kPackedKMapBytes, true);
    if (!view) {
        error = SystemError("Error MapViewOfFile CPackedKDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    view_ = static_cast<unsigned char*>(view);
    viewBytes_ = kPackedKMapBytes;
    readOnly_ = false;
    return true;
}

bool CPackedKDB::InitOpenNewFile(int64_t firstK, int64_t exponent, std::string& error) {
    CloseDB();
    fd_ = OpenLockedFile(fileName_, OpenMode::CreateNew);
    if (fd_ < 0) {
        error = SystemError("Error in InitOpenNewFile for PackedPrimeDB file ", fileName_);
        return false;
    }
    if (!MapForWriting(error)) {
        // The file is ours and holds nothing: left behind it would stand in
        // the sequence as an empty last file.
        ::unlink(fileName_.c_str());
        return false;
    }
    Store<uint32_t>(view_, kOffValueCount, 1);
    Store<uint32_t>(view_, kOffReserved, 0);
    Store<int64_t>(view_, kOffFirstK, firstK);
    Store<int64_t>(view_, kOffExponent, exponent);
    Store<int64_t>(view_, kOffLastK, firstK);
    Store<int64_t>(view_, kOffExponentCopy, exponent);
    Store<uint32_t>(view_, kPackedKHeaderBytes, 0);
    Store<uint32_t>(view_, kPackedKHeaderBytes + 4, 0);
    LoadHeader();
    return true;
}

bool CPackedKDB::WriteOpenDB(std::string& error) {
    CloseDB();
    fd_ = OpenLockedFile(fileName_, OpenMode::ReadWrite);
    if (fd_ < 0) {
        error = SystemError("Error in WriteOpenDB for PackedPrimeDB file ", fileName_);
        return false;
    }
    uint64_t length = 0;
    if (!FileLength(fd_, length)) {
        error = SystemError("Error getting size of PackedPrimeDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    if (length > kPackedKMapBytes) {
        error = "Error, attempting to write open a small length for PackedPrimeDB file " + fileName_;
        ReleaseAll();
        return false;
    }
    // A file that is refused must be refused before it is grown: its header
    // is read from the file as it is.
    unsigned char header[kPackedKHeaderBytes];
    if (length < kPackedKHeaderBytes || ::pread(fd_, header, sizeof header, 0) != sizeof header) {
        error = "Error, file shorter than its header, PackedPrimeDB file " + fileName_;
        ReleaseAll();
        return false;
    }
    const uint32_t count = Load<uint32_t>(header, kOffValueCount);
    // A count past the capacity would put the write position outside the
    // mapping; such a file was not written by this class.
    if (count > kPackedKCapacity) {
        error = "Error, value count beyond the capacity of PackedPrimeDB file " + fileName_;
        ReleaseAll();
        return false;
    }
    if (Load<int64_t>(header, kOffExponent) != Load<int64_t>(header, kOffExponentCopy)) {
        error = "Error, the two exponents of the header disagree in PackedPrimeDB file " + fileName_;
        ReleaseAll();
        return false;
    }
    if (!MapForWriting(error)) return false;
    LoadHeader();
    // A writer killed while storing its header may leave the count of one
    // store beside the last K of another: the values themselves decide.
    int64_t k = firstK_;
    const uint32_t* words = reinterpret_cast<const uint32_t*>(view_ + kPackedKHeaderBytes);
    for (uint32_t i = 0; i < valueCount_; ++i)
        k = static_cast<int64_t>(static_cast<uint64_t>(k) + ((words[i / 3] >> ((i % 3) * 10)) & 1023u));
    lastK_ = k;
    return true;
}

bool CPackedKDB::ReadOpenDB(std::string& error) {
    CloseDB();
    fd_ = OpenLockedFile(fileName_, OpenMode::ReadOnly);
    if (fd_ < 0) {
        error = SystemError("Error opening CPackedKDB file ", fileName_);
        return false;
    }
    uint64_t length = 0;
    if (!FileLength(fd_, length)) {
        error = SystemError("Error getting size of CPackedKDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    if (length == 0) {
        // An empty file cannot be mapped at its length.
        errno = EINVAL;
        error = SystemError("Error CreateFileMapping CPackedKDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    void* view = MapFile(fd_, length, false);
    if (!view) {
        error = SystemError("Error MapViewOfFile CPackedKDB file ", fileName_);
        ReleaseAll();
        return false;
    }
    view_ = static_cast<unsigned char*>(view);
    viewBytes_ = length;
    readOnly_ = true;
    // Reads touch only the mapping, so the header and every word that
    // valueCount promises must lie inside it.
    if (length < kPackedKHeaderBytes) {
        error = "Error, file shorter than its header, CPackedKDB file " + fileName_;
        ReleaseAll();
        return false;
    }
    LoadHeader();
    uint64_t wordsNeeded = (static_cast<uint64_t>(valueCount_) + 2) / 3;
    if (kPackedKHeaderBytes + 4 * wordsNeeded > length) {
        error = "Error, value count exceeds the data of CPackedKDB file " + fileName_;
        ReleaseAll();
        valueCount_ = 0;
        return false;
    }
    readLimit_ = valueCount_;
    return true;
}

bool CPackedKDB::WriteNew64KValue(int64_t k, std::string& error) {
    if (valueCount_ >= capacity_) {
        error = "File write overflow in WriteNew64KValue";
        return false;
    }
    uint64_t difference = static_cast<uint64_t>(k) - static_cast<uint64_t>(lastK_);
    if (difference > kSlotMask) {
        error = "Difference overflow on WriteNew64KValue";
        return false;
    }
    lastK_ = k;
    // The slot may hold bits from a writer that ended without closing.
    uint32_t word = *writeWord_ & ~(kSlotMask << writeShift_);
    *writeWord_ = word | (static_cast<uint32_t>(difference) << writeShift_);
    writeShift_ = static_cast<uint8_t>(writeShift_ + 10);
    ++valueCount_;
    if (writeShift_ > 20) {
        writeShift_ = 0;
        ++writeWord_;
    }
    return true;
}

bool CPackedKDB::ReadNext64KValue(int64_t& k, std::string& error) {
    if (readIndex_ >= readLimit_) {
        error = "File read overflow in ReadNext64KValue";
        return false;
    }
    // A damaged header may put firstK anywhere: the sum wraps like the
    // file's unsigned differences instead of overflowing a signed value.
    currentK_ = static_cast<int64_t>(static_cast<uint64_t>(currentK_) + ((*readWord_ >> readShift_) & kSlotMask));
    k = currentK_;
    readShift_ = static_cast<uint8_t>(readShift_ + 10);
    ++readIndex_;
    if (readShift_ > 20) {
        readShift_ = 0;
        ++readWord_;
    }
    return true;
}

void CPackedKDB::StoreHeader() {
    if (!view_ || readOnly_) return;
    Store<uint32_t>(view_, kOffValueCount, valueCount_);
    Store<int64_t>(view_, kOffFirstK, firstK_);
    Store<int64_t>(view_, kOffExponent, fileExponent_);
    Store<int64_t>(view_, kOffLastK, lastK_);
    Store<int64_t>(view_, kOffExponentCopy, fileExponentCopy_);
}

void CPackedKDB::CloseDB() {
    if (view_ && !readOnly_) {
        // Values reach the disk before the header that counts them, so that a
        // crash cannot leave a count covering slots that were never written.
        FlushView(view_, viewBytes_);
        StoreHeader();
        FlushView(view_, kPackedKHeaderBytes);
    }
    ReleaseAll();
}

}  // namespace varnesk
