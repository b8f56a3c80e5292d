#include "vault/PinlarkVaultSync.h"

#include <QHash>

#include <algorithm>

namespace PinlarkVaultSync {

QList<NoteCard> merge(const QList<NoteCard> &local, const QList<NoteCard> &remote)
{
    // The cards in order of first sight of their id, and where each id sits: hash lookups and
    // one sort, so large stacks merge in O(n log n).
    QList<NoteCard> merged;
    merged.reserve(local.size() + remote.size());
    QHash<QString, qsizetype> slotOf;
    slotOf.reserve(local.size() + remote.size());

    // A later local copy of an id replaces an earlier one whatever its time.
    for (const NoteCard &card : local) {
        const auto it = slotOf.constFind(card.id);
        if (it == slotOf.cend()) {
            slotOf.insert(card.id, merged.size());
            merged.append(card);
        } else {
            merged[*it] = card;
        }
    }
    // A remote copy wins only when edited strictly later: a tie keeps what is held, the local
    // copy or the first remote one. The winner is taken whole.
    for (const NoteCard &card : remote) {
        const auto it = slotOf.constFind(card.id);
        if (it == slotOf.cend()) {
            slotOf.insert(card.id, merged.size());
            merged.append(card);
        } else if (card.updatedAt > merged.at(*it).updatedAt) {
            merged[*it] = card;
        }
    }

    // The store's pin order: pinned cards first, each group most recently edited first.
    std::stable_sort(merged.begin(), merged.end(), [](const NoteCard &a, const NoteCard &b) {
        if (a.pinned() != b.pinned())
            return a.pinned();
        return a.updatedAt > b.updatedAt;
    });
    return merged;
}

} // namespace PinlarkVaultSync
