#include "store/PinlarkStore.h"

#include "model/Log.h"
#include "model/NotePastel.h"
#include "model/SearchText.h"
#include "store/MarkdownExport.h"

#include <QDir>
#include <QFileInfo>
#include <QFuture>
#include <QPointer>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtConcurrentRun>

#include <algorithm>
#include <numeric>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QString loadErrorPrefix = u"Pinlark: error loading notes, starting fresh: "_s;
const QString saveErrorPrefix = u"Pinlark: error saving notes: "_s;
const QString checklistItem = u"- [ ] "_s;
const QString exportErrorPrefix = u"Pinlark: export error: "_s;
const QString restoreErrorPrefix = u"Pinlark: error restoring from a backup: "_s;
const QString settingsErrorPrefix = u"Pinlark: error saving the passport code: "_s;
const QString invalidCodeMessage = u"Please enter a valid passport code"_s;
const QString syncingMessage = u"Syncing with Vault\u2026"_s;
const QString syncErrorPrefix = u"Sync error: "_s;
const QString syncStatePrefix = u"Pinlark: error keeping the sync state: "_s;
const QString shortcutOfferText =
    u"Alt+Space can't open Pinlark from other apps here. Set up another key instead?"_s;
// The same steps as the README's "Where Alt+Space is not available".
const QString shortcutStepsText =
    u"Alt+Space can't open Pinlark from other apps here. To open it from anywhere, bind "
    u"\"pinlark --toggle\" to a key in your desktop's keyboard shortcut settings (the README "
    u"shows where)."_s;
const QString shortcutSettingUpText = u"Setting up a shortcut\u2026"_s;
const QString shortcutDoneSuffix = u" now opens Pinlark."_s;
const QString shortcutFailedPrefix = u"Could not set up a shortcut: "_s;
const QString shortcutFailedSuffix =
    u" Bind \"pinlark --toggle\" to a key in your desktop's keyboard shortcut settings."_s;
const QString shortcutSettingsErrorPrefix = u"Pinlark: error saving the settings: "_s;

// The passport code is the whole secret of a vault: whoever reads it can pull, decrypt and
// overwrite every card. Its settings file is the user's alone, and so is its folder, which
// also holds the temporary file each write goes through; both whatever the umask, and
// whatever an earlier version left behind.
void keepPrivate(const QString &settingsFile)
{
    const QFileInfo info(settingsFile);
    const QString folder = info.absolutePath();
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    if (info.exists())
        ::chmod(QFile::encodeName(settingsFile).constData(), S_IRUSR | S_IWUSR);
}

PinlarkStore::Environment withDefaults(PinlarkStore::Environment environment)
{
    if (!environment.clock)
        environment.clock = &Timestamp::now;
    return environment;
}

} // namespace

PinlarkStore::PinlarkStore(Environment environment, QObject *parent)
    : QObject(parent)
    , m_env(withDefaults(std::move(environment)))
    , m_file(m_env.notesFolder, m_env.clock)
    , m_syncStateFile(m_file.folder())
{
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(saveDelayMs);
    // The timer belongs to the store, so it can never fire into a store that is gone.
    connect(&m_saveTimer, &QTimer::timeout, this, &PinlarkStore::saveNotesImmediately);
    m_longestWaitTimer.setSingleShot(true);
    m_longestWaitTimer.setInterval(longestSaveWaitMs);
    connect(&m_longestWaitTimer, &QTimer::timeout, this, &PinlarkStore::saveNotesImmediately);
    m_undoTimer.setSingleShot(true);
    m_undoTimer.setInterval(m_env.undoDeleteMs);
    connect(&m_undoTimer, &QTimer::timeout, this, &PinlarkStore::endUndoWindow);
    // Each sync holds a thread for its whole exchange; a few may overlap.
    m_syncPool.setMaxThreadCount(4);
    m_backupPool.setMaxThreadCount(1);
    loadNotes();
    initSyncCode();
    initAutoSync();
}

PinlarkStore::PinlarkStore(QObject *parent)
    : PinlarkStore(Environment{}, parent)
{}

// Teardown only releases: the owner decides when the last save happens. A sync still
// running is stopped, and its outcome dropped, so quitting never waits for the Vault.
PinlarkStore::~PinlarkStore()
{
    m_syncCancelled->store(true);
    m_syncPool.waitForDone();
    m_backupPool.waitForDone();
}

// Published fields

void PinlarkStore::setCards(const QList<NoteCard> &cards)
{
    Q_EMIT aboutToChange();
    m_cards = cards;
    invalidateTagIndex();
    rebuildFindIndex();
    Q_EMIT cardsChanged(m_cards);
    localChange();
}

void PinlarkStore::setActiveIndex(qint64 index)
{
    Q_EMIT aboutToChange();
    m_activeIndex = index;
    Q_EMIT activeIndexChanged(m_activeIndex);
}

void PinlarkStore::setPassportCode(const QString &code)
{
    Q_EMIT aboutToChange();
    m_passportCode = code;
    Q_EMIT passportCodeChanged(m_passportCode);
}

void PinlarkStore::setIsSyncing(bool syncing)
{
    Q_EMIT aboutToChange();
    m_isSyncing = syncing;
    Q_EMIT isSyncingChanged(m_isSyncing);
}

void PinlarkStore::setShowSync(bool show)
{
    Q_EMIT aboutToChange();
    m_showSync = show;
    Q_EMIT showSyncChanged(m_showSync);
}

void PinlarkStore::setSyncStatusMessage(const std::optional<QString> &message)
{
    Q_EMIT aboutToChange();
    m_syncStatusMessage = message;
    Q_EMIT syncStatusMessageChanged(m_syncStatusMessage);
}

void PinlarkStore::setSelectedTag(const std::optional<QString> &tag)
{
    Q_EMIT aboutToChange();
    m_selectedTag = tag;
    Q_EMIT selectedTagChanged(m_selectedTag);
}

