#pragma once

#include "model/Result.h"
#include "vault/SyncError.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The two JSON bodies of the Vault protocol, open to the tests and the fuzzers.
namespace PinlarkVaultSync::detail {

// The payload of a GET answer: the member "data", none when it is absent or null. Fails
// for a body that is not one JSON object or whose "data" is not a string.
[[nodiscard]] Result<std::optional<QString>, SyncError> decodeGetAnswer(const QByteArray &body);

// {"data":"<payload>"}, compact, with "/" written as "\/" like the other clients do.
[[nodiscard]] QByteArray encodePostBody(const QString &payload);

} // namespace PinlarkVaultSync::detail
