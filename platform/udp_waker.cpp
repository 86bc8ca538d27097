#include "platform/udp_handle.h"

#include <cerrno>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace UdpDetail;

int udpWakerOpen(UdpWaker **waker)
{
    if (!waker)
        return UDP_ERROR;
    const int descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (descriptor < 0)
        return UDP_ERROR;
    UdpWaker *created = new (std::nothrow) UdpWaker{descriptor};
    if (!created) {
        close(descriptor);
        return UDP_ERROR;
    }
    *waker = created;
    return UDP_OK;
}

int udpWakerClose(UdpWaker *waker)
{
    if (!waker)
        return UDP_ERROR;
    const int closed = close(waker->descriptor);
    delete waker;
    return closed == 0 ? UDP_OK : UDP_ERROR;
}

int udpWakerSignal(UdpWaker *waker)
{
    if (!waker)
        return UDP_ERROR;
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = write(waker->descriptor, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // A full counter means it is signalled already.
    return written == sizeof one || (written < 0 && wouldBlock()) ? UDP_OK : UDP_ERROR;
}

int udpWakerClear(UdpWaker *waker)
{
    if (!waker)
        return UDP_ERROR;
    uint64_t value;
    ssize_t got;
    do {
        got = read(waker->descriptor, &value, sizeof value);
    } while (got < 0 && errno == EINTR);
    return got == sizeof value || (got < 0 && wouldBlock()) ? UDP_OK : UDP_ERROR;
}
