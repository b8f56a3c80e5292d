#pragma once

#include <QList>
#include <QPainterPath>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class CardButton;
class Clipboard;
class ColorDot;
class FocusableTextView;
class PillLabel;
class PinlarkSyncPanel;
class PinlarkStore;
class QAction;
class QGraphicsOpacityEffect;
class QHBoxLayout;
class QKeyEvent;
class QLabel;
class QMenu;
class QParallelAnimationGroup;
class QScrollArea;
class QShortcut;
class Workspace;

// The whole content of the popup: the current card of the store in an editor, a header for
// stepping through the stack, recolouring and adding, a row of tag chips, and a footer with
// the word count, the card commands and the actions menu. It owns no cards: it redraws from
// the store's signals and calls the store's operations. Its own state is the two notices.
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
    static constexpr int toastAnimationMs = 220;

    // The card's rounded outline within `bounds`. A window that shows the view alone clips
    // itself to it.
    [[nodiscard]] static QPainterPath shape(const QRectF &bounds);

    PinlarkCardView(PinlarkStore &store, const Services &services, QWidget *parent = nullptr);
    ~PinlarkCardView() override;
    Q_DISABLE_COPY_MOVE(PinlarkCardView)

    // The product's web site; ends in "/".
    [[nodiscard]] static QString webSiteRoot();

    // The notices: the copy notice, and the export notice's text while it is on.
    [[nodiscard]] bool copiedToast() const { return m_copiedToast; }
    [[nodiscard]] const std::optional<QString> &exportToast() const { return m_exportToast; }
    // What the toast says, or none while no notice is on.
    [[nodiscard]] std::optional<QString> toastText() const;

    [[nodiscard]] FocusableTextView *editor() const { return m_editor; }
    // The sync panel laid over the whole view while the store's showSync is on, else none.
    [[nodiscard]] PinlarkSyncPanel *syncPanel() const { return m_syncPanel; }
    [[nodiscard]] QMenu *actionsMenu() const { return m_menu; }

    // The commands behind the controls, also reached by their shortcuts.
    void copyCurrentCard();
    void exportAll();
    void openWeb(const QString &path);
    void quit();
    void pressTagChip(const std::optional<QString> &tag); // none: the "All" chip

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildHeader();
    void buildChipRow();
    void buildEditorArea();
    void buildFooter();
    void buildMenu();
    void buildShortcuts();
    QShortcut *addShortcut(const QList<QKeySequence> &keys, const std::function<void()> &action);

    // Brings every part in step with the store.
    void refresh();
    void refreshSyncOverlay();
    void refreshShortcuts();
    void refreshChips(const QStringList &tags);
    void refreshPinButton(bool pinned);

    void schedule(int delayMs, std::function<void()> task);
    void showCopiedToast();
    void showExportToast();
    void refreshToast();
    void placeToast(bool shown);
    [[nodiscard]] QPoint toastRestingPlace() const;

    [[nodiscard]] bool isLeftToShortcuts(const QKeyEvent &event) const;

    PinlarkStore &m_store;
    Services m_services;

    QWidget *m_header = nullptr;
    CardButton *m_previous = nullptr;
    PillLabel *m_badge = nullptr;
    CardButton *m_next = nullptr;
    std::vector<ColorDot *> m_dots;
    CardButton *m_newButton = nullptr;

    QScrollArea *m_chipRow = nullptr;
    QWidget *m_chipStrip = nullptr;
    QHBoxLayout *m_chipLayout = nullptr;
    std::vector<CardButton *> m_chips;               // "All" first
    std::vector<std::optional<bool>> m_chipSelected; // as last drawn; none: not yet
    QStringList m_chipTags;
    qsizetype m_chipCardCount = -1;

    QWidget *m_accentStrip = nullptr;
    QWidget *m_editorArea = nullptr;
    FocusableTextView *m_editor = nullptr;
    PillLabel *m_toast = nullptr;
    QGraphicsOpacityEffect *m_toastOpacity = nullptr;
    QParallelAnimationGroup *m_toastAnimation = nullptr;
    bool m_toastShown = false;

    QWidget *m_footer = nullptr;
    QLabel *m_wordCount = nullptr;
    CardButton *m_pinButton = nullptr;
    std::optional<bool> m_shownPinned;
    CardButton *m_checklistButton = nullptr;
    CardButton *m_copyButton = nullptr;
    CardButton *m_deleteButton = nullptr;
    CardButton *m_menuButton = nullptr;
    QMenu *m_menu = nullptr;
    QWidget *m_outline = nullptr;

    QShortcut *m_previousShortcut = nullptr;
    QShortcut *m_nextShortcut = nullptr;
    QList<QShortcut *> m_deleteShortcuts;
    QShortcut *m_quitShortcut = nullptr;
    QList<QShortcut *> m_shortcuts;

    PinlarkSyncPanel *m_syncPanel = nullptr;

    bool m_copiedToast = false;
    std::optional<QString> m_exportToast;
    // Each notice is left by the timer of the press that showed it; later presses while it is
    // on neither extend it nor end it early.
    quint64 m_copyNotice = 0;
    quint64 m_exportNotice = 0;
};
