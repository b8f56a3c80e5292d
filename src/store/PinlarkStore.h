#pragma once

#include "model/NoteCard.h"
#include "model/SearchText.h"
#include "store/NotesFile.h"
#include "store/SaveDialog.h"
#include "store/ShortcutSetup.h"
#include "store/SoundPlayer.h"
#include "store/SyncStateFile.h"
#include "store/Workspace.h"
#include "vault/PinlarkVaultSync.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

class QSettings;

// The one store of the card stack and of what the views show: the current card, the tag
// filter and the state of the Vault sync. Lives on the GUI thread; every published field is
// assigned there, announced by aboutToChange() first and by its own signal after.
class PinlarkStore final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<NoteCard> cards READ cards WRITE setCards NOTIFY cardsChanged)
    Q_PROPERTY(qint64 activeIndex READ activeIndex WRITE setActiveIndex NOTIFY activeIndexChanged)
    Q_PROPERTY(
        QString passportCode READ passportCode WRITE setPassportCode NOTIFY passportCodeChanged)
    Q_PROPERTY(bool isSyncing READ isSyncing WRITE setIsSyncing NOTIFY isSyncingChanged)
    Q_PROPERTY(bool showSync READ showSync WRITE setShowSync NOTIFY showSyncChanged)
    Q_PROPERTY(std::optional<QString> syncStatusMessage READ syncStatusMessage WRITE
                   setSyncStatusMessage NOTIFY syncStatusMessageChanged)
    Q_PROPERTY(std::optional<QString> selectedTag READ selectedTag WRITE setSelectedTag NOTIFY
                   selectedTagChanged)
    Q_PROPERTY(ShortcutNotice shortcutNotice READ shortcutNotice WRITE setShortcutNotice NOTIFY
                   shortcutNoticeChanged)
    Q_PROPERTY(QString shortcutNoticeText READ shortcutNoticeText WRITE setShortcutNoticeText NOTIFY
                   shortcutNoticeTextChanged)
    Q_PROPERTY(bool syncAutomatically READ syncAutomatically WRITE setSyncAutomatically NOTIFY
                   syncAutomaticallyChanged)
    Q_PROPERTY(
        QDateTime lastSyncedAt READ lastSyncedAt WRITE setLastSyncedAt NOTIFY lastSyncedAtChanged)
    Q_PROPERTY(
        std::optional<QString> findQuery READ findQuery WRITE setFindQuery NOTIFY findQueryChanged)
    Q_PROPERTY(bool canUndoDelete READ canUndoDelete NOTIFY canUndoDeleteChanged)

