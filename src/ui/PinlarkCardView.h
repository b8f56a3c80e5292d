#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class CardEditorArea;
class CardFindBar;
class CardUndoNotice;
class CardFooter;
class CardHeader;
class Clipboard;
class FocusableTextView;
class PinlarkBackupPanel;
class PinlarkSyncPanel;
class PinlarkStore;
class QKeyEvent;
class QMenu;
class QShortcut;
class ShortcutNoticeBand;
class TagChipRow;
class Workspace;

// The whole content of the popup: the current card of the store in an editor, a header for
// stepping through the stack, recolouring and adding, a row of tag chips, and a footer with
// the word count, the card commands and the actions menu, and under the chips the band of
// the shortcut notice while there is one. Each band is a part that draws
// itself from the store; the view stacks them, lays the sync panel over them while the
// store's showSync is on (and the backup panel while it is open), and holds the commands,
// shortcuts and menu they share. It owns no cards. Its own state is the notices.
class PinlarkCardView final : public QWidget
{
    Q_OBJECT

public:
    // The desktop services the view uses directly. Missing ones are skipped.
    struct Services
    {
        Clipboard *clipboard = nullptr;
        Workspace *workspace = nullptr;
        std::function<void()> quit; // empty: QCoreApplication::quit
        // Runs `task` on the GUI thread after `delayMs`, unless `context` is gone by then.
        // Empty: a single-shot QTimer.
        std::function<void(int delayMs, QObject *context, std::function<void()> task)> schedule;
    };

    static constexpr int viewWidth = 420;
    static constexpr int editorHeight = 330;
    static constexpr int minimumEditorHeight = 240;
    static constexpr int copiedToastMs = 1500;
    static constexpr int exportToastMs = 2000;
    static constexpr int restoreToastMs = 3000;
    static constexpr int toastAnimationMs = 220;

    PinlarkCardView(PinlarkStore &store, const Services &services, QWidget *parent = nullptr);
    ~PinlarkCardView() override;
    Q_DISABLE_COPY_MOVE(PinlarkCardView)

    // The product's web site; ends in "/".
    [[nodiscard]] static QString webSiteRoot();

    // The notices: the copy notice, and the export notice's text while it is on.
    [[nodiscard]] bool copiedToast() const { return m_copiedToast; }
    [[nodiscard]] const std::optional<QString> &exportToast() const { return m_exportToast; }
    [[nodiscard]] const std::optional<QString> &restoreToast() const { return m_restoreToast; }
    // What the toast says, or none while no notice is on.
    [[nodiscard]] std::optional<QString> toastText() const;

    [[nodiscard]] FocusableTextView *editor() const;
    // The sync panel laid over the whole view while the store's showSync is on, else none.
    [[nodiscard]] PinlarkSyncPanel *syncPanel() const { return m_syncPanel; }
    // The panel of "Restore from Backup…" while it is open, else none.
    [[nodiscard]] PinlarkBackupPanel *backupPanel() const { return m_backupPanel; }
    [[nodiscard]] QMenu *actionsMenu() const { return m_menu; }
    // The band of the store's shortcut notice; hidden while there is none.
    [[nodiscard]] ShortcutNoticeBand *shortcutNotice() const { return m_shortcutNotice; }
    // The find band, shown in the place of the tag chips while finding.
    [[nodiscard]] CardFindBar *findBar() const { return m_findBar; }
    // The notice that offers to take the last delete back.
    [[nodiscard]] CardUndoNotice *undoNotice() const { return m_undoNotice; }

    // The commands behind the controls, also reached by their shortcuts.
    void copyCurrentCard();
    void exportAll();
    void openWeb(const QString &path);
    void quit();
    void pressTagChip(const std::optional<QString> &tag); // none: the "All" chip
    void openFind();                                      // Ctrl+F
    // What Escape does inside the popup before it closes it: ends the find, or closes what
    // lies over the card. Returns whether it did something, and the popup then stays.
    bool leaveWithEscape();
    // Lays the backup panel over the view (a fresh one, reading the list anew); the card's
    // keys wait and the editor leaves the keyboard to it while it is open.
    void showBackupPanel();
    // Takes the backup panel away and gives the editor the keyboard back; returns whether
    // it was open.
    bool closeBackupPanel();
    // Restores from the backup at `path` and tells how it went in the toast.
    void restoreFrom(const QString &path);

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenu();
    void buildShortcuts();
    QShortcut *addShortcut(const QList<QKeySequence> &keys, const std::function<void()> &action);

    void refreshSyncOverlay();
    // After a panel closed: the keyboard goes to what is on top now, the other panel, the
    // find field while finding, or else the editor.
    void giveKeyboardBack();
    void refreshShortcuts();

    void schedule(int delayMs, std::function<void()> task);
    void showCopiedToast();
    void showExportToast();
    void showRestoreToast(const QString &text);
    void refreshToast();

    [[nodiscard]] bool isLeftToShortcuts(const QKeyEvent &event) const;

    PinlarkStore &m_store;
    Services m_services;

    CardHeader *m_header = nullptr;
    TagChipRow *m_chipRow = nullptr;
    ShortcutNoticeBand *m_shortcutNotice = nullptr;
    CardEditorArea *m_editorArea = nullptr;
    CardFooter *m_footer = nullptr;
    CardFindBar *m_findBar = nullptr;
    CardUndoNotice *m_undoNotice = nullptr;
    QWidget *m_outline = nullptr;
    QMenu *m_menu = nullptr;

    QShortcut *m_previousShortcut = nullptr;
    QShortcut *m_nextShortcut = nullptr;
    QShortcut *m_deleteShortcut = nullptr;
    QShortcut *m_quitShortcut = nullptr;
    QShortcut *m_undoDeleteShortcut = nullptr;
    QList<QShortcut *> m_shortcuts;

    PinlarkSyncPanel *m_syncPanel = nullptr;
    PinlarkBackupPanel *m_backupPanel = nullptr;

    bool m_copiedToast = false;
    std::optional<QString> m_exportToast;
    std::optional<QString> m_restoreToast;
    // Each notice is left by the timer of the press that showed it; later presses while it is
    // on neither extend it nor end it early.
    quint64 m_copyNotice = 0;
    quint64 m_exportNotice = 0;
    quint64 m_restoreNotice = 0;
};
