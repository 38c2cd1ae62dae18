// A job run to its end on the calling thread, or started on its own, with
// a sink that keeps everything: shared by the tests that need a real
// sieve's files or a running worker.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "engine/jobrequest.h"
#include "engine/worker.h"
#include "tests/support/scratch.h"

namespace varnesk::testsupport {

// The worker is made from request, again whenever the request changes.
struct JobRun {
    RecordingSink sink;
    JobRequest request;
    std::shared_ptr<CGfnThread> worker;
    void Make(const std::string& factors, const std::string& input, const std::string& output, int32_t command,
              int32_t bMin, int32_t bMax, int32_t N, int32_t minutes = 60, int32_t wide = 1, std::string packed = "") {
        int32_t n = 0;
        while (n < 31 && (int64_t{1} << n) < N) ++n;
        request = JobRequest{};
        request.factorFile = factors;
        request.inputFile = input;
        request.outputFile = output;
        request.command = command;
        request.bMin = bMin;
        request.bMax = bMax;
        request.exponent = N;
        request.exponentLog2 = n;
        request.minutesPerSave = minutes;
        request.wideMath = wide;
        request.packedKPath = std::move(packed);
        Remake();
    }
    // A new sieve of the even bases 2..bMax, up to stopP when one is given.
    void NewSieve(const std::string& factors, const std::string& output, int32_t bMax, int32_t N, UInt128 stopP = 0,
                  int32_t minutes = 60) {
        Make(factors, "", output, kCommandNewSieve, 2, bMax, N, minutes);
        if (stopP != 0) StartStop(0, stopP);
    }
    // A resume of input, whose range and N the worker reads from it.
    void Resume(const std::string& factors, const std::string& input, const std::string& output) {
        Make(factors, input, output, kCommandResume, 0, 0, 0);
    }
    void StartStop(UInt128 startP, UInt128 stopP) {
        request.useStartStop = 1;
        request.startP = startP;
        request.stopP = stopP;
        Remake();
    }
    void Threads(int threads) {
        request.threads = threads;
        Remake();
    }
    void Kernel(KernelPath path) {
        request.kernel = path;
        Remake();
    }
    void Remake() { worker = std::make_shared<CGfnThread>(request, &sink); }
    void Run() { worker->Run(); }
    // For a worker started on its own thread: true once its end marker is
    // posted, false if none came within ten seconds.
    bool WaitForEnd() const {
        for (int i = 0; i < 5000; ++i) {
            const auto texts = sink.Texts();
            if (!texts.empty() && texts.back() == "@") return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

}  // namespace varnesk::testsupport
