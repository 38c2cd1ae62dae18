// SIGTERM, SIGHUP and SIGINT (a logout or shutdown, a closed terminal,
// Ctrl-C) reach the GUI thread as a Qt signal, so that the form can stop its
// job and save as its Close does. The handler only writes the signal's
// number to a pipe, which a QSocketNotifier reads on the GUI thread.
#pragma once
#include <QObject>
#include <array>
#include <csignal>
#include <string>

class QSocketNotifier;

namespace varnesk {

class StopSignalNotifier : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one instance at a time. The previous handlers
    // come back when it goes.
    explicit StopSignalNotifier(QObject* parent = nullptr);
    ~StopSignalNotifier() override;
    StopSignalNotifier(const StopSignalNotifier&) = delete;
    StopSignalNotifier& operator=(const StopSignalNotifier&) = delete;

    // False when the pipe could not be made: the signals keep their
    // default action.
    bool Installed() const { return notifier_ != nullptr; }

    static constexpr std::array<int, 3> kSignals = {SIGTERM, SIGHUP, SIGINT};

signals:
    void Received(int signal);

private:
    void Drain();

    QSocketNotifier* notifier_ = nullptr;
    int fds_[2] = {-1, -1};
    struct sigaction old_[kSignals.size()] {};
};

// "SIGTERM", "SIGHUP", "SIGINT".
std::string SignalName(int signal);

}  // namespace varnesk
