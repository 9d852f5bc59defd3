#pragma once

// Opening a name that ends in g_openSuffix first runs g_onOpen, once: a name swapped between
// its look and its open, as another account in a shared folder could. The program's open
// calls (the store is linked in statically) pass through here.

#include <QByteArray>

#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <utility>

inline QByteArray g_openSuffix;
inline std::function<void()> g_onOpen;

namespace {
int OpenAfterSwap(const char *path, int flags, mode_t mode)
{
    static const auto real = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
    if (!g_openSuffix.isEmpty() && QByteArray(path).endsWith(g_openSuffix) && g_onOpen)
        std::exchange(g_onOpen, {})();
    return real(path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(args, int)) : 0;
}
} // namespace

extern "C" int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenAfterSwap(path, flags, mode);
}

// The same function under the name that large-file builds call.
extern "C" int open64(const char *path, int flags, ...) __attribute__((alias("open")));

// What a build with _FORTIFY_SOURCE calls where no mode is given (the Debian package's).
extern "C" int __open_2(const char *path, int flags)
{
    return OpenAfterSwap(path, flags, 0);
}
