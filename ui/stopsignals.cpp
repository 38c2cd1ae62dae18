#include "ui/stopsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace varnesk {

namespace {

std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// May run on any thread, at any moment: one write(2), errno kept. A full
// pipe already holds a byte that will be read.
extern "C" void WriteSignalByte(int signal) {
    const int saved = errno;
    const int fd = g_writeFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

StopSignalNotifier::StopSignalNotifier(QObject* parent) : QObject(parent) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    g_writeFd.store(fds_[1]);
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignalNotifier::Drain);
    struct sigaction sa {};
    sa.sa_handler = WriteSignalByte;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &sa, &old_[i]);
}

StopSignalNotifier::~StopSignalNotifier() {
    if (!notifier_) return;
    for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
    g_writeFd.store(-1);
    delete notifier_;
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void StopSignalNotifier::Drain() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(fds_[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; ++i) emit Received(bytes[i]);
}

std::string SignalName(int signal) {
    switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    default: return "signal " + std::to_string(signal);
    }
}

}  // namespace varnesk
