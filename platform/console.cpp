#include "platform/console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int wakePipe[2] = {-1, -1};
int markPipe[2] = {-1, -1};
std::atomic<int> lastSignal{0};

// Only async-signal-safe calls here: a store and a write.
void onStopSignal(int number)
{
    lastSignal.store(number);
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);
    errno = saved;
}

void onMarkSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(markPipe[1], &byte, 1);
    errno = saved;
}

}

namespace Console {

bool isTerminal(int descriptor)
{
    return isatty(descriptor) == 1;
}

int stopSignalDescriptor()
{
    if (wakePipe[0] >= 0)
        return wakePipe[0];
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the handler only wakes the event loop.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return wakePipe[0];
}

int stopSignalReceived()
{
    return lastSignal.load();
}

int markSignalDescriptor()
{
    if (markPipe[0] >= 0)
        return markPipe[0];
    if (pipe2(markPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = onMarkSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    return markPipe[0];
}

int takeSignalBytes(int descriptor)
{
    char bytes[64];
    int count = 0;
    for (;;) {
        const ssize_t got = read(descriptor, bytes, sizeof bytes);
        if (got > 0)
            count += int(got);
        else if (!(got < 0 && errno == EINTR))
            return count;
    }
}

}
