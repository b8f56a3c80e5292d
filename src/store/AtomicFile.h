#pragma once

#include "Result.h"

#include <QFileDevice>
#include <QIODevice>
#include <QString>

#include <functional>
#include <optional>

// Replaces the file at `target` with what `write` puts into the device it is given, or
// leaves whatever was there untouched. The new text goes to a temporary file beside the
// target, is flushed to the disk and only then renamed over it; the folder entry is flushed
// after the rename, so a crash or power cut leaves the old file or the new one, never a mix.
// `write` returns false when it could not write everything. `permissions`, when given, are
// set on the new file before any text reaches it. A failure's description names the target.
[[nodiscard]] Result<bool>
writeFileAtomically(const QString &target, const std::function<bool(QIODevice &)> &write,
                    std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// Flushes a folder's entries to the disk, so a file just renamed into or within it keeps
// its new name after a power cut. Failures are ignored: the rename itself has happened.
void syncFolder(const QString &folder);
