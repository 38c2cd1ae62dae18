// varnesk-mpi: varnesk-cli's sieve and resume with the wide sieve's segments
// computed on every rank of an MPI job. Rank 0 is varnesk-cli (same options,
// texts and files); the other ranks only compute.
#include <mpi.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cli/frontend.h"
#include "cli/options.h"
#include "gpu/attach.h"
#include "mpi/link.h"

namespace {
// A rank's device holds this many of the rank's blocks.
constexpr int kRankDeviceHold = 32;

// The tests' hook: what rank 1 does wrong, from VARNESK_MPI_TEST_FAULT
// (garbled, refuses), so that they see a rank's failure reach rank 0.
varnesk::mpi::ServeFault TestFault() {
    const char* value = std::getenv("VARNESK_MPI_TEST_FAULT");
    if (!value || !*value) return varnesk::mpi::ServeFault::kNone;
    const std::string fault = value;
    if (fault == "garbled") return varnesk::mpi::ServeFault::kGarbled;
    if (fault == "refuses") return varnesk::mpi::ServeFault::kRefuses;
    std::fprintf(stderr, "varnesk-mpi: VARNESK_MPI_TEST_FAULT=%s is neither garbled nor refuses; ignored.\n", value);
    return varnesk::mpi::ServeFault::kNone;
}
}  // namespace

int main(int argc, char** argv) {
    // Before MPI starts its threads, so that they inherit the stop signals
    // blocked: rank 0's job takes them (see StopSignals), the other ranks
    // never do.
    varnesk::cli::BlockStopSignals();
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    // Rank 0's pump thread, not its main thread, talks to the others. Without
    // that no rank can take part, and no job has begun: MPI ends them all.
    if (provided < MPI_THREAD_SERIALIZED) {
        std::fprintf(stderr, "varnesk-mpi: this MPI library cannot be called from more than one thread.\n");
        MPI_Abort(MPI_COMM_WORLD, 2);
    }
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);

    // Every rank reads the same command line for its own threads and kernels.
    using namespace varnesk;
    const cli::CliParse parsed = cli::ParseCommandLine(argc, argv);
    int threads = parsed.ok ? parsed.options.threads : 0;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    if (threads <= 0) threads = 1;
    // A rank other than 0 sieves on its own device too, when it has one (the
    // same --device or VARNESK_DEVICE as rank 0's; a device it cannot have
    // leaves it on its threads). Rank 0's is set up by RunCli. Standard
    // math gives the other ranks no job, so they ask OpenCL for nothing.
    std::unique_ptr<gpu::GpuProducer> device;
    std::string deviceLine;
    if (rank != 0 && !(parsed.ok && parsed.options.standard)) {
        gpu::DeviceSetup setup =
            gpu::SetUpDevice(parsed.ok ? parsed.options.device : std::string(), DetectKernelPath(), kRankDeviceHold);
        device = std::move(setup.producer);
        if (!setup.ok)
            deviceLine = "varnesk-mpi: rank " + std::to_string(rank) + ": " + setup.error +
                         "; sieving on its threads alone.";
        else if (device)
            deviceLine = "varnesk-mpi: rank " + std::to_string(rank) + ": the " + device->Name() +
                         " sieves beside its threads.";
    }
    // Rank 0 keeps as many blocks with a rank as its threads and its device
    // hold.
    const int deviceHold = device ? kRankDeviceHold : 0;
    const std::vector<int> windows = mpi::GatherWindows(MPI_COMM_WORLD, 4 * threads + deviceHold);

    int status = 0;
    if (rank == 0) {
        mpi::MpiLink link(MPI_COMM_WORLD, windows);
        status = cli::RunCli(argc, argv, stdout, stderr, [&](CGfnThread& worker) {
            if (size == 1) return;
            if (worker.Job().wideMath == 0)
                std::fprintf(stderr, "varnesk-mpi: standard math runs on rank 0 alone.\n");
            worker.AddProducer(&link);
        });
        link.Shutdown();
        if (link.Blocks() > 0)
            std::fprintf(stderr,
                         "varnesk-mpi: %lld blocks to %d ranks, %.1f bytes sent and %.1f received per block, "
                         "%.2f us of rank 0 per block\n",
                         static_cast<long long>(link.Blocks()), size - 1,
                         static_cast<double>(link.BytesSent()) / static_cast<double>(link.Blocks()),
                         static_cast<double>(link.BytesReceived()) / static_cast<double>(link.Blocks()),
                         1e6 * link.BusySeconds() / static_cast<double>(link.Blocks()));
    } else {
        // Stops are rank 0's: it saves and then tells the others.
        for (int stop : {SIGINT, SIGTERM, SIGUSR1, SIGHUP, SIGQUIT}) signal(stop, SIG_IGN);
        std::string error;
        KernelPath path = DetectKernelPath();
        if (parsed.ok && !parsed.options.kernel.empty()) {
            path = ResolveKernelPath(parsed.options.kernel, &error);
        } else {
            error = KernelEnvironmentError();
        }
        if (!error.empty()) {
            std::fprintf(stderr, "varnesk-mpi: rank %d: %s; using the best kernels of this CPU.\n", rank,
                         error.c_str());
            path = DetectKernelPath();
        }
        std::vector<BlockProducer*> extra;
        if (device) extra.push_back(device.get());
        // Said once a job comes: only a wide-math job has blocks for it.
        mpi::ServeSegments(
            MPI_COMM_WORLD, threads, path, extra,
            [&deviceLine] {
                if (!deviceLine.empty()) std::fprintf(stderr, "%s\n", deviceLine.c_str());
            },
            rank == 1 ? TestFault() : mpi::ServeFault::kNone);
    }
    MPI_Finalize();
    return status;
}
