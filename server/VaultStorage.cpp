#include "server/VaultStorage.h"

namespace VaultServer {

bool ifMatchHolds(const std::vector<QByteArray> &tags, const std::optional<QByteArray> &current)
{
    if (!current)
        return false;
    for (const QByteArray &tag : tags) {
        if (tag == "*" || tag == *current)
            return true;
    }
    return false;
}

} // namespace VaultServer
