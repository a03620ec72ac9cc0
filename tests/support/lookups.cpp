#include "lookups.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <netdb.h>

namespace {

const char unknownName[] = "no-such-host.unknown.test";
const char hangingName[] = "lookup-hangs.hang.test";

std::mutex gate;
std::condition_variable opened;
int releases = 0;   // each release lets go of the look-ups hanging at that moment
std::atomic<int> entered{0};
std::atomic<int> returned{0};

} // namespace

// Found before the C library's own (the program's symbols come first), so libcurl's resolver
// thread calls it.
extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **result)
{
    if (node && std::strcmp(node, unknownName) == 0)
        return EAI_NONAME;
    if (node && std::strcmp(node, hangingName) == 0) {
        std::unique_lock<std::mutex> lock(gate);
        ++entered;
        const int at = releases;
        opened.wait_for(lock, std::chrono::seconds(30), [at] { return releases != at; });
        ++returned;
        return EAI_NONAME;
    }
    using Real = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}

namespace lookups {

QString unknownHost() { return QString::fromLatin1(unknownName); }
QString hangingHost() { return QString::fromLatin1(hangingName); }

void releaseHanging()
{
    {
        std::lock_guard<std::mutex> lock(gate);
        ++releases;
    }
    opened.notify_all();
}

int hangingEntered() { return entered; }
int hangingReturned() { return returned; }

} // namespace lookups