public:
    // The card's notice about the global shortcut, shown where Alt+Space cannot open Pinlark
    // from other applications.
    enum class ShortcutNotice {
        None,      // nothing to say
        Offer,     // offers to set up a shortcut in the desktop's settings
        Steps,     // no settings Pinlark can write to: how to bind one by hand
        SettingUp, // the setup is under way
        Done,      // says which keys now open Pinlark
        Failed,    // says what failed, and how to bind one by hand
    };
    Q_ENUM(ShortcutNotice)

    using Clock = std::function<Timestamp()>;
    using Logger = std::function<void(const QString &)>;

    using SyncClient = std::function<Result<PinlarkVaultSync::SyncedStack, SyncError>(
        const PinlarkVaultSync::VaultStack &local,
        const QHash<QString, PinlarkVaultSync::ExchangedCard> &base, const QString &code,
        const QString &machine, const PinlarkVaultSync::Cancellation *cancelled)>;

    // When the automatic sync runs, once the user has synced on this machine.
    struct SyncSchedule
    {
        int settleMs = 5'000;         // after the last edit
        int longestSettleMs = 30'000; // after the first edit not yet synced, at the latest
        int periodMs = 10 * 60'000;   // while running
        int staleMs = 60'000;         // opening the card syncs a stack older than this
        int firstRetryMs = 30'000;    // after a failure, doubling with each one
        int longestRetryMs = 30 * 60'000;
        int quitWaitMs = 2'000; // the most a last sync may hold up quitting
    };

    // What the store needs from the outside world; tests replace each part.
    struct Environment
    {
        SoundPlayer *sounds = nullptr;    // not owned; none plays nothing
        QString notesFolder;              // empty: "Pinlark" in the user's data location
        Clock clock;                      // empty: the system clock
        Logger log;                       // empty: one flushed line on standard output
        SaveDialog *saveDialog = nullptr; // not owned; none: exports are cancelled at once
        Workspace *workspace = nullptr;   // not owned; none opens nothing
        // INI file of the passport code; empty: the user's settings (Pinlark/Pinlark.conf).
        QString settingsFile;
        // Where the first export's dialog starts; empty: the user's documents folder (XDG).
        QString documentsFolder;
        // The Vault to sync with; none: the configured one (PinlarkVaultSync).
        std::optional<PinlarkVaultSync::VaultEndpoint> vault;
        // Adds a shortcut to the desktop's own settings; none: the notice gives the steps to
        // do it by hand.
        ShortcutSetup *shortcutSetup = nullptr; // not owned
        SyncSchedule syncSchedule;
        // This computer in the conflict copies of its own edits; empty: its host name.
        QString machineName;
        // How a sync reaches the vault, called on a worker thread; empty: syncStack() over
        // HTTPS to `vault`.
        SyncClient syncClient;
        // How long the last delete can be taken back (undoDelete()).
        int undoDeleteMs = 5'000;
    };

    // Loads the notes file, or starts with the welcome card.
    explicit PinlarkStore(Environment environment, QObject *parent = nullptr);
    explicit PinlarkStore(QObject *parent = nullptr);
    ~PinlarkStore() override;
    Q_DISABLE_COPY_MOVE(PinlarkStore)

    static constexpr int saveDelayMs = 400;
    // While edits keep coming less than saveDelayMs apart, the stack is still written this
    // long after the first edit that is not on disk, so steady typing is never all at risk:
    // a kill loses at most about this much of it, half of it at the median.
    static constexpr int longestSaveWaitMs = 1000;

    // Published fields. Assigning one announces it even when the value is the same.
    [[nodiscard]] const QList<NoteCard> &cards() const { return m_cards; }
    void setCards(const QList<NoteCard> &cards);
    [[nodiscard]] qint64 activeIndex() const { return m_activeIndex; }
    void setActiveIndex(qint64 index);
    [[nodiscard]] const QString &passportCode() const { return m_passportCode; }
    void setPassportCode(const QString &code);
    [[nodiscard]] bool isSyncing() const { return m_isSyncing; }
    void setIsSyncing(bool syncing);
    [[nodiscard]] bool showSync() const { return m_showSync; }
    void setShowSync(bool show);
    [[nodiscard]] const std::optional<QString> &syncStatusMessage() const
    {
        return m_syncStatusMessage;
    }
    void setSyncStatusMessage(const std::optional<QString> &message);
    [[nodiscard]] const std::optional<QString> &selectedTag() const { return m_selectedTag; }
    void setSelectedTag(const std::optional<QString> &tag);
    [[nodiscard]] ShortcutNotice shortcutNotice() const { return m_shortcutNotice; }
    void setShortcutNotice(ShortcutNotice notice);
    [[nodiscard]] const QString &shortcutNoticeText() const { return m_shortcutNoticeText; }
    void setShortcutNoticeText(const QString &text);
    [[nodiscard]] bool syncAutomatically() const { return m_syncAutomatically; }
    // Remembered in the settings.
    void setSyncAutomatically(bool on);
    // When the last sync on this machine ended well; invalid before the first.
    [[nodiscard]] const QDateTime &lastSyncedAt() const { return m_lastSyncedAt; }
    void setLastSyncedAt(const QDateTime &when);
    // What the find field holds while finding; none while find is closed. While it holds a
    // word, the stack shown is narrowed to the cards whose text holds every word, ignoring
    // case and accents, together with the tag filter. Assigning a query that finds the
    // current card keeps it, unless the query before it was empty; otherwise the first
    // match becomes the current card. Closing keeps the current card.
    [[nodiscard]] const std::optional<QString> &findQuery() const { return m_findQuery; }
    void setFindQuery(const std::optional<QString> &query);
    // The words of the query as they are looked for (folded); empty while nothing narrows.
    [[nodiscard]] const QStringList &findWords() const { return m_findWords; }
    // Whether the last delete can still be taken back: for undoDeleteMs after it.
    [[nodiscard]] bool canUndoDelete() const { return m_undoableDelete.has_value(); }

    // Persistence.
    void saveNotes();            // debounced: 0.4 s after the last request, 1 s at most
    void saveNotesImmediately(); // writes now and drops a pending request
    [[nodiscard]] bool hasPendingSave() const { return m_saveTimer.isActive(); }
    [[nodiscard]] QString storageDirectory() const { return m_file.folder(); }

    // Tag filter and navigation.
    [[nodiscard]] QStringList allTags() const;
    [[nodiscard]] QList<qint64> activeCardIndices() const;
    [[nodiscard]] qint64 currentFilteredIndex() const;
    [[nodiscard]] std::optional<NoteCard> currentCard() const;
    void nextCard();
    void prevCard();
    // Steps through the cards shown while finding, going round at either end.
    void findNext();
    void findPrevious();

    // Editing the current card (the one at activeIndex, whatever the filter).
    void addCard();
    void deleteCurrentCard();
    void updateCurrentCard(const QString &content);
    void setCurrentCardColor(const QString &key);
    void togglePinCurrentCard();
    void toggleChecklist();
    // Puts the card of the last delete back where it was, with its id and times, while
    // canUndoDelete(), and saves; returns whether it did.
    bool undoDelete();

    // Desktop. The export writes the whole stack, as it is when the dialog opens, to one
    // Markdown file the user picks; `done` runs exactly once, on the GUI thread, after the
    // dialog closed, with the written file or none (cancelled, or the write failed).
    using ExportCompletion = std::function<void(const std::optional<QUrl> &written)>;
    void exportAllToMarkdown(ExportCompletion done);
    // Shows the notes folder in the file manager, creating it first when it is missing.
    void openNotesFolder();

    // Backups. Both read their files on a worker thread and call `done` exactly once, on the
    // GUI thread, unless the store is gone by then.
    using BackupsListed = std::function<void(const QList<NotesFile::Backup> &)>;
    void listBackups(BackupsListed done);
    struct RestoreOutcome
    {
        int restored = 0; // cards added
        QString error;    // empty: the restore went through (perhaps adding nothing)
    };
    using RestoreCompletion = std::function<void(const RestoreOutcome &)>;
    // Brings back, as new cards at the end of the stack, every card of the backup at
    // `backupPath` whose text no card of the stack holds (empty ones aside). Each gets a new
    // id and is edited now, so no deletion a sync knows of applies to it; the cards there
    // are left as they are. The notes file is copied aside first (backUpBeforeRestore),
    // and nothing is restored when that fails.
    void restoreFromBackup(const QString &backupPath, RestoreCompletion done);

    // Vault sync. Normalises and remembers `code`, then pulls, merges and pushes on a worker
    // thread and applies the outcome here. `done` runs exactly once on the GUI thread: at
    // once for a code that is empty once normalised, else when the sync ends.
    using SyncCompletion = std::function<void(bool success, const QString &message)>;
    // A sync asked for while one runs follows it; two never run at once.
    void syncWithVault(const QString &code, SyncCompletion done);
    static inline const QString passportCodeKey = u"pinlark_passport_code"_s;

    // The automatic sync: on while the setting allows it and a sync with the current code
    // has worked on this machine. It runs after edits settle, every periodMs, when the card
    // opens on a stack older than staleMs (cardOpened()), and at quit (syncBeforeQuit());
    // failures wait longer each time and show only as the status text; success is silent.
    [[nodiscard]] bool autoSyncActive() const;
    void cardOpened();
    // A last sync when something changed since the last one. `done` runs exactly once, on
    // the GUI thread: when that sync ended, or after quitWaitMs at most, or at once.
    void syncBeforeQuit(std::function<void()> done);
    static inline const QString syncAutomaticallyKey = u"sync_automatically"_s;
    // What the last successful sync's merge did.
    [[nodiscard]] PinlarkVaultSync::MergeCounts lastSyncCounts() const { return m_lastCounts; }
    [[nodiscard]] const SyncState &syncState() const { return m_syncState; }

    // The global shortcut. Where Alt+Space cannot open Pinlark from other applications, the
    // card says so once: offerShortcutSetup() shows the notice unless the settings say it
    // was seen in an earlier run, and returns whether it shows it. The view reports it seen
    // (shortcutNoticeSeen) once it is on the screen; from then on it stays for this run only.
    bool offerShortcutSetup();
    [[nodiscard]] bool shortcutNoticeWasSeen() const;
    void shortcutNoticeSeen();
    // The notice's action: adds the shortcut through the environment's ShortcutSetup.
    void setUpShortcut();
    void dismissShortcutNotice();
    static inline const QString shortcutNoticeKey = u"shortcut_notice_seen"_s;
    // The key a desktop portal was last asked for, where the user set one up in place of
    // Alt+Space (KDE keeps a shortcut per key asked for); empty for Alt+Space.
    [[nodiscard]] QString portalShortcutTrigger() const;
    void rememberPortalShortcutTrigger(const QString &trigger);
    static inline const QString portalShortcutKey = u"portal_shortcut_trigger"_s;

