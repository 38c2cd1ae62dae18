#include "engine/worker.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <ctime>
#include <new>
#include <thread>

#include "engine/backgroundsave.h"
#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "files/candidates.h"
#include "platform/fs.h"
#include "kernels/startup.h"
#include "packedk/generate.h"
#include "platform/post.h"
#include "platform/system.h"

namespace varnesk {

UInt128 KBelowStartP(UInt128 startP, int64_t exponent) {
    // A start of 0 or 1 gives -1 once made odd, as the signed arithmetic of
    // old did: k 0.
    const UInt128 below = startP < 2 ? 0 : (startP & ~UInt128{1}) - 2;
    return below / (2 * static_cast<UInt128>(exponent));
}

void SetUpNewCandidates(SieveJob& job) {
    job.candidateBitmap.assign(static_cast<size_t>((job.bMax + 31) / 32 + 1), 0u);
    job.candidateCount = 0;
    job.rootList.assign(static_cast<size_t>(job.exponent) + 4, 0u);
    job.rootCapacity = job.exponent + 4;
    job.rootCount = 0;
    for (int32_t b = job.bMin; b <= job.bMax; b += 2) {
        BitTestAndSet(b, job.candidateBitmap.data());
        ++job.candidateCount;
    }
    job.currentP = 0;
    job.exponent64 = job.exponent;
    job.kCursor = 0;
    job.kCursorWide = 0;
}

CGfnThread::CGfnThread(const JobRequest& request, TextSink* form) {
    job_.factorFileName = request.factorFile;
    job_.inputFileName = request.inputFile;
    job_.outputFileName = request.outputFile;
    job_.command = request.command;
    job_.bMin = request.bMin;
    job_.bMax = request.bMax;
    job_.exponent = request.exponent;
    job_.exponentLog2 = request.exponentLog2;
    job_.form = form;
    job_.wideMath = request.wideMath;
    job_.saveIntervalSeconds = request.minutesPerSave * 60;
    job_.packedKPath = request.packedKPath;
    m_useStartStop = request.useStartStop;
    m_startP = request.startP;
    m_stopP = request.stopP;
    threads_ = request.threads > 0 ? request.threads : static_cast<int>(std::thread::hardware_concurrency());
    if (threads_ < 1) threads_ = 1;
    forcedPath_ = request.kernel.has_value();
    if (forcedPath_) kernelPath_ = *request.kernel;
    job_.lastTick = 0;
    job_.lastSaveTime = static_cast<int64_t>(std::time(nullptr));
    job_.firstPrime = 999;
    saves_ = std::make_unique<BackgroundSave>();
}

CGfnThread::~CGfnThread() = default;

bool CGfnThread::Start() {
    std::shared_ptr<CGfnThread> self = shared_from_this();
    try {
        std::thread([self] {
            if (self->belowNormal_) SetCurrentThreadBelowNormal();
            self->Run();
            if (self->belowNormal_) ForgetCurrentThreadPriority();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CGfnThread::Run() {
    InitInstance();
    ExitInstance();
}

void CGfnThread::InitInstance() {
    SieveJob& j = job_;
    j.firstPrime = 999;
    j.candidateBitmap.clear();
    j.candidateList.clear();
    j.rootList.clear();
    j.rootCount = j.rootCapacity = 0;
    for (int i = 0; i < 4; ++i) j.primeP[i] = j.primeK[i] = 0;

    kernels_.SelectKernels(forcedPath_ ? kernelPath_ : DetectKernelPath());
    const int32_t r = StartKernels(j, kernels_);
    if (r != 0) {
        PostText(j.form, "AssemblyInit returned %d", r);
        return;
    }

    const bool standard = j.wideMath == 0;
    if (j.command == kCommandNewSieve || j.command == kCommandResume) {
        // A p the sieve cannot reach would wrap to a negative one.
        std::string refusal =
            CheckPLimits(m_useStartStop != 0, j.command == kCommandResume, m_startP, m_stopP, false);
        // A start above the end would still sieve one prime and move the
        // file on.
        if (refusal.empty() && m_useStartStop && j.command == kCommandResume)
            refusal = CheckResumeRange(j.inputFileName, true, m_startP, m_stopP).message;
        if (!refusal.empty()) {
            PostString(j.form, refusal);
            return;
        }
    }
    switch (j.command) {
    case kCommandNewSieve:
    case kCommandResume:
        if (standard && j.packedKPath.empty()) {
            PostText(j.form, "Thread terminated, packed K file required for non-wide math.");
            return;
        }
        if (j.command == kCommandNewSieve) {
            if (!SetUpNewCandidatesChecked()) return;
        } else if (!ReadCandidateFile(j)) {
            PostText(j.form, "Thread terminated due to input file parsing failure.");
            return;
        } else if (j.exponent == 0) {
            PostText(j.form, messages::kNothingLeftToSieve, j.inputFileName.c_str());
            outcome_ = JobOutcome::kNothingToDo;
            return;
        }
        if (!OutputCanBeMade()) return;
        // Before the first strike: the set this run's primes are sieved
        // against, taken from a copy on the saves' thread so that the sieve
        // need not wait for a walk over billions of bits.
        rangeBegun_ = rangeFailing_ = false;
        saves_->Begin(j, [this](SieveJob& copy) {
            inputFingerprint_ = CandidateFingerprint(copy);
            return true;
        });
        if (standard)
            StandardSieve();
        else
            WideSieve();
        return;
    case kCommandPackedK:
        outcome_ = GeneratePackedK(j, *this, kernels_);
        return;
    default:
        PostText(j.form, "Invalid command parameter to sieve thread.");
        return;
    }
}

bool CGfnThread::SetUpNewCandidatesChecked() {
    SieveJob& j = job_;
    // The front ends validate the range; a job handed over directly must not
    // index outside its bitmap either.
    if (j.bMin < 1 || j.bMax < j.bMin || j.bMax >= kMaxBase || j.exponent < 2 || (j.exponent & (j.exponent - 1))) {
        PostText(j.form, "Invalid sieve range: b from %d to %d with exponent %d.", j.bMin, j.bMax, j.exponent);
        return false;
    }
    try {
        SetUpNewCandidates(j);
    } catch (const std::bad_alloc&) {
        PostText(j.form, "Not enough memory for %d candidates with exponent %d.", j.bMax, j.exponent);
        return false;
    }
    return true;
}

// A job whose saves cannot be made would sieve for nothing: it is refused
// before its first prime, with the message a failed save gives.
bool CGfnThread::OutputCanBeMade() {
    std::string temp;
    const int fd = job_.outputFileName.empty() ? -1 : CreateTempBeside(job_.outputFileName, temp);
    if (fd < 0) {
        const int error = job_.outputFileName.empty() ? ENOENT : errno;
        PostText(job_.form, "Unable to open output file %s.", job_.outputFileName.c_str());
        PostString(job_.form, OutputFileError(job_.outputFileName, error));
        return false;
    }
    ::close(fd);
    ::unlink(temp.c_str());
    return true;
}

// Every save of the candidate file, and after it the range record that says
// which primes the factor file's strikes cover. The save is made from a copy
// on its own thread; false, with nothing begun, while the last one is still
// being written.
bool CGfnThread::SaveCandidates() {
    CollectSaves(false);
    return saves_->Begin(job_, [this](SieveJob& copy) { return WriteSave(copy); });
}

bool CGfnThread::SaveRunning() const { return saves_->Busy(); }

// On the saves' thread.
bool CGfnThread::WriteSave(SieveJob& copy) {
    int32_t written = 0;
    if (!WriteCandidateFile(copy, &written)) return false;
    // A count that differs is the consistency error that it posted.
    const bool ok = written == copy.candidateCount;
    RecordSievedRange(copy);
    return ok;
}

// The texts of the saves that have ended go to the front end from this
// thread, in order, like every other text of the job.
void CGfnThread::CollectSaves(bool wait) {
    if (!saves_->Collect(job_.form, wait)) NoteFailure();
}

void CGfnThread::StopOnFailure() {
    failed_ = true;
    m_stopRequest = 1;
}

void CGfnThread::RecordSievedRange(const SieveJob& j) {
    if (j.factorFileName.empty()) return;
    const std::string path = SievedRangePath(j.factorFileName);
    std::string error;
    if (!rangeBegun_) {
        // The sieves leave kCursorWide where ApplyStartStop or the candidate
        // file put it: the k of the last prime before this run's first.
        const UInt128 from = j.kCursorWide > 0 ? 2 * static_cast<UInt128>(j.exponent64) * j.kCursorWide + 1 : 0;
        SievedRange existing;
        const bool have = ReadSievedRange(path, &existing, &error) == RangeRead::kRead;
        range_ = ContinueSievedRange(have ? &existing : nullptr, j.exponent, inputFingerprint_, from);
        rangeBegun_ = true;
    }
    range_.to = j.currentP;
    range_.saved = CandidateFingerprint(j);
    if (WriteSievedRange(path, range_, &error)) {
        rangeFailing_ = false;
        return;
    }
    // The candidate file is saved; only merge needs the record, so the
    // sieve goes on.
    if (!rangeFailing_)
        PostText(j.form, "Range record %s could not be written (%s); the sieve goes on, and merge takes its factor "
                 "file once a later save writes it.", path.c_str(), error.c_str());
    rangeFailing_ = true;
}

void CGfnThread::ExitInstance() {
    // A job that ended before its sieve's loop may still be reading its
    // input's fingerprint. The copy goes with the job's other tables.
    CollectSaves(true);
    saves_ = std::make_unique<BackgroundSave>();
    PostEnd(job_.form, outcome_);
    job_.candidateList = {};
    job_.candidateBitmap = {};
    job_.rootList = {};
    for (auto& w : job_.wheel) w = {};
}

}  // namespace varnesk
