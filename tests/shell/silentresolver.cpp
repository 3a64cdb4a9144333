// A name server that never answers, for one program run: preloaded, it
// makes every lookup of a name ending in ".silent" wait until the process
// ends, as a resolver does whose server is gone. Other names resolve as
// usual.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **res)
{
    static const char suffix[] = ".silent";
    const size_t n = node ? std::strlen(node) : 0;
    if (n >= sizeof suffix - 1 && std::strcmp(node + n - (sizeof suffix - 1), suffix) == 0) {
        for (;;)
            pause();
    }
    using lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, res);
}