Q_SIGNALS:
    void aboutToChange();
    void cardsChanged(const QList<NoteCard> &cards);
    void activeIndexChanged(qint64 activeIndex);
    void passportCodeChanged(const QString &passportCode);
    void isSyncingChanged(bool isSyncing);
    void showSyncChanged(bool showSync);
    void syncStatusMessageChanged(const std::optional<QString> &syncStatusMessage);
    void selectedTagChanged(const std::optional<QString> &selectedTag);
    void shortcutNoticeChanged(PinlarkStore::ShortcutNotice shortcutNotice);
    void shortcutNoticeTextChanged(const QString &shortcutNoticeText);
    void syncAutomaticallyChanged(bool syncAutomatically);
    void lastSyncedAtChanged(const QDateTime &lastSyncedAt);
    void findQueryChanged(const std::optional<QString> &findQuery);
    void canUndoDeleteChanged(bool canUndoDelete);

private:
    void loadNotes();
    void initSyncCode();
    void initAutoSync();
    [[nodiscard]] std::unique_ptr<QSettings> openSettings() const;
    void rememberPassportCode(const QString &code);
    // Stores one setting, keeping the file private, and says so when it cannot.
    void writeSetting(const QString &key, const QVariant &value, const QString &errorPrefix);
    void showShortcutNotice(ShortcutNotice notice, const QString &text);
    enum class SyncTrigger { User, Automatic };
    struct SyncRun;
    void startSync(SyncTrigger trigger, const QString &code, QList<SyncCompletion> done);
    void finishSync(const std::shared_ptr<SyncRun> &run);
    void startQueuedSync();
    void requestAutoSync();
    void localChange();
    void updateAutoSyncTimers();
    void saveSyncState();
    [[nodiscard]] QString machineName() const;
    void finishRestore(const Result<QList<NoteCard>> &backup, const RestoreCompletion &done);
    // Replaces the stack with a synced one, keeping the current card current.
    void adoptSyncedCards(const QList<NoteCard> &cards);
    [[nodiscard]] bool hasValidIndex() const;
    void play(SoundPlayer::Sound sound);
    void log(const QString &line) const;
    void step(int direction);
    // Like step(), but going round at either end.
    void stepRound(int direction);
    // Edits the current card in place and announces the change of `cards`.
    void editCurrentCard(const std::function<void(NoteCard &)> &edit);

    // Tags per card are derived from the text, which is costly on a large stack, so they are
    // kept in step with `cards` here and rebuilt only after the whole list was replaced.
    void ensureTagIndex() const;
    void invalidateTagIndex();
    void retagCard(qsizetype index);
    void countTags(const QStringList &tags, int delta) const;

    // While finding, each card's text folded for the search is kept in step with `cards`
    // (one card refolded per edit), and the matches are found again only when the query
    // changes or the list is rebuilt. Nothing of it is kept or done while find is closed.
    void rebuildFindIndex();
    // Finds the cards of m_findWords; `before`, the words of the query before, lets it look
    // again only at the cards found for them where that is enough.
    void findMatches(const QStringList &before);
    void endUndoWindow();

    Environment m_env;
    NotesFile m_file;

    QList<NoteCard> m_cards;
    qint64 m_activeIndex = 0;
    QString m_passportCode;
    // The folder of the last export written, where the next export's dialog starts.
    QString m_lastExportFolder;
    bool m_isSyncing = false;
    bool m_showSync = false;
    std::optional<QString> m_syncStatusMessage;
    std::optional<QString> m_selectedTag;
    ShortcutNotice m_shortcutNotice = ShortcutNotice::None;
    QString m_shortcutNoticeText;
    bool m_shortcutNoticeRemembered = false;

    QTimer m_saveTimer;
    QTimer m_longestWaitTimer; // started by the first request after a save, never restarted

    QThreadPool m_syncPool;
    // Reads backups, one at a time, off the GUI thread.
    QThreadPool m_backupPool;
    int m_runningSyncs = 0;
    SyncStateFile m_syncStateFile;
    SyncState m_syncState;
    bool m_syncAutomatically = true;
    QDateTime m_lastSyncedAt;
    PinlarkVaultSync::MergeCounts m_lastCounts;
    // A sync asked for while one runs: the code and every caller waiting for it.
    std::optional<QString> m_queuedCode;
    QList<SyncCompletion> m_queuedCompletions;
    bool m_autoSyncQueued = false;
    bool m_unsyncedChanges = false;
    int m_failedAutoSyncs = 0;
    QTimer m_settleTimer;
    QTimer m_longestSettleTimer;
    QTimer m_periodTimer;
    QTimer m_retryTimer;
    QList<std::function<void()>> m_quitWaiters;
    // Bumped by every change of the cards or the deletions made here. A sync whose snapshot
    // is still current saves its outcome on its own thread, under m_saveMutex, which every
    // save of the notes takes, so no save ever overtakes a newer one.
    std::atomic<quint64> m_localGeneration = 0;
    std::mutex m_saveMutex;
    // Set when the store goes away, to stop the running syncs; each holds a share of it.
    std::shared_ptr<PinlarkVaultSync::Cancellation> m_syncCancelled =
        std::make_shared<PinlarkVaultSync::Cancellation>(false);
    // Set when an unreadable notes file could not be moved aside: no save may replace it.
    QString m_saveRefusal;

    std::optional<QString> m_findQuery;
    QStringList m_findWords;
    std::vector<SearchText::Folded> m_foldedTexts; // per card, while finding
    QList<qint64> m_findMatches;                   // in stack order, while m_findWords has a word
    // Where the last word first occurs in the folded text of each card of m_findMatches.
    QList<qsizetype> m_findFirstHits;
    // What the last few queries found, for as long as no card changes.
    struct FoundFor
    {
        QStringList words;
        QList<qint64> matches;
        QList<qsizetype> firstHits;
    };
    static constexpr qsizetype findHistoryLength = 16;
    QList<FoundFor> m_findHistory;

    // The last delete, while it can be taken back.
    struct UndoableDelete
    {
        NoteCard card;
        qsizetype index = 0;
        // A sync began after the delete: the deletion may be in the vault already.
        bool mayHaveLeft = false;
    };
    std::optional<UndoableDelete> m_undoableDelete;
    QTimer m_undoTimer;
    // An automatic sync came due while a delete could still be taken back: it runs when it
    // no longer can, so a delete undone at once never leaves this machine.
    bool m_autoSyncAfterUndo = false;

    mutable bool m_tagIndexValid = false;
    mutable std::vector<QStringList> m_cardTags;
    mutable QMap<QString, int> m_tagCounts;
    mutable std::optional<QStringList> m_allTags;
};
