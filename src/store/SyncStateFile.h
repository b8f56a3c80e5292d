#pragma once

#include "model/Result.h"
#include "model/Timestamp.h"
#include "vault/PinlarkVaultSync.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// What this machine remembers of its exchanges with a vault, beside the notes file and in a
// file of its own, so the notes file and the payload keep their format: per card the
// version last exchanged (the base of the next merge), the deletions still to be carried to
// other machines, and when the last sync was.
struct SyncState
{
    QString vaultId; // the vault the base is of; another vault starts without one
    std::optional<Timestamp> lastSyncAt;
    QHash<QString, PinlarkVaultSync::ExchangedCard> base;
    QList<PinlarkVaultSync::CardDeletion> deletions;

    friend bool operator==(const SyncState &, const SyncState &) = default;
};

class SyncStateFile final
{
public:
    // In `folder`, the notes folder.
    explicit SyncStateFile(QString folder);

    static inline const QString fileName = u"sync-state.json"_s;
    [[nodiscard]] QString path() const;

    // The remembered state; an empty one when there is none. A file that cannot be read is
    // reported in `error` and counts as none: the next sync then merges without a base, which
    // keeps both texts of every card that differs.
    [[nodiscard]] SyncState load(QString *error = nullptr) const;
    // Atomic and durable, private to the user.
    [[nodiscard]] Result<bool> save(const SyncState &state) const;

    [[nodiscard]] static QByteArray encode(const SyncState &state);
    [[nodiscard]] static std::optional<SyncState> decode(const QByteArray &json);

private:
    QString m_folder;
};
