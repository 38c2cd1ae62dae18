// Candidate files at a given size: how fast a save writes one and a resume
// reads it, beside what the disk itself takes in the same run (the same
// number of bytes written and synced in large blocks, as dd with
// conv=fsync would). The read is timed twice: from the page cache, and
// after the file's pages were dropped (posix_fadvise), which is the read of
// a resume after a reboot as far as a process can arrange one alone.
//
// Usage: bench_files BASES [FOLDER]   (FOLDER default: the current one)
// The bases are every even b from 2: BASES lines of "b N".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/candidates.h"
#include "kernels/kernels.h"
#include "platform/post.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

using Quiet = varnesk::LastLineSink;

off_t SizeOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    return size;
}

void DropCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The disk's own rate: bytes of zeros in 8 MB writes, then fsync.
double RawWriteRate(const std::string& path, off_t bytes) {
    std::vector<char> block(size_t{8} << 20, 0);
    const Clock::time_point t0 = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    for (off_t done = 0; done < bytes;) {
        const size_t n = static_cast<size_t>(std::min<off_t>(bytes - done, static_cast<off_t>(block.size())));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) break;
        done += static_cast<off_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
    const double s = Seconds(t0);
    ::unlink(path.c_str());
    return static_cast<double>(bytes) / s / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_files BASES [FOLDER]\n");
        return 2;
    }
    const int64_t bases = std::atoll(argv[1]);
    const std::string folder = argc > 2 ? argv[2] : ".";
    if (bases < 1 || 2 * bases >= varnesk::kMaxBase) {
        std::fprintf(stderr, "bench_files: BASES must be from 1 to %d\n", varnesk::kMaxBase / 2 - 1);
        return 2;
    }
    const std::string path = folder + "/bench-candidates.abc";
    Quiet sink;

    varnesk::SieveJob job;
    job.form = &sink;
    job.bMin = 2;
    job.bMax = static_cast<int32_t>(2 * bases);
    job.exponent = 4194304;
    job.exponentLog2 = 22;
    job.currentP = 1000000000000001ULL;
    job.outputFileName = path;
    job.candidateBitmap.assign(static_cast<size_t>(job.bMax + 31) / 32 + 1, 0);
    for (int32_t b = job.bMin; b <= job.bMax; b += 2) varnesk::BitTestAndSet(b, job.candidateBitmap.data());
    job.candidateCount = static_cast<int32_t>(bases);

    Clock::time_point t0 = Clock::now();
    if (!varnesk::WriteCandidateFile(job)) {
        std::fprintf(stderr, "bench_files: %s\n", sink.last.c_str());
        return 1;
    }
    const double writeSeconds = Seconds(t0);
    const off_t size = SizeOf(path);
    const double mb = static_cast<double>(size) / 1e6;
    const double raw = RawWriteRate(folder + "/bench-raw.bin", size);

    auto read = [&](double* seconds) {
        varnesk::SieveJob in;
        in.form = &sink;
        in.inputFileName = path;
        const Clock::time_point r0 = Clock::now();
        const int ok = varnesk::ReadCandidateFile(in);
        *seconds = Seconds(r0);
        if (!ok || in.candidateCount != job.candidateCount) {
            std::fprintf(stderr, "bench_files: read back %d bases: %s\n", in.candidateCount, sink.last.c_str());
            return false;
        }
        return true;
    };
    double cached = 0, cold = 0;
    if (!read(&cached)) return 1;
    DropCache(path);
    if (!read(&cold)) return 1;
    ::unlink(path.c_str());

    std::printf("bases %lld, file %.1f MB\n", static_cast<long long>(bases), mb);
    std::printf("disk write with fsync   %8.1f MB/s\n", raw);
    std::printf("save (write, fsync)     %8.1f MB/s  %6.2f s  %3.0f%% of the disk's rate\n", mb / writeSeconds,
                writeSeconds, 100 * mb / writeSeconds / raw);
    std::printf("load, file cached       %8.1f MB/s  %6.2f s\n", mb / cached, cached);
    std::printf("load, cache dropped     %8.1f MB/s  %6.2f s\n", mb / cold, cold);
    return 0;
}