void PinlarkStore::setFindQuery(const std::optional<QString> &query)
{
    const bool opening = query && !m_findQuery;
    const QStringList before = m_findWords;
    Q_EMIT aboutToChange();
    m_findQuery = query;
    if (!query) {
        m_findWords.clear();
        m_findMatches.clear();
        m_findFirstHits.clear();
        m_findHistory.clear();
        m_foldedTexts = {};
        Q_EMIT findQueryChanged(m_findQuery);
        return;
    }
    if (opening)
        rebuildFindIndex();
    m_findWords = SearchText::words(*query);
    findMatches(opening ? QStringList() : before);
    // The card to show is chosen before anyone hears of the query, so the views draw the
    // card found once, not first the one before it.
    bool moved = false;
    if (!m_findWords.isEmpty()) {
        const QList<qint64> shown = activeCardIndices();
        if (!shown.isEmpty() && (before.isEmpty() || !shown.contains(m_activeIndex))) {
            moved = shown.first() != m_activeIndex;
            m_activeIndex = shown.first();
        }
    }
    Q_EMIT findQueryChanged(m_findQuery);
    if (moved)
        Q_EMIT activeIndexChanged(m_activeIndex);
}

void PinlarkStore::rebuildFindIndex()
{
    if (!m_findQuery)
        return;
    m_foldedTexts.clear();
    m_findHistory.clear();
    m_foldedTexts.reserve(std::size_t(m_cards.size()));
    for (const NoteCard &card : std::as_const(m_cards))
        m_foldedTexts.push_back(SearchText::prepare(card.content));
    findMatches({});
}

void PinlarkStore::findMatches(const QStringList &before)
{
    if (m_findWords.isEmpty()) {
        m_findMatches.clear();
        m_findFirstHits.clear();
        return;
    }
    // Taking letters back comes back to queries found a moment ago.
    for (const FoundFor &earlier : std::as_const(m_findHistory)) {
        if (earlier.words == m_findWords) {
            m_findMatches = earlier.matches;
            m_findFirstHits = earlier.firstHits;
            return;
        }
    }
    const QStringList head = m_findWords.first(m_findWords.size() - 1);
    const SearchText::Word last(m_findWords.last());
    // A query that only adds to the words before it (each old word inside a new one) finds
    // no card the last one did not: only the cards found so far are looked at again.
    const bool narrowing =
        !before.isEmpty() &&
        std::all_of(before.cbegin(), before.cend(), [this](const QString &old) {
            return std::any_of(m_findWords.cbegin(), m_findWords.cend(),
                               [&old](const QString &word) { return word.contains(old); });
        });
    // Typing on at the end of the last word, or starting a new one after it, leaves the
    // other words as they were found: only the last is looked for, and a last word that
    // begins with the one before is looked for from where that was first found, since it
    // cannot occur earlier. Steady typing so reads each card about once, not once a key.
    const bool headKept = narrowing && (before.size() == m_findWords.size()
                                            ? before.first(before.size() - 1) == head &&
                                                  m_findWords.last().startsWith(before.last())
                                            : before == head);
    const bool extending = headKept && before.size() == m_findWords.size();
    const SearchText::Matcher headWords(head);

    QList<qint64> found;
    QList<qsizetype> hits;
    const auto consider = [&](qint64 index, qsizetype from) {
        const SearchText::Folded &folded = m_foldedTexts[std::size_t(index)];
        if (!last.mayBeIn(folded) || (!headKept && !headWords.matches(folded)))
            return;
        // A word its bits decide is in the text somewhere: from the start is where to look
        // for a longer one.
        const qsizetype at = last.decidedByBits() ? 0 : last.indexIn(folded.text, from);
        if (at < 0)
            return;
        found.append(index);
        hits.append(at);
    };
    if (narrowing) {
        found.reserve(m_findMatches.size());
        hits.reserve(m_findMatches.size());
        for (qsizetype i = 0; i < m_findMatches.size(); ++i)
            consider(m_findMatches.at(i), extending ? m_findFirstHits.at(i) : 0);
    } else {
        for (qint64 index = 0; index < qint64(m_foldedTexts.size()); ++index)
            consider(index, 0);
    }
    m_findMatches = std::move(found);
    m_findFirstHits = std::move(hits);
    if (m_findHistory.size() == findHistoryLength)
        m_findHistory.removeFirst();
    m_findHistory.append({m_findWords, m_findMatches, m_findFirstHits});
}

void PinlarkStore::setShortcutNotice(ShortcutNotice notice)
{
    Q_EMIT aboutToChange();
    m_shortcutNotice = notice;
    Q_EMIT shortcutNoticeChanged(m_shortcutNotice);
}

void PinlarkStore::setShortcutNoticeText(const QString &text)
{
    Q_EMIT aboutToChange();
    m_shortcutNoticeText = text;
    Q_EMIT shortcutNoticeTextChanged(m_shortcutNoticeText);
}

// Persistence

void PinlarkStore::loadNotes()
{
    NotesFile::Loaded loaded = m_file.load();
    if (loaded.status == NotesFile::Loaded::Status::Loaded && !loaded.cards.isEmpty()) {
        setCards(loaded.cards);
        setActiveIndex(0);
        return;
    }

    setCards({NoteCard::defaultCard(m_env.clock)});
    setActiveIndex(0);
    if (loaded.status != NotesFile::Loaded::Status::Unreadable) {
        saveNotesImmediately();
        return;
    }

    if (loaded.movedTo.isEmpty()) {
        m_saveRefusal = u"the unreadable notes file "_s + m_file.path() +
                        u" could not be moved aside, so it is not written over"_s;
        log(loadErrorPrefix + loaded.error + u" (the file could not be moved aside and is kept)"_s);
        return;
    }
    log(loadErrorPrefix + loaded.error + u" (the unreadable file was moved to "_s + loaded.movedTo +
        u')');
    saveNotesImmediately();
}

void PinlarkStore::saveNotes()
{
    m_saveTimer.start();
    // Counted from the first unsaved edit: every save, however it came, stops it.
    if (!m_longestWaitTimer.isActive())
        m_longestWaitTimer.start();
}

void PinlarkStore::saveNotesImmediately()
{
    m_saveTimer.stop();
    m_longestWaitTimer.stop();
    if (!m_saveRefusal.isEmpty()) {
        log(saveErrorPrefix + m_saveRefusal);
        return;
    }
    Result<bool> saved = true;
    {
        const std::lock_guard lock(m_saveMutex);
        saved = m_file.save(m_cards);
    }
    if (!saved)
        log(saveErrorPrefix + saved.error());
}

// Tag filter and navigation

