#pragma once

// Each fsync of the program first runs g_onSync with its descriptor, so that a test can see
// what was on disk when: the program's calls (the store is linked in statically) pass here.

#include <dlfcn.h>
#include <functional>

inline std::function<void(int)> g_onSync;

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (g_onSync)
        g_onSync(fd);
    return real(fd);
}
