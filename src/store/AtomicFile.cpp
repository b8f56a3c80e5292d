#include "AtomicFile.h"

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

void syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

Result<bool> writeFileAtomically(const QString &target,
                                 const std::function<bool(QIODevice &)> &write,
                                 std::optional<QFileDevice::Permissions> permissions)
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
    if (::fsync(file.handle()) != 0) {
        const int error = errno;
        file.cancelWriting();
        return failure(describeErrno(error));
    }
    errno = 0;
    if (!file.commit()) {
        // Qt gives no text for some failures of the final rename (a name too long for the
        // temporary file beside it, for one); the system's reason is still in errno then.
        const int error = errno;
        return failure(file.error() == QFileDevice::UnspecifiedError && error != 0
                           ? describeErrno(error)
                           : file.errorString());
    }
    syncFolder(QFileInfo(target).absolutePath());
    return true;
}
