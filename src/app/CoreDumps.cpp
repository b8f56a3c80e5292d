#include "app/CoreDumps.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

Result<void> disableCoreDumps()
{
    // A core size limit of zero, soft and hard, so no child and no later call can raise it:
    // the kernel then writes no core file, and systemd-coredump stores nothing either.
    // (Making the process non-dumpable as well would also stop it, but it hides /proc/PID
    // from the desktop portal, which then refuses the file dialog and the global shortcut.)
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) == 0)
        return {};
    return Result<void>::failure(QString::fromLocal8Bit(std::strerror(errno)));
}
