#pragma once

#include "model/NoteCard.h"
#include "model/Result.h"
#include "vault/SyncError.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>

#include <atomic>
#include <optional>

using namespace Qt::StringLiterals;

class QProcessEnvironment;
class QSettings;

// Everything about the Vault that is not the store: passport codes and the vault identity,
// the encrypted payload, the merge of two stacks and the HTTP exchange. Stateless functions;
// the payload, the identity and the URLs are a wire format shared with every other Pinlark
// client and must not change.
namespace PinlarkVaultSync {

// Passport codes

// The 32 characters of generated codes: A-Z without I and O, then 2-9.
inline const QString passportAlphabet = u"ABCDEFGHJKLMNPQRSTUVWXYZ23456789"_s;

// "PLK-" and six characters of the alphabet, each drawn uniformly from the system's secure
// generator. None when that generator fails: a weaker source is never used instead.
[[nodiscard]] std::optional<QString> generatePassportCode();

// Trims Unicode white space at both ends, upper-cases with the full Unicode mapping ("ß"
// becomes "SS", whatever the locale), then drops every character outside A-Z, 0-9 and "-".
// May be empty.
[[nodiscard]] QString normalizeCode(const QString &code);

// The vault identity: 64 lower-case hex digits of SHA-256("pinlark-vault-id:" + normal form).
[[nodiscard]] QString vaultHash(const QString &code);

// Where the Vault is

struct VaultEndpoint
{
    static constexpr int defaultTimeoutMs = 60'000;
    static constexpr qint64 defaultMaxAnswerBytes = qint64(64) * 1024 * 1024;
    static constexpr int defaultDeadlineMs = 5 * 60 * 1000;

    QUrl baseUrl;   // scheme and host (and port), no path
    QString caFile; // PEM file of extra trusted certificates; empty: the system's only
    int timeoutMs = defaultTimeoutMs;              // per request, without a byte received
    int deadlineMs = defaultDeadlineMs;            // per pull, push or sync, however busy
    qint64 maxAnswerBytes = defaultMaxAnswerBytes; // a longer answer body ends the exchange
};

// https://vault.pinlark.app
[[nodiscard]] QUrl builtInVaultURL();

// The Vault as configured: the environment's PINLARK_VAULT_URL, else the setting
// "pinlark_vault_url", else the built-in address; the CA file from PINLARK_VAULT_CA, else
// the setting "pinlark_vault_ca_file".
[[nodiscard]] VaultEndpoint configuredEndpoint(const QProcessEnvironment &environment,
                                               const QSettings &settings);

// configuredEndpoint() of this process's environment and the user's settings, read once on
// first use (safe from any thread) and kept for the life of the process.
[[nodiscard]] const VaultEndpoint &defaultVaultEndpoint();
[[nodiscard]] QUrl defaultVaultURL();

// The base URL, "/vault/pinlark/" and the vault identity of `code`. The code itself never
// appears in a URL, a header or a body.
[[nodiscard]] QUrl vaultURL(const QUrl &base, const QString &code);

// Payload

// The cards in an envelope sealed with AES-256-GCM under a key stretched from the code with
// PBKDF2, as one line of standard base64: salt (16), nonce (12), ciphertext, tag (16).
[[nodiscard]] Result<QString, SyncError> encrypt(const QList<NoteCard> &cards, const QString &code);
// The cards of a payload. Fails with CorruptedPayload for text that is not strict base64 or
// too short, before any key is derived.
[[nodiscard]] Result<QList<NoteCard>, SyncError> decrypt(const QString &base64Data,
                                                         const QString &code);

// Merge

// One card per id from both stacks, the later `updatedAt` winning (the local copy on a tie),
// pinned cards first, each group most recently edited first. Never deletes a card.
[[nodiscard]] QList<NoteCard> merge(const QList<NoteCard> &local, const QList<NoteCard> &remote);

// Merge with a memory
//
// merge() above is what every client does. A Pinlark also remembers, per card, the version it
// last exchanged with the vault (its base), which tells an edit made here from one made
// elsewhere: a card edited on both sides keeps the later edit and turns the other text into a
// conflict copy, a pin changed on one side wins over an unchanged one, and deletions travel
// in the envelope, beside the cards, so a deleted card stays deleted.

// A card deleted on some machine. The envelope carries these in its "deletions" member, which
// clients that do not know it ignore.
struct CardDeletion
{
    QString id;
    Timestamp deletedAt; // when; forgotten deletionLifetimeDays later
    // The last edit of the card the deleting machine held, and cardDigest() of that version
    // (empty where it came without one): an edit it did not see keeps the card.
    Timestamp updatedAt;
    QByteArray digest;

