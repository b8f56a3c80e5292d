#include "model/NoteJSON.h"
#include "vault/PinlarkVaultSync.h"

#include <QDateTime>
#include <QSet>

#include <algorithm>
#include <array>
#include <openssl/evp.h>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace PinlarkVaultSync {

namespace {

constexpr int digestBytes = 16;
constexpr double secondsPerDay = 86'400.0;

std::optional<std::array<unsigned char, 32>> sha256(const QByteArray &bytes)
{
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), std::size_t(bytes.size()), digest.data(), &length,
                   EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        return std::nullopt;
    return digest;
}

// The one card of each id: a later local copy replaces an earlier one, a later remote copy
// only when edited strictly later, as merge() reads them.
QList<NoteCard> distinctCards(const QList<NoteCard> &cards, bool laterWins)
{
    QList<NoteCard> result;
    result.reserve(cards.size());
    QHash<QString, qsizetype> slotOf;
    slotOf.reserve(cards.size());
    for (const NoteCard &card : cards) {
        const auto it = slotOf.constFind(card.id);
        if (it == slotOf.cend()) {
            slotOf.insert(card.id, result.size());
            result.append(card);
        } else if (laterWins || card.updatedAt > result.at(*it).updatedAt) {
            result[*it] = card;
        }
    }
    return result;
}

// The text a conflict copy keeps of its card: everything after its "#conflict" line.
QStringView copiedText(const QString &content)
{
    if (!content.startsWith(conflictTag))
        return content;
    const qsizetype lineEnd = content.indexOf(u'\n');
    return lineEnd < 0 ? QStringView() : QStringView(content).sliced(lineEnd + 1);
}

// Two copies of one card hold different texts. Copies of one conflict made on two machines
// differ only in their first line, which says where the edit was made from each one's view:
// they hold the same text.
bool textsDiffer(const NoteCard &a, const NoteCard &b)
{
    if (a.content == b.content)
        return false;
    if (a.content.startsWith(conflictTag) && b.content.startsWith(conflictTag))
        return copiedText(a.content) != copiedText(b.content);
    return true;
}

bool changedSince(const NoteCard &card, const ExchangedCard *base)
{
    return !base || card.updatedAt != base->updatedAt || cardDigest(card) != base->digest;
}

// Edited since the base: changed, and not back at an older version (what a client without
// preconditions writes over a newer stack is no edit, and outlives no deletion).
bool editedSince(const NoteCard &card, const ExchangedCard *base)
{
    return base && changedSince(card, base) && card.updatedAt >= base->updatedAt;
}

bool pinChangedSince(const NoteCard &card, const ExchangedCard *base)
{
    return base && card.pinned() != base->pinned;
}

// "card_" and eight upper-case hex digits, like every card id, from the card's id and the
// version that lost: the same copy on every machine that resolves the same conflict.
QString copyId(const QString &cardId, const NoteCard &loser)
{
    const QByteArray seed = "pinlark-conflict-copy\n" + cardId.toUtf8() + '\n' +
                            NoteJSON::isoString(loser.updatedAt).toUtf8() + '\n' +
                            loser.content.toUtf8();
    const auto digest = sha256(seed);
    QString id = u"card_"_s;
    static constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) {
        const unsigned char byte = digest ? (*digest)[std::size_t(i)] : 0;
        id += QChar(hexDigits[byte >> 4]);
        id += QChar(hexDigits[byte & 0x0f]);
    }
    return id;
}

NoteCard conflictCopy(const QString &cardId, const NoteCard &loser, bool lostHere,
                      const QString &machine)
{
    const QString when = loser.updatedAt.toDateTime().toLocalTime().toString(u"yyyy-MM-dd HH:mm"_s);
    const QString where = lostHere && !machine.isEmpty() ? u"on "_s + machine
                          : lostHere                     ? u"on this computer"_s
                                                         : u"on another computer"_s;
    NoteCard copy;
    copy.id = copyId(cardId, loser);
    copy.content = conflictTag + u" edited "_s + when + u' ' + where + u'\n' + loser.content;
    copy.color = loser.color;
    copy.isPinned = false;
    copy.createdAt = loser.updatedAt;
    copy.updatedAt = loser.updatedAt;
    return copy;
}

