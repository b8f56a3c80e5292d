#pragma once

#include "model/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The Vault's wire format, apart from any socket: which paths name a vault, what a POST body
// must hold, what a GET answers, and the entity tags of the optional concurrency guard.
namespace VaultServer {

inline constexpr QByteArrayView vaultPathPrefix = "/vault/pinlark/";

// The vault identity in a request path: exactly "/vault/pinlark/" and 64 lower-case hex
// digits. None for anything else (upper case, a trailing slash, more segments).
[[nodiscard]] std::optional<QByteArray> vaultIdFromPath(QByteArrayView path);

// The vault named by a request target as it came, before any decoding: a path (origin form)
// or a whole http or https URL (absolute form), with any query ignored. Percent escapes are
// decoded as URI equivalence says, except that an escaped NUL or "/" names no vault: either
// would give a vault aliases ("<id>%00junk", "/vault%2Fpinlark%2F<id>") that proxies and
// logs in front of the server do not see as its path.
[[nodiscard]] std::optional<QByteArray> vaultIdFromTarget(QByteArrayView target);

// The text of a POST body, which must be a JSON object whose member "data" is a string (other
// members are ignored) of valid Unicode: a lone surrogate, as an escape or in the UTF-8,
// could not be stored as it was sent. Otherwise the failure says what was wrong, for the 400
// answer.
[[nodiscard]] Result<QByteArray> dataFromBody(const QByteArray &body);

// What a GET answers for a stored text: {"data":"<text>"}, byte for byte what
// QJsonDocument::toJson(Compact) writes for it, without going through QJsonDocument.
[[nodiscard]] QByteArray getAnswer(const QByteArray &data);

// A strong entity tag of the text: the unpadded base64url SHA-256 in quotes. Equal texts have
// equal tags, so a vault rewritten with the same text still matches an earlier If-Match.
[[nodiscard]] QByteArray entityTag(QByteArrayView data);

// The entity tags listed in an If-Match header, in order: "*", quoted strong tags and W/
// weak ones as sent. A malformed item is kept as it stands; it matches nothing.
[[nodiscard]] std::vector<QByteArray> parseIfMatch(QByteArrayView header);

// True for no Content-Type at all and for application/json with any parameters.
[[nodiscard]] bool acceptsContentType(std::optional<QByteArrayView> contentType);

} // namespace VaultServer
