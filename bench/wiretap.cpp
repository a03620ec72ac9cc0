#include "wiretap.h"

#include <atomic>
#include <ctime>

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

std::atomic<bool> armed{false};
std::atomic<qint64> firstSend{0};
std::atomic<qint64> lastReceive{0};
std::atomic<int> connects{0};
std::atomic<qint64> received{0};

template <typename Fn>
Fn next(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

namespace wiretap {

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void arm()
{
    firstSend = 0;
    lastReceive = 0;
    connects = 0;
    received = 0;
    armed = true;
}

qint64 firstSendNs() { return firstSend; }
qint64 lastReceiveNs() { return lastReceive; }
int connections() { return connects; }
qint64 receivedBytes() { return received; }

} // namespace wiretap

// libcurl's socket calls (plain and under TLS alike) go through these three.
extern "C" ssize_t send(int fd, const void *buffer, size_t length, int flags)
{
    using Send = ssize_t (*)(int, const void *, size_t, int);
    static const Send real = next<Send>("send");
    const ssize_t n = real(fd, buffer, length, flags);
    if (n > 0 && armed && firstSend == 0) {
        qint64 none = 0;
        firstSend.compare_exchange_strong(none, wiretap::nowNs());
    }
    return n;
}

extern "C" ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    using Recv = ssize_t (*)(int, void *, size_t, int);
    static const Recv real = next<Recv>("recv");
    const ssize_t n = real(fd, buffer, length, flags);
    if (n > 0 && armed && !(flags & MSG_PEEK)) {
        lastReceive = wiretap::nowNs();
        received += n;
    }
    return n;
}

extern "C" int connect(int fd, const sockaddr *address, socklen_t length)
{
    using Connect = int (*)(int, const sockaddr *, socklen_t);
    static const Connect real = next<Connect>("connect");
    if (armed && address && (address->sa_family == AF_INET || address->sa_family == AF_INET6))
        ++connects;
    return real(fd, address, length);
}
