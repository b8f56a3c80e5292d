#pragma once

#include "model/Result.h"

// Keeps this process's memory out of core dumps. The passport code, the key derived from it
// and the decrypted cards all live in memory, and a core file (or a crash report built from
// one) would keep them on disk, readable by whoever gets the file. Password managers on
// Linux do the same. Fails, with the reason, where the system refused.
[[nodiscard]] Result<void> disableCoreDumps();