QStringList PinlarkStore::allTags() const
{
    ensureTagIndex();
    if (!m_allTags)
        m_allTags = m_tagCounts.keys();
    return *m_allTags;
}

QList<qint64> PinlarkStore::activeCardIndices() const
{
    QList<qint64> indices;
    if (!m_findWords.isEmpty()) {
        if (!m_selectedTag)
            return m_findMatches;
        ensureTagIndex();
        for (const qint64 index : m_findMatches) {
            if (m_cardTags[std::size_t(index)].contains(*m_selectedTag))
                indices.append(index);
        }
        return indices;
    }
    if (!m_selectedTag) {
        indices.resize(m_cards.size());
        std::iota(indices.begin(), indices.end(), qint64(0));
        return indices;
    }
    ensureTagIndex();
    for (std::size_t i = 0; i < m_cardTags.size(); ++i) {
        if (m_cardTags[i].contains(*m_selectedTag))
            indices.append(qint64(i));
    }
    return indices;
}

qint64 PinlarkStore::currentFilteredIndex() const
{
    const QList<qint64> indices = activeCardIndices();
    const qsizetype position = indices.indexOf(m_activeIndex);
    return position < 0 ? 0 : position;
}

std::optional<NoteCard> PinlarkStore::currentCard() const
{
    if (!hasValidIndex())
        return std::nullopt;
    return m_cards.at(m_activeIndex);
}

void PinlarkStore::nextCard()
{
    step(+1);
}

void PinlarkStore::prevCard()
{
    step(-1);
}

void PinlarkStore::findNext()
{
    stepRound(+1);
}

void PinlarkStore::findPrevious()
{
    stepRound(-1);
}

void PinlarkStore::stepRound(int direction)
{
    const QList<qint64> indices = activeCardIndices();
    if (indices.isEmpty())
        return;
    const qsizetype count = indices.size();
    qsizetype position = indices.indexOf(m_activeIndex);
    // From a card not among those shown, the first step goes to either end.
    if (position < 0)
        position = direction > 0 ? count - 1 : 0;
    const qint64 target = indices.at(((position + direction) % count + count) % count);
    if (target == m_activeIndex)
        return;
    setActiveIndex(target);
    play(SoundPlayer::Sound::Tink);
}

void PinlarkStore::step(int direction)
{
    const QList<qint64> indices = activeCardIndices();
    const qsizetype position = indices.indexOf(m_activeIndex);
    if (position < 0)
        return;
    const qsizetype target = position + direction;
    if (target < 0 || target >= indices.size())
        return;
    setActiveIndex(indices.at(target));
    play(SoundPlayer::Sound::Tink);
}

// Editing

bool PinlarkStore::hasValidIndex() const
{
    return m_activeIndex >= 0 && m_activeIndex < m_cards.size();
}

void PinlarkStore::editCurrentCard(const std::function<void(NoteCard &)> &edit)
{
    Q_EMIT aboutToChange();
    edit(m_cards[m_activeIndex]);
    // Tags first, so whoever redraws on cardsChanged already sees the new ones.
    retagCard(m_activeIndex);
    if (m_findQuery) {
        m_findHistory.clear(); // what was found for earlier queries may have changed
        SearchText::Folded &folded = m_foldedTexts[std::size_t(m_activeIndex)];
        folded = SearchText::prepare(m_cards.at(m_activeIndex).content);
        // A card edited into a match joins the matches; one edited out of them stays until
        // the next query, so the card being typed into never drops out of the count. Either
        // way the matches still hold every card the words are in, which typing on relies on.
        if (!m_findWords.isEmpty() && SearchText::Matcher(m_findWords).matches(folded)) {
            const qsizetype at =
                std::lower_bound(m_findMatches.cbegin(), m_findMatches.cend(), m_activeIndex) -
                m_findMatches.cbegin();
            const qsizetype hit = SearchText::Word(m_findWords.last()).indexIn(folded.text);
            if (at == m_findMatches.size() || m_findMatches.at(at) != m_activeIndex) {
                m_findMatches.insert(at, m_activeIndex);
                m_findFirstHits.insert(at, hit);
            } else {
                m_findFirstHits[at] = hit; // the text before it may have changed
            }
        }
    }
    Q_EMIT cardsChanged(m_cards);
    localChange();
}

void PinlarkStore::addCard()
{
    NoteCard card;
    card.id = NoteCard::makeId();
    const QStringList &keys = NotePastel::allKeys();
    card.color = keys.at(QRandomGenerator::global()->bounded(int(keys.size())));
    card.isPinned = false;
    card.createdAt = m_env.clock();
    card.updatedAt = m_env.clock();

    // A new card is empty, so it would never be among the found ones.
    if (m_findQuery)
        setFindQuery(std::nullopt);
    Q_EMIT aboutToChange();
    m_cards.append(card);
    if (m_tagIndexValid)
        m_cardTags.emplace_back();
    Q_EMIT cardsChanged(m_cards);
    localChange();
    setSelectedTag(std::nullopt);
    setActiveIndex(m_cards.size() - 1);
    saveNotesImmediately();
    play(SoundPlayer::Sound::Pop);
}

