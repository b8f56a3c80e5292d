#pragma once

#include "model/Result.h"

#include <QFileDevice>
#include <QIODevice>
#include <QString>

#include <functional>
#include <optional>

// How written bytes are made durable. Tests replace both to see what is flushed, and when.
struct DiskFlush
{
    // Flushes an open file's data to the disk; 0 on success, else -1 with errno set.
    std::function<int(int fd)> file;
    // Flushes a folder's entries, so a file renamed into it keeps its name after a power cut.
    std::function<void(const QString &folder)> folder;

    [[nodiscard]] static DiskFlush system();
};

// Replaces the file at `target` with what `write` puts into the device it is given, or
// leaves whatever was there untouched. The new text goes to a temporary file beside the
// file, is flushed to the disk and only then renamed over it; the folder entry is flushed
// after the rename, so a crash or power cut leaves the old file or the new one, never a mix.
// A `target` that is a symbolic link keeps its link: the file it leads to is replaced, in
// its own folder, and that is the folder flushed.
// `write` returns false when it could not write everything. `permissions`, when given, are
// set on the new file before any text reaches it. A failure's description names the target.
[[nodiscard]] Result<bool>
writeFileAtomically(const QString &target, const std::function<bool(QIODevice &)> &write,
                    std::optional<QFileDevice::Permissions> permissions = std::nullopt,
                    const DiskFlush &flush = DiskFlush::system());

// Flushes a folder's entries to the disk, so a file just renamed into or within it keeps
// its new name after a power cut. Failures are ignored: the rename itself has happened.
void syncFolder(const QString &folder);

// The file a path finally names once symbolic links are followed, as the atomic write
// resolves it; the path itself when it is no link (or the links loop).
[[nodiscard]] QString resolvedFilePath(const QString &path);
