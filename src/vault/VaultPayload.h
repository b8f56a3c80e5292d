#pragma once

#include "model/NoteCard.h"
#include "model/Result.h"
#include "model/Timestamp.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/SyncError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <cstddef>
#include <functional>

// The pieces of the payload format, open to the tests and the fuzzers. The public
// encrypt() and decrypt() in PinlarkVaultSync.h are these with the system's random
// generator, the system clock and PBKDF2.
namespace PinlarkVaultSync::detail {

inline constexpr int saltBytes = 16;
inline constexpr int nonceBytes = 12;
inline constexpr int tagBytes = 16;
inline constexpr int keyBytes = 32;
inline constexpr int kdfIterations = 100'000;

// 32 key bytes that are wiped when the key goes away. Moves leave a wiped source behind.
class SecretKey final
{
public:
    SecretKey() = default;
    ~SecretKey();
    SecretKey(SecretKey &&other) noexcept;
    SecretKey &operator=(SecretKey &&other) noexcept;
    SecretKey(const SecretKey &) = delete;
    SecretKey &operator=(const SecretKey &) = delete;

    [[nodiscard]] unsigned char *data() { return m_bytes.data(); }
    [[nodiscard]] const unsigned char *data() const { return m_bytes.data(); }
    [[nodiscard]] static constexpr std::size_t size() { return keyBytes; }

private:
    std::array<unsigned char, keyBytes> m_bytes{};
};

// PBKDF2-HMAC-SHA-256 over the UTF-8 of normalizeCode(code), 100000 iterations, 32 bytes.
[[nodiscard]] Result<SecretKey, SyncError> deriveKey(const QString &code, QByteArrayView salt);

// Fills `count` bytes; false when the generator failed.
using RandomSource = std::function<bool(unsigned char *bytes, int count)>;
[[nodiscard]] bool systemRandom(unsigned char *bytes, int count);

// The envelope JSON: {"version":1,"app":"pinlark","updatedAt":<date text>,"cards":[...]}.
[[nodiscard]] QByteArray encodeEnvelope(const QList<NoteCard> &cards, Timestamp updatedAt);
// The cards of an envelope. All four members are required with their JSON types; the values
// of the first three are not checked.
[[nodiscard]] Result<QList<NoteCard>, SyncError> decodeEnvelope(const QByteArray &json);
// The same with the deletions a Pinlark adds as a fifth member, "deletions": an array of
// {"id":<text>,"deletedAt":<date text>,"updatedAt":<date text>}, written only when there
// are any. Other clients ignore the member; here an entry that cannot be read is skipped,
// and a member that is not an array counts as none.
[[nodiscard]] QByteArray encodeEnvelope(const VaultStack &stack, Timestamp updatedAt);
[[nodiscard]] Result<VaultStack, SyncError> decodeEnvelopeStack(const QByteArray &json);

[[nodiscard]] Result<QString, SyncError> encrypt(const QList<NoteCard> &cards, const QString &code,
                                                 const RandomSource &random, Timestamp now);

// encrypt() in two steps: a fresh salt and its key first, then the payload. Nothing of the
// key depends on the cards, so a sync derives the key of its push while the pull is still
// under way. Each key seals one payload.
struct SealingKey
{
    std::array<unsigned char, saltBytes> salt{};
    SecretKey key;
};
[[nodiscard]] Result<SealingKey, SyncError> makeSealingKey(const QString &code,
                                                           const RandomSource &random);
[[nodiscard]] Result<QString, SyncError> seal(const QList<NoteCard> &cards, const SealingKey &key,
                                              const RandomSource &random, Timestamp now);
[[nodiscard]] Result<QString, SyncError> seal(const VaultStack &stack, const SealingKey &key,
                                              const RandomSource &random, Timestamp now);

// Decrypts with the key that `keyForSalt` gives for the payload's salt.
using KeyForSalt = std::function<Result<SecretKey, SyncError>(QByteArrayView salt)>;
[[nodiscard]] Result<QList<NoteCard>, SyncError> decrypt(const QString &base64Data,
                                                         const KeyForSalt &keyForSalt);
[[nodiscard]] Result<VaultStack, SyncError> decryptStack(const QString &base64Data,
                                                         const KeyForSalt &keyForSalt);

} // namespace PinlarkVaultSync::detail
