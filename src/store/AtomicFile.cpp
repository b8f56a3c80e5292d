#include "store/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString describeErrno(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

DiskFlush DiskFlush::system()
{
    return DiskFlush{&::fsync, &syncFolder};
}

void syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

QString resolvedFilePath(const QString &path)
{
    // QSaveFile follows links this same way (a relative link is read from its own folder),
    // and writes the file at the end of the chain.
    QFileInfo info(path);
    int depth = 128;
    while (--depth > 0 && info.isSymLink())
        info.setFile(info.symLinkTarget());
    return depth > 0 ? info.filePath() : path;
}

Result<bool> writeFileAtomically(const QString &target,
                                 const std::function<bool(QIODevice &)> &write,
                                 std::optional<QFileDevice::Permissions> permissions,
                                 const DiskFlush &flush)
{
    const auto failure = [&target](const QString &reason) {
        return Result<bool>::failure(target + u": "_s + reason);
    };

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return failure(file.errorString());
    if (permissions)
        file.setPermissions(*permissions);
    if (!write(file) || !file.flush()) {
        const QString error = file.error() != QFileDevice::NoError
                                  ? file.errorString()
                                  : u"not every byte could be written"_s;
        file.cancelWriting();
        return failure(error);
    }
    // The data must be on the disk before the rename makes it the file.
    if (flush.file(file.handle()) != 0) {
        const int error = errno;
        file.cancelWriting();
        return failure(describeErrno(error));
    }
    // Where the rename lands: through a link, that is the folder of the file it leads to.
    const QString renamedIn = QFileInfo(resolvedFilePath(target)).absolutePath();
    errno = 0;
    if (!file.commit()) {
        // Qt gives no text for some failures of the final rename (a name too long for the
        // temporary file beside it, for one); the system's reason is still in errno then.
        const int error = errno;
        return failure(file.error() == QFileDevice::UnspecifiedError && error != 0
                           ? describeErrno(error)
                           : file.errorString());
    }
    flush.folder(renamedIn);
    return true;
}