    friend bool operator==(const CardDeletion &, const CardDeletion &) = default;
};
inline constexpr int deletionLifetimeDays = 90;

// The cards and the deletions of one side: this machine, or the vault.
struct VaultStack
{
    QList<NoteCard> cards;
    QList<CardDeletion> deletions;

    friend bool operator==(const VaultStack &, const VaultStack &) = default;
};

// One card as this machine last exchanged it with the vault.
struct ExchangedCard
{
    Timestamp updatedAt;
    bool pinned = false;
    QByteArray digest; // of the text and the colour: cardDigest()

    friend bool operator==(const ExchangedCard &, const ExchangedCard &) = default;
};
// 16 bytes of SHA-256 over what an edit changes, the text and the colour; empty when
// libcrypto cannot hash.
[[nodiscard]] QByteArray cardDigest(const NoteCard &card);
// The base a stack leaves once it has been exchanged.
[[nodiscard]] QHash<QString, ExchangedCard> exchangedVersions(const QList<NoteCard> &cards);

struct MergeCounts
{
    int conflicts = 0;         // cards edited on both sides into different texts
    int copies = 0;            // conflict copies made (none where one existed already)
    int deletedHere = 0;       // local cards removed by a deletion from the vault
    int deletionsKept = 0;     // deletions the merged stack carries on
    int editsOverDeletion = 0; // cards kept because an edit came after their deletion
};

struct Reconciled
{
    VaultStack stack;
    MergeCounts counts;
};

// The first line of a conflict copy begins with this tag, so the tag chip gathers them.
inline const QString conflictTag = u"#conflict"_s;

// Merges `local` and `remote` against `base` (empty: nothing exchanged yet). For each id:
// - changed on one side since the base: that side's copy; changed on both (or no base) into
//   different texts: the later edit (the local one on a tie), and the other text becomes a
//   conflict copy, a new card of the same colour whose id is derived from the card's id and
//   the losing version, so that every machine resolving this conflict makes the same one;
// - the pin changed since the base on one side only: that side's pin, whatever else wins;
// - changed there only, to a version older than the base (a client without preconditions
//   wrote an old stack over a newer one, or a clock is behind): the base's text stays the
//   card and the vault's becomes a conflict copy;
// - deleted on either side: gone where the deletion saw the card, its very version or an
//   older one unchanged since the base; any other version, or one changed since the base on
//   the side that did not delete it, keeps the card (and the deletion is dropped).
// Deletions older than deletionLifetimeDays at `now` are dropped. `machine` names this
// computer in the copies of its own edits. The cards in pin order, like merge().
[[nodiscard]] Reconciled reconcile(const VaultStack &local, const VaultStack &remote,
                                   const QHash<QString, ExchangedCard> &base, Timestamp now,
                                   const QString &machine);

// HTTP exchange
//
// These block the calling thread until the exchange is over, running their own event loop
// and network access manager: call them from a worker thread, never from the GUI thread.
// Setting `*cancelled` ends a running exchange soon after with the Cancelled error; one that
// outlasts the endpoint's deadline ends with DeadlineExceeded. A redirect is followed only
// to an address the base URL could have been.

using Cancellation = std::atomic<bool>;

// The stack stored in the vault of `code`, or none when the vault holds nothing yet.
[[nodiscard]] Result<std::optional<QList<NoteCard>>, SyncError>
pull(const VaultEndpoint &from, const QString &code, const Cancellation *cancelled = nullptr);

// Replaces the vault's payload with `cards`.
[[nodiscard]] Result<bool, SyncError> push(const VaultEndpoint &to, const QList<NoteCard> &cards,
                                           const QString &code,
                                           const Cancellation *cancelled = nullptr);

// Pull, merge with `cards` when the vault holds at least one card, push, and return the
// stack the vault now holds.
[[nodiscard]] Result<QList<NoteCard>, SyncError> sync(const VaultEndpoint &vault,
                                                      const QList<NoteCard> &cards,
                                                      const QString &code,
                                                      const Cancellation *cancelled = nullptr);

// A sync that remembers: pull (with the answer's entity tag), reconcile() with `base`, and
// push under a precondition, If-Match of the tag pulled or If-None-Match: * where the vault
// did not exist, so a push never replaces a stack it did not merge. A vault that changed
// in between (412) is pulled, merged and pushed again, a few times at most. A Vault that
// sends no tag is pushed to without a precondition.
struct SyncedStack
{
    VaultStack stack; // what the vault now holds, and the new base
    MergeCounts counts;
    int attempts = 1; // pushes made, the refused ones included
};
inline constexpr int maxPushAttempts = 4;
[[nodiscard]] Result<SyncedStack, SyncError> syncStack(const VaultEndpoint &vault,
                                                       const VaultStack &local,
                                                       const QHash<QString, ExchangedCard> &base,
                                                       const QString &code, const QString &machine,
                                                       const Cancellation *cancelled = nullptr);

} // namespace PinlarkVaultSync
