#include "server/VaultStorage.h"

#include <QByteArrayView>

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

namespace {

// An opaque tag in quotes, as RFC 9110 writes entity-tag without its W/ prefix: any visible
// byte but the quote (and obs-text) between two quotes.
bool isQuotedTag(QByteArrayView tag)
{
    if (tag.size() < 2 || tag.front() != '"' || tag.back() != '"')
        return false;
    for (const char c : tag.sliced(1, tag.size() - 2)) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '"' || u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

} // namespace

bool ifNoneMatchHolds(const std::vector<QByteArray> &tags, const std::optional<QByteArray> &current)
{
    if (tags.empty())
        return false;
    for (const QByteArray &tag : tags) {
        if (tag == "*") {
            if (current)
                return false;
            continue;
        }
        const QByteArrayView opaque =
            tag.startsWith("W/") ? QByteArrayView(tag).sliced(2) : QByteArrayView(tag);
        if (!isQuotedTag(opaque))
            return false;
        if (current && opaque == *current)
            return false;
    }
    return true;
}

bool preconditionsHold(const VaultWrite &write, const std::optional<QByteArray> &current)
{
    if (write.ifMatch && !ifMatchHolds(*write.ifMatch, current))
        return false;
    return !write.ifNoneMatch || ifNoneMatchHolds(*write.ifNoneMatch, current);
}

} // namespace VaultServer