// Of two deletions of one id, the one that saw the later edit (then the later one).
bool supersedes(const CardDeletion &a, const CardDeletion &b)
{
    if (a.updatedAt != b.updatedAt)
        return a.updatedAt > b.updatedAt;
    return a.deletedAt > b.deletedAt;
}

} // namespace

QByteArray cardDigest(const NoteCard &card)
{
    // Over the UTF-16 of the text, a zero and the colour's: no conversion, and a large stack
    // is hashed in every merge.
    // Fetched once: an implicit fetch on every card costs more than hashing a short one.
    static EVP_MD *const sha256Method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX *context = sha256Method ? EVP_MD_CTX_new() : nullptr;
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    const char16_t separator = 0;
    const bool hashed =
        context && EVP_DigestInit_ex(context, sha256Method, nullptr) == 1 &&
        EVP_DigestUpdate(context, card.content.utf16(), std::size_t(card.content.size()) * 2) ==
            1 &&
        EVP_DigestUpdate(context, &separator, sizeof separator) == 1 &&
        EVP_DigestUpdate(context, card.color.utf16(), std::size_t(card.color.size()) * 2) == 1 &&
        EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == digest.size();
    EVP_MD_CTX_free(context);
    if (!hashed)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest.data()), digestBytes);
}

QHash<QString, ExchangedCard> exchangedVersions(const QList<NoteCard> &cards)
{
    QHash<QString, ExchangedCard> versions;
    versions.reserve(cards.size());
    for (const NoteCard &card : cards)
        versions.insert(card.id, ExchangedCard{card.updatedAt, card.pinned(), cardDigest(card)});
    return versions;
}