void PinlarkStore::deleteCurrentCard()
{
    if (m_cards.size() < 2 || !hasValidIndex())
        return;
    Q_EMIT aboutToChange();
    if (m_tagIndexValid) {
        countTags(m_cardTags[std::size_t(m_activeIndex)], -1);
        m_cardTags.erase(m_cardTags.begin() + m_activeIndex);
    }
    const NoteCard deleted = m_cards.takeAt(m_activeIndex);
    if (m_findQuery) {
        m_foldedTexts.erase(m_foldedTexts.begin() + m_activeIndex);
        m_findHistory.clear();
        if (const qsizetype at = m_findMatches.indexOf(m_activeIndex); at >= 0) {
            m_findMatches.removeAt(at);
            m_findFirstHits.removeAt(at);
        }
        for (qint64 &index : m_findMatches) {
            if (index > m_activeIndex)
                --index;
        }
    }
    m_undoableDelete = UndoableDelete{deleted, qsizetype(m_activeIndex), false};
    Q_EMIT cardsChanged(m_cards);
    // Remembered, and carried in the vault for a while, so the other machines delete their
    // copies too instead of bringing it back. Also before any sync worked here: a push may
    // have reached the vault without this machine hearing of it.
    const Timestamp now = m_env.clock();
    // Kept no longer than a sync would keep them, so a stack that never syncs does not
    // collect them for ever.
    const Timestamp expiry{now.secondsSinceReference -
                           PinlarkVaultSync::deletionLifetimeDays * 86'400.0};
    m_syncState.deletions.removeIf([&](const PinlarkVaultSync::CardDeletion &deletion) {
        return deletion.deletedAt < expiry;
    });
    m_syncState.deletions.append(
        {deleted.id, now, deleted.updatedAt, PinlarkVaultSync::cardDigest(deleted)});
    saveSyncState();
    localChange();
    if (m_activeIndex >= m_cards.size())
        setActiveIndex(m_cards.size() - 1);
    // While finding, the next card found follows, not the next card of the stack.
    if (!m_findWords.isEmpty()) {
        const QList<qint64> shown = activeCardIndices();
        if (!shown.isEmpty() && !shown.contains(m_activeIndex)) {
            const auto next = std::lower_bound(shown.cbegin(), shown.cend(), m_activeIndex);
            setActiveIndex(next == shown.cend() ? shown.last() : *next);
        }
    }
    saveNotesImmediately();
    m_undoTimer.start();
    Q_EMIT canUndoDeleteChanged(true);
    play(SoundPlayer::Sound::Basso);
}

bool PinlarkStore::undoDelete()
{
    if (!m_undoableDelete)
        return false;
    UndoableDelete undone = *std::exchange(m_undoableDelete, std::nullopt);
    m_undoTimer.stop();
    m_autoSyncAfterUndo = false;
    Q_EMIT canUndoDeleteChanged(false);
    const QString id = undone.card.id;
    // A sync may have brought it back already (an edit elsewhere won over the delete).
    if (std::any_of(m_cards.cbegin(), m_cards.cend(),
                    [&id](const NoteCard &card) { return card.id == id; }))
        return false;
    // Once the deletion may be in the vault, the other machines delete the very version it
    // names: the card comes back as an edit made now, which wins over the deletion there.
    if (undone.mayHaveLeft)
        undone.card.updatedAt = m_env.clock();
    m_syncState.deletions.removeIf(
        [&id](const PinlarkVaultSync::CardDeletion &deletion) { return deletion.id == id; });
    saveSyncState();

    const qsizetype index = std::min(undone.index, m_cards.size());
    Q_EMIT aboutToChange();
    m_cards.insert(index, undone.card);
    invalidateTagIndex();
    if (m_findQuery) {
        m_findHistory.clear();
        m_foldedTexts.insert(m_foldedTexts.begin() + index,
                             SearchText::prepare(undone.card.content));
        findMatches({});
    }
    Q_EMIT cardsChanged(m_cards);
    localChange();
    setActiveIndex(index);
    saveNotesImmediately();
    play(SoundPlayer::Sound::Pop);
    return true;
}

void PinlarkStore::endUndoWindow()
{
    m_undoTimer.stop();
    if (m_undoableDelete) {
        m_undoableDelete.reset();
        Q_EMIT canUndoDeleteChanged(false);
    }
    if (std::exchange(m_autoSyncAfterUndo, false))
        requestAutoSync();
}

void PinlarkStore::updateCurrentCard(const QString &content)
{
    if (!hasValidIndex())
        return;
    const Timestamp now = m_env.clock();
    editCurrentCard([&](NoteCard &card) {
        card.content = content;
        card.updatedAt = now;
    });
    saveNotes();
}

void PinlarkStore::setCurrentCardColor(const QString &key)
{
    if (!hasValidIndex())
        return;
    const Timestamp now = m_env.clock();
    editCurrentCard([&](NoteCard &card) {
        card.color = key;
        card.updatedAt = now;
    });
    saveNotesImmediately();
}

void PinlarkStore::togglePinCurrentCard()
{
    if (!hasValidIndex())
        return;
    Q_EMIT aboutToChange();
    NoteCard &current = m_cards[m_activeIndex];
    current.setPinned(!current.pinned());

    // Sort an order of indices rather than the cards, so the per-card tags follow along.
    std::vector<qsizetype> order(std::size_t(m_cards.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [this](qsizetype a, qsizetype b) {
        const NoteCard &left = m_cards.at(a);
        const NoteCard &right = m_cards.at(b);
        if (left.pinned() != right.pinned())
            return left.pinned();
        return left.updatedAt > right.updatedAt;
    });
    QList<NoteCard> sorted;
    sorted.reserve(m_cards.size());
    std::vector<QStringList> sortedTags;
    sortedTags.reserve(m_tagIndexValid ? order.size() : 0);
    std::vector<SearchText::Folded> sortedFolds;
    sortedFolds.reserve(m_findQuery ? order.size() : 0);
    for (const qsizetype index : order) {
        sorted.append(std::move(m_cards[index]));
        if (m_tagIndexValid)
            sortedTags.push_back(std::move(m_cardTags[std::size_t(index)]));
        if (m_findQuery)
            sortedFolds.push_back(std::move(m_foldedTexts[std::size_t(index)]));
    }
    m_cards = std::move(sorted);
    if (m_tagIndexValid)
        m_cardTags = std::move(sortedTags);
    if (m_findQuery) {
        m_foldedTexts = std::move(sortedFolds);
        m_findHistory.clear();
        findMatches({});
    }
    Q_EMIT cardsChanged(m_cards);
    localChange();

    setActiveIndex(0);
    saveNotesImmediately();
    play(SoundPlayer::Sound::Tink);
}

void PinlarkStore::toggleChecklist()
{
    if (!hasValidIndex())
        return;
    const Timestamp now = m_env.clock();
    editCurrentCard([&](NoteCard &card) {
        if (card.content.isEmpty())
            card.content = checklistItem;
        else if (card.content.endsWith(u'\n'))
            card.content += checklistItem;
        else
            card.content += u'\n' + checklistItem;
        card.updatedAt = now;
    });
    saveNotes();
    play(SoundPlayer::Sound::Pop);
}

// Desktop

void PinlarkStore::exportAllToMarkdown(ExportCompletion done)
{
    const auto finish = [done = std::move(done)](const std::optional<QUrl> &written) {
        if (done)
            done(written);
    };
    if (!m_env.saveDialog) {
        finish(std::nullopt);
        return;
    }
    // The text is fixed now: edits made while the dialog is open belong to the next export.
    const MediumDateTimeFormatter formatter;
    QString document = MarkdownExport::document(m_cards, formatter);

    // The answer may come after the store is gone, so the callback holds only the text and
    // a guarded pointer for the cue and the log line.
    const QString documents =
        m_env.documentsFolder.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
            : m_env.documentsFolder;
    m_env.saveDialog->askForSaveLocation(
        MarkdownExport::saveDialogOptions(
            MarkdownExport::startFolder(m_lastExportFolder, documents, QDir::homePath())),
        [store = QPointer<PinlarkStore>(this), document = std::move(document),
         finish](const std::optional<QUrl> &location) {
            if (!location || location->isEmpty()) {
                finish(std::nullopt);
                return;
            }
            const Result<bool> written = MarkdownExport::write(document, *location);
            if (!written) {
                const QString line = exportErrorPrefix + written.error();
                if (store)
                    store->log(line);
                else
                    writeLogLine(line);
                finish(std::nullopt);
                return;
            }
            if (store) {
                store->m_lastExportFolder = QFileInfo(location->toLocalFile()).absolutePath();
                store->play(SoundPlayer::Sound::Glass);
            }
            finish(*location);
        });
}

void PinlarkStore::openNotesFolder()
{
    // storageDirectory() creates the folder, private to the user, when nothing is there, so
    // the file manager is never sent to a folder that was deleted behind our back.
    const QString folder = storageDirectory();
    if (m_env.workspace)
        m_env.workspace->openUrl(QUrl::fromLocalFile(folder));
}

// Backups

void PinlarkStore::listBackups(BackupsListed done)
{
    // The worker reads through a file of its own and answers through a queued call to the
    // store, which the store's end drops. The store waits for this pool as it goes, so it is
    // still there whenever a worker posts to it.
    QObject *const store = this;
    m_backupPool.start(
        [file = NotesFile(m_env.notesFolder, m_env.clock), store, done = std::move(done)] {
            QList<NotesFile::Backup> listed = file.listBackups();
            QMetaObject::invokeMethod(
                store,
                [done, listed = std::move(listed)] {
                    if (done)
                        done(listed);
                },
                Qt::QueuedConnection);
        });
}

void PinlarkStore::restoreFromBackup(const QString &backupPath, RestoreCompletion done)
{
    PinlarkStore *const store = this;
    m_backupPool.start([file = NotesFile(m_env.notesFolder, m_env.clock), backupPath, store,
                        done = std::move(done)] {
        Result<QList<NoteCard>> backup = file.readBackup(backupPath);
        QMetaObject::invokeMethod(
            store,
            [store, done, backup = std::move(backup)] { store->finishRestore(backup, done); },
            Qt::QueuedConnection);
    });
}

void PinlarkStore::finishRestore(const Result<QList<NoteCard>> &backup,
                                 const RestoreCompletion &done)
{
    const auto finish = [&done](RestoreOutcome outcome) {
        if (done)
            done(outcome);
    };
    if (!backup) {
        finish({0, backup.error()});
        return;
    }
    if (!m_saveRefusal.isEmpty()) {
        finish({0, m_saveRefusal});
        return;
    }
    // Only a text the stack no longer holds comes back: whatever card holds it now, under
    // whatever id, already has it.
    QSet<QString> held;
    held.reserve(m_cards.size());
    for (const NoteCard &card : std::as_const(m_cards))
        held.insert(card.content);
    const Timestamp now = m_env.clock();
    QList<NoteCard> restored;
    for (const NoteCard &kept : backup.value()) {
        if (kept.content.isEmpty() || held.contains(kept.content))
            continue;
        held.insert(kept.content);
        NoteCard card;
        // A new card, edited now: a deletion synced from elsewhere names the old id and
        // version, and must not take the restored text away again.
        card.id = NoteCard::makeId();
        card.content = kept.content;
        card.color = kept.color;
        card.isPinned = false;
        card.createdAt = kept.createdAt;
        card.updatedAt = now;
        restored.append(card);
    }
    if (restored.isEmpty()) {
        finish({});
        return;
    }

    // The stack as it is goes to disk, and from there aside, before anything is added: the
    // copy is the way back from a restore the user did not want.
    saveNotesImmediately();
    Result<QString> copy = QString();
    {
        const std::lock_guard lock(m_saveMutex);
        copy = m_file.backUpBeforeRestore();
    }
    if (!copy) {
        log(restoreErrorPrefix + copy.error());
        finish({0, copy.error()});
        return;
    }

    // The cards restored are shown whatever a find would make of them.
    if (m_findQuery)
        setFindQuery(std::nullopt);
    const qsizetype first = m_cards.size();
    Q_EMIT aboutToChange();
    m_cards.append(restored);
    invalidateTagIndex();
    Q_EMIT cardsChanged(m_cards);
    localChange();
    setSelectedTag(std::nullopt);
    setActiveIndex(first);
    saveNotesImmediately();
    play(SoundPlayer::Sound::Pop);
    finish({int(restored.size()), QString()});
}

// Global shortcut

void PinlarkStore::showShortcutNotice(ShortcutNotice notice, const QString &text)
{
    setShortcutNoticeText(text);
    setShortcutNotice(notice);
}

bool PinlarkStore::shortcutNoticeWasSeen() const
{
    return openSettings()->value(shortcutNoticeKey).toBool();
}

bool PinlarkStore::offerShortcutSetup()
{
    if (m_shortcutNotice != ShortcutNotice::None || shortcutNoticeWasSeen())
        return false;
    if (m_env.shortcutSetup)
        showShortcutNotice(ShortcutNotice::Offer, shortcutOfferText);
    else
        showShortcutNotice(ShortcutNotice::Steps, shortcutStepsText);
    return true;
}

void PinlarkStore::shortcutNoticeSeen()
{
    if (m_shortcutNoticeRemembered)
        return;
    m_shortcutNoticeRemembered = true;
    writeSetting(shortcutNoticeKey, true, shortcutSettingsErrorPrefix);
}

QString PinlarkStore::portalShortcutTrigger() const
{
    return openSettings()->value(portalShortcutKey).toString();
}

void PinlarkStore::rememberPortalShortcutTrigger(const QString &trigger)
{
    writeSetting(portalShortcutKey, trigger, shortcutSettingsErrorPrefix);
}

void PinlarkStore::setUpShortcut()
{
    if (!m_env.shortcutSetup || m_shortcutNotice == ShortcutNotice::SettingUp)
        return;
    shortcutNoticeSeen();
    showShortcutNotice(ShortcutNotice::SettingUp, shortcutSettingUpText);
    m_env.shortcutSetup->setUp([self = QPointer(this)](const Result<QString> &keys) {
        if (!self)
            return;
        if (keys)
            self->showShortcutNotice(ShortcutNotice::Done, keys.value() + shortcutDoneSuffix);
        else
            self->showShortcutNotice(ShortcutNotice::Failed,
                                     shortcutFailedPrefix + keys.error() + shortcutFailedSuffix);
    });
}

void PinlarkStore::dismissShortcutNotice()
{
    if (m_shortcutNotice == ShortcutNotice::None)
        return;
    shortcutNoticeSeen();
    showShortcutNotice(ShortcutNotice::None, QString());
}

// Sync

std::unique_ptr<QSettings> PinlarkStore::openSettings() const
{
    if (m_env.settingsFile.isEmpty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           u"Pinlark"_s, u"Pinlark"_s);
    return std::make_unique<QSettings>(m_env.settingsFile, QSettings::IniFormat);
}

void PinlarkStore::rememberPassportCode(const QString &code)
{
    writeSetting(passportCodeKey, code, settingsErrorPrefix);
}

void PinlarkStore::writeSetting(const QString &key, const QVariant &value,
                                const QString &errorPrefix)
{
    const std::unique_ptr<QSettings> settings = openSettings();
    // Most calls store what is there already (every sync the same code); the file is then
    // left alone.
    if (settings->value(key) == value)
        return;
    // The file holds the passport code: it stays private through the rewrite.
    keepPrivate(settings->fileName());
    settings->setValue(key, value);
    settings->sync();
    keepPrivate(settings->fileName());
    // Never the value itself: it may be the key to the user's cards.
    if (settings->status() != QSettings::NoError)
        log(errorPrefix + u"cannot write "_s + settings->fileName());
}

void PinlarkStore::initSyncCode()
{
    const std::unique_ptr<QSettings> settings = openSettings();
    // A file an earlier version wrote readable by everyone is closed at once.
    if (QFileInfo::exists(settings->fileName()))
        keepPrivate(settings->fileName());
    const QString stored = settings->value(passportCodeKey).toString();
    if (!stored.isEmpty()) {
        // Shown as stored; the sync normalises what it sends.
        setPassportCode(stored);
        return;
    }
    const std::optional<QString> fresh = PinlarkVaultSync::generatePassportCode();
    if (!fresh) {
        // Nothing is stored, so the next start tries again; a sync needs a typed code.
        log(settingsErrorPrefix + u"the system's random generator failed"_s);
        return;
    }
    setPassportCode(*fresh);
    rememberPassportCode(*fresh);
}

void PinlarkStore::syncWithVault(const QString &code, SyncCompletion done)
{
    const QString normal = PinlarkVaultSync::normalizeCode(code);
    if (normal.isEmpty()) {
        if (done)
            done(false, invalidCodeMessage);
        return;
    }
    // Remembered before any traffic: a code that then fails to sync is still the one shown.
    setPassportCode(normal);
    rememberPassportCode(normal);

    QList<SyncCompletion> callers;
    callers.append(std::move(done));
    if (m_runningSyncs > 0) {
        // One sync at a time: this one follows the running one, with the latest code, and
        // answers every caller that waited for it.
        m_queuedCode = normal;
        m_queuedCompletions.append(callers);
        return;
    }
    startSync(SyncTrigger::User, normal, std::move(callers));
}

// One sync, from its snapshot to its outcome.
struct PinlarkStore::SyncRun
{
    SyncTrigger trigger = SyncTrigger::User;
    QString code;
    QList<SyncCompletion> done;
    PinlarkVaultSync::VaultStack snapshot;
    quint64 generation = 0;
    Result<PinlarkVaultSync::SyncedStack, SyncError> outcome =
        Result<PinlarkVaultSync::SyncedStack, SyncError>::failure(SyncError{});
    SyncState state;    // what the outcome leaves to remember
    bool saved = false; // the outcome is on disk, written on the sync's thread
    QString saveError;
};

void PinlarkStore::startSync(SyncTrigger trigger, const QString &code, QList<SyncCompletion> done)
{
    ++m_runningSyncs;
    m_unsyncedChanges = false;
    m_settleTimer.stop();
    m_longestSettleTimer.stop();
    setIsSyncing(true);
    setSyncStatusMessage(syncingMessage);

    auto run = std::make_shared<SyncRun>();
    run->trigger = trigger;
    run->code = code;
    run->done = std::move(done);
    // Copied here, on the GUI thread, so the worker never reads the live list.
    run->snapshot = {m_cards, m_syncState.deletions};
    if (m_undoableDelete)
        m_undoableDelete->mayHaveLeft = true;
    run->generation = m_localGeneration.load();
    const QString vaultId = PinlarkVaultSync::vaultHash(code);
    // The base is of one vault: another code's vault starts without one.
    const QHash<QString, PinlarkVaultSync::ExchangedCard> base =
        m_syncState.vaultId == vaultId ? m_syncState.base
                                       : QHash<QString, PinlarkVaultSync::ExchangedCard>{};
    const PinlarkVaultSync::VaultEndpoint endpoint =
        m_env.vault ? *m_env.vault : PinlarkVaultSync::defaultVaultEndpoint();
    const std::shared_ptr<PinlarkVaultSync::Cancellation> cancelled = m_syncCancelled;
    const bool maySave = m_saveRefusal.isEmpty();
    const QString machine = machineName();
    const Timestamp now = m_env.clock();

    const SyncClient client = m_env.syncClient;
    QtConcurrent::run(&m_syncPool, [this, run, endpoint, client, base, vaultId, cancelled, maySave,
                                    machine, now] {
        run->outcome = client ? client(run->snapshot, base, run->code, machine, cancelled.get())
                              : PinlarkVaultSync::syncStack(endpoint, run->snapshot, base,
                                                            run->code, machine, cancelled.get());
        if (!run->outcome)
            return;
        const PinlarkVaultSync::VaultStack &synced = run->outcome.value().stack;
        run->state.vaultId = vaultId;
        run->state.lastSyncAt = now;
        run->state.base = PinlarkVaultSync::exchangedVersions(synced.cards);
        run->state.deletions = synced.deletions;
        // Saved here while nothing changed since the snapshot, so a large
        // stack is never written on the GUI thread. A change made later
        // waits for the lock, and its own save comes after this one.
        const std::lock_guard lock(m_saveMutex);
        if (!maySave || cancelled->load() || m_localGeneration.load() != run->generation)
            return;
        const Result<bool> notes = m_file.save(synced.cards);
        const Result<bool> state = m_syncStateFile.save(run->state);
        run->saved = bool(notes) && bool(state);
        if (!notes)
            run->saveError = notes.error();
        else if (!state)
            run->saveError = state.error();
    }).then(this, [this, run] { finishSync(run); });
}

void PinlarkStore::finishSync(const std::shared_ptr<SyncRun> &run)
{
    --m_runningSyncs;
    const bool automatic = run->trigger == SyncTrigger::Automatic;
    if (!run->outcome) {
        const QString description = run->outcome.error().localizedDescription();
        // What the snapshot held is still to be pushed.
        m_unsyncedChanges = true;
        setIsSyncing(m_runningSyncs > 0 || m_queuedCode.has_value());
        setSyncStatusMessage(syncErrorPrefix + description);
        if (automatic || m_failedAutoSyncs > 0) {
            // Waits longer after each failure, up to a limit; only the status text tells.
            ++m_failedAutoSyncs;
            const SyncSchedule &schedule = m_env.syncSchedule;
            qint64 wait = schedule.firstRetryMs;
            for (int i = 1; i < m_failedAutoSyncs && wait < schedule.longestRetryMs; ++i)
                wait *= 2;
            m_retryTimer.start(int(std::min<qint64>(wait, schedule.longestRetryMs)));
        }
        for (const SyncCompletion &done : run->done) {
            if (done)
                done(false, description);
        }
        startQueuedSync();
        return;
    }

    PinlarkVaultSync::SyncedStack &synced = run->outcome.value();
    const QString count = QString::number(synced.stack.cards.size());
    SyncState state = std::move(run->state);
    bool saveNeeded = !run->saved;
    if (m_localGeneration.load() == run->generation) {
        adoptSyncedCards(synced.stack.cards);
    } else {
        // Cards were edited, added, deleted or pinned here while the sync ran. Those
        // changes are merged into the synced stack with the snapshot as their common
        // ancestor: an edit of a card the sync left alone stays, an edit of one it changed
        // keeps both texts. The next sync pushes them.
        const PinlarkVaultSync::Reconciled merged = PinlarkVaultSync::reconcile(
            {m_cards, m_syncState.deletions}, synced.stack,
            PinlarkVaultSync::exchangedVersions(run->snapshot.cards), m_env.clock(), machineName());
        state.deletions = merged.stack.deletions;
        adoptSyncedCards(merged.stack.cards);
        saveNeeded = true;
        m_unsyncedChanges = true;
    }
    m_syncState = std::move(state);
    if (saveNeeded) {
        saveNotesImmediately();
        saveSyncState();
    } else {
        // Saved with the outcome: a debounced save still waiting has nothing left to write.
        m_saveTimer.stop();
        m_longestWaitTimer.stop();
    }
    if (!run->saveError.isEmpty())
        log(saveErrorPrefix + run->saveError);
    m_lastCounts = synced.counts;
    m_failedAutoSyncs = 0;
    m_retryTimer.stop();
    setLastSyncedAt(m_syncState.lastSyncAt ? m_syncState.lastSyncAt->toDateTime() : QDateTime());
    // A sync asked for meanwhile starts at once: the store reads as syncing throughout.
    setIsSyncing(m_runningSyncs > 0 || m_queuedCode.has_value());
    setSyncStatusMessage(u"Synced "_s + count + u" cards!"_s);
    if (!automatic)
        play(SoundPlayer::Sound::Glass);
    for (const SyncCompletion &done : run->done) {
        if (done)
            done(true, u"Synced "_s + count + u" cards with Vault!"_s);
    }
    updateAutoSyncTimers();
    if (m_unsyncedChanges && autoSyncActive())
        m_settleTimer.start();
    startQueuedSync();
}

void PinlarkStore::startQueuedSync()
{
    if (m_runningSyncs > 0)
        return;
    if (m_queuedCode) {
        const QString code = *std::exchange(m_queuedCode, std::nullopt);
        m_autoSyncQueued = false;
        startSync(SyncTrigger::User, code, std::exchange(m_queuedCompletions, {}));
        return;
    }
    if (std::exchange(m_autoSyncQueued, false))
        requestAutoSync();
    if (m_runningSyncs == 0 && !m_quitWaiters.isEmpty()) {
        for (const auto &waiter : std::exchange(m_quitWaiters, {}))
            waiter();
    }
}

void PinlarkStore::adoptSyncedCards(const QList<NoteCard> &cards)
{
    const std::optional<NoteCard> current = currentCard();
    Q_EMIT aboutToChange();
    m_cards = cards;
    invalidateTagIndex();
    rebuildFindIndex();
    Q_EMIT cardsChanged(m_cards);
    // The card being read or typed into stays the current one, wherever the merge put it.
    if (current) {
        for (qsizetype i = 0; i < m_cards.size(); ++i) {
            if (m_cards.at(i).id == current->id) {
                if (i != m_activeIndex)
                    setActiveIndex(i);
                break;
            }
        }
    }
}

// Automatic sync

void PinlarkStore::initAutoSync()
{
    m_syncAutomatically = openSettings()->value(syncAutomaticallyKey, true).toBool();
    QString problem;
    m_syncState = m_syncStateFile.load(&problem);
    if (!problem.isEmpty())
        log(syncStatePrefix + problem);
    if (m_syncState.lastSyncAt)
        m_lastSyncedAt = m_syncState.lastSyncAt->toDateTime();
    m_unsyncedChanges = false; // what was loaded is not an edit

    const SyncSchedule &schedule = m_env.syncSchedule;
    for (QTimer *timer : {&m_settleTimer, &m_longestSettleTimer, &m_retryTimer})
        timer->setSingleShot(true);
    m_settleTimer.setInterval(schedule.settleMs);
    m_longestSettleTimer.setInterval(schedule.longestSettleMs);
    m_periodTimer.setInterval(schedule.periodMs);
    connect(&m_settleTimer, &QTimer::timeout, this, &PinlarkStore::requestAutoSync);
    connect(&m_longestSettleTimer, &QTimer::timeout, this, &PinlarkStore::requestAutoSync);
    connect(&m_periodTimer, &QTimer::timeout, this, &PinlarkStore::requestAutoSync);
    connect(&m_retryTimer, &QTimer::timeout, this, &PinlarkStore::requestAutoSync);
    updateAutoSyncTimers();
}

bool PinlarkStore::autoSyncActive() const
{
    return m_syncAutomatically && m_syncState.lastSyncAt && !m_syncState.vaultId.isEmpty() &&
           PinlarkVaultSync::vaultHash(m_passportCode) == m_syncState.vaultId;
}

void PinlarkStore::updateAutoSyncTimers()
{
    if (!autoSyncActive()) {
        for (QTimer *timer : {&m_settleTimer, &m_longestSettleTimer, &m_periodTimer, &m_retryTimer})
            timer->stop();
        return;
    }
    if (!m_periodTimer.isActive())
        m_periodTimer.start();
}

void PinlarkStore::setSyncAutomatically(bool on)
{
    Q_EMIT aboutToChange();
    m_syncAutomatically = on;
    writeSetting(syncAutomaticallyKey, on, settingsErrorPrefix);
    Q_EMIT syncAutomaticallyChanged(m_syncAutomatically);
    updateAutoSyncTimers();
    if (on && m_unsyncedChanges && autoSyncActive())
        m_settleTimer.start();
}

void PinlarkStore::setLastSyncedAt(const QDateTime &when)
{
    Q_EMIT aboutToChange();
    m_lastSyncedAt = when;
    Q_EMIT lastSyncedAtChanged(m_lastSyncedAt);
}

void PinlarkStore::requestAutoSync()
{
    if (!autoSyncActive())
        return;
    if (m_runningSyncs > 0) {
        m_autoSyncQueued = true;
        return;
    }
    // After a failure only the retry timer starts the next attempt.
    if (m_retryTimer.isActive())
        return;
    if (m_undoTimer.isActive()) {
        m_autoSyncAfterUndo = true;
        return;
    }
    startSync(SyncTrigger::Automatic, PinlarkVaultSync::normalizeCode(m_passportCode), {});
}

void PinlarkStore::cardOpened()
{
    if (!autoSyncActive() || !m_syncState.lastSyncAt)
        return;
    const double age =
        m_env.clock().secondsSinceReference - m_syncState.lastSyncAt->secondsSinceReference;
    if (age * 1000.0 > m_env.syncSchedule.staleMs)
        requestAutoSync();
}

void PinlarkStore::syncBeforeQuit(std::function<void()> done)
{
    // The last sync may not end, or not in time, and its outcome is saved only if it ends
    // well: an edit still waiting for the debounce goes to disk before anything else.
    if (hasPendingSave())
        saveNotesImmediately();
    // Quitting ends the chance to take a delete back; the delete goes with the last sync.
    m_undoTimer.stop();
    m_autoSyncAfterUndo = false;
    auto once = std::make_shared<std::function<void()>>(std::move(done));
    const auto finish = [once] {
        if (*once)
            std::exchange(*once, nullptr)();
    };
    if (!autoSyncActive() || (!m_unsyncedChanges && m_runningSyncs == 0)) {
        finish();
        return;
    }
    m_quitWaiters.append(finish);
    QTimer::singleShot(m_env.syncSchedule.quitWaitMs, this, finish);
    if (m_runningSyncs == 0) {
        m_retryTimer.stop(); // quitting is the last chance
        requestAutoSync();
    }
}

void PinlarkStore::localChange()
{
    ++m_localGeneration;
    m_unsyncedChanges = true;
    if (!autoSyncActive())
        return;
    m_settleTimer.start();
    if (!m_longestSettleTimer.isActive())
        m_longestSettleTimer.start();
}

void PinlarkStore::saveSyncState()
{
    const std::lock_guard lock(m_saveMutex);
    const Result<bool> saved = m_syncStateFile.save(m_syncState);
    if (!saved)
        log(syncStatePrefix + saved.error());
}

QString PinlarkStore::machineName() const
{
    return m_env.machineName.isEmpty() ? QSysInfo::machineHostName() : m_env.machineName;
}

// Helpers

void PinlarkStore::play(SoundPlayer::Sound sound)
{
    if (m_env.sounds)
        m_env.sounds->play(sound);
}

void PinlarkStore::log(const QString &line) const
{
    if (m_env.log)
        m_env.log(line);
    else
        writeLogLine(line);
}

void PinlarkStore::ensureTagIndex() const
{
    if (m_tagIndexValid)
        return;
    m_cardTags.clear();
    m_cardTags.reserve(std::size_t(m_cards.size()));
    m_tagCounts.clear();
    for (const NoteCard &card : m_cards) {
        m_cardTags.push_back(card.hashtags());
        countTags(m_cardTags.back(), +1);
    }
    m_allTags.reset();
    m_tagIndexValid = true;
}

void PinlarkStore::invalidateTagIndex()
{
    m_tagIndexValid = false;
    m_cardTags.clear();
    m_tagCounts.clear();
    m_allTags.reset();
}

void PinlarkStore::retagCard(qsizetype index)
{
    if (!m_tagIndexValid)
        return;
    QStringList tags = m_cards.at(index).hashtags();
    QStringList &stored = m_cardTags[std::size_t(index)];
    if (tags == stored)
        return;
    countTags(stored, -1);
    countTags(tags, +1);
    stored = std::move(tags);
}

void PinlarkStore::countTags(const QStringList &tags, int delta) const
{
    for (const QString &tag : tags) {
        const int before = m_tagCounts.value(tag, 0);
        const int after = before + delta;
        if (after > 0)
            m_tagCounts.insert(tag, after);
        else
            m_tagCounts.remove(tag);
        if ((before > 0) != (after > 0))
            m_allTags.reset(); // a tag appeared or disappeared
    }
}
