// SPDX-License-Identifier: GPL-3.0-or-later
#include "StopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tavrelo::platform {

namespace {

// The handler only writes the signal's number into a pipe, which is all a
// signal handler may safely do; the event loop reads it.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

} // namespace

void catchStopSignals(QObject* context, std::function<void(int)> onStop) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // no pipe: the signals keep their default action
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [onStop = std::move(onStop)] {
        char number = 0;
        while (::read(signalPipe[0], &number, 1) == 1)
            onStop(number);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // Closing the terminal it runs in: the same last try as SIGTERM.
    ::sigaction(SIGHUP, &action, nullptr);
}

} // namespace tavrelo::platform