Reconciled reconcile(const VaultStack &local, const VaultStack &remote,
                     const QHash<QString, ExchangedCard> &base, Timestamp now,
                     const QString &machine)
{
    Reconciled out;
    MergeCounts &counts = out.counts;

    // Deletions of both sides, one per id, the expired ones forgotten.
    const Timestamp expiry{now.secondsSinceReference - deletionLifetimeDays * secondsPerDay};
    QHash<QString, CardDeletion> deletions;
    for (const QList<CardDeletion> *side : {&local.deletions, &remote.deletions}) {
        for (const CardDeletion &deletion : *side) {
            if (deletion.deletedAt < expiry)
                continue;
            const auto it = deletions.find(deletion.id);
            if (it == deletions.end())
                deletions.insert(deletion.id, deletion);
            else if (supersedes(deletion, *it))
                *it = deletion;
        }
    }

    const QList<NoteCard> localCards = distinctCards(local.cards, true);
    const QList<NoteCard> remoteCards = distinctCards(remote.cards, false);
    QHash<QString, qsizetype> remoteSlot;
    remoteSlot.reserve(remoteCards.size());
    for (qsizetype i = 0; i < remoteCards.size(); ++i)
        remoteSlot.insert(remoteCards.at(i).id, i);
    QSet<QString> held; // every id either side holds, so a copy never doubles one
    held.reserve(localCards.size() + remoteCards.size());
    for (const NoteCard &card : localCards)
        held.insert(card.id);
    for (const NoteCard &card : remoteCards)
        held.insert(card.id);

    QList<NoteCard> &merged = out.stack.cards;
    merged.reserve(localCards.size() + remoteCards.size());
    QList<NoteCard> copies;

    // Whether a card survives the deletion of its id; a deletion it outlives is dropped. The
    // deletion removes what it saw: the version it deleted, or an older one this machine
    // holds unchanged since the vault had it. Any other version is an edit it did not see,
    // whatever the clocks said, and keeps the card.
    const auto survives = [&](const NoteCard &card, const ExchangedCard *was, bool changed,
                              bool deletedHere) {
        const auto it = deletions.find(card.id);
        if (it == deletions.end())
            return true;
        const bool sameVersion = card.updatedAt == it->updatedAt &&
                                 (it->digest.isEmpty() || it->digest == cardDigest(card));
        const bool seen = sameVersion || (was && card.updatedAt <= it->updatedAt);
        if (changed || !seen) {
            deletions.erase(it);
            ++counts.editsOverDeletion;
            return true;
        }
        if (deletedHere)
            ++counts.deletedHere;
        return false;
    };

    std::vector<bool> remoteTaken(std::size_t(remoteCards.size()), false);
    for (const NoteCard &mine : localCards) {
        const ExchangedCard *was = base.contains(mine.id) ? &*base.constFind(mine.id) : nullptr;
        const auto at = remoteSlot.constFind(mine.id);
        if (at == remoteSlot.cend()) {
            // Only here: new, or deleted in the vault. With a base, "changed" means changed
            // here since the vault last had it; a deletion from the vault removes what was
            // not.
            if (survives(mine, was, editedSince(mine, was), true))
                merged.append(mine);
            continue;
        }
        remoteTaken[std::size_t(*at)] = true;
        const NoteCard &theirs = remoteCards.at(*at);
        const bool changedHere = changedSince(mine, was);
        // Most cards are the same on both sides: one digest tells for both.
        const bool same = mine.updatedAt == theirs.updatedAt && mine.content == theirs.content &&
                          mine.color == theirs.color;
        const bool changedThere = same ? changedHere : changedSince(theirs, was);

        const bool remoteLater = theirs.updatedAt > mine.updatedAt;
        // The vault going back to a version older than the one exchanged last: a client
        // that pushes without a precondition wrote over a newer stack, or the other
        // machine's clock is behind. Either way neither text may be lost.
        const bool wentBack =
            was && changedThere && !changedHere && theirs.updatedAt < was->updatedAt;
        NoteCard winner;
        if ((changedHere || wentBack) && changedThere && textsDiffer(mine, theirs)) {
            ++counts.conflicts;
            winner = remoteLater ? theirs : mine;
            const NoteCard &loser = remoteLater ? mine : theirs;
            NoteCard copy = conflictCopy(mine.id, loser, remoteLater, machine);
            if (!held.contains(copy.id)) {
                held.insert(copy.id);
                ++counts.copies;
                copies.append(std::move(copy));
            }
        } else if (changedHere != changedThere) {
            winner = changedHere ? mine : theirs;
        } else {
            winner = remoteLater ? theirs : mine;
        }

        // A pin is not an edit (it leaves updatedAt alone), so it is judged on its own.
        const bool pinnedHere = pinChangedSince(mine, was);
        const bool pinnedThere = pinChangedSince(theirs, was);
        if (pinnedHere && !pinnedThere)
            winner.isPinned = mine.isPinned;
        else if (pinnedThere && !pinnedHere)
            winner.isPinned = theirs.isPinned;

        if (survives(winner, was, editedSince(mine, was) || editedSince(theirs, was), true))
            merged.append(std::move(winner));
    }
    for (qsizetype i = 0; i < remoteCards.size(); ++i) {
        if (remoteTaken[std::size_t(i)])
            continue;
        // Only in the vault: new from elsewhere, or deleted here.
        const NoteCard &theirs = remoteCards.at(i);
        const ExchangedCard *was = base.contains(theirs.id) ? &*base.constFind(theirs.id) : nullptr;
        if (survives(theirs, was, editedSince(theirs, was), false))
            merged.append(theirs);
    }
    merged.append(copies);

    // The pin order of the store: pinned cards first, each group most recently edited first;
    // cards edited at the same time by their ids, so every machine shows the same order.
    std::sort(merged.begin(), merged.end(), [](const NoteCard &a, const NoteCard &b) {
        if (a.pinned() != b.pinned())
            return a.pinned();
        if (a.updatedAt != b.updatedAt)
            return a.updatedAt > b.updatedAt;
        return a.id < b.id;
    });

    // A deletion is kept while it may still meet a copy of its card somewhere. In the order
    // they were made, so the envelope is the same whichever side had them first.
    out.stack.deletions = deletions.values();
    std::sort(out.stack.deletions.begin(), out.stack.deletions.end(),
              [](const CardDeletion &a, const CardDeletion &b) {
                  if (a.deletedAt != b.deletedAt)
                      return a.deletedAt < b.deletedAt;
                  return a.id < b.id;
              });
    counts.deletionsKept = int(out.stack.deletions.size());
    return out;
}

} // namespace PinlarkVaultSync
