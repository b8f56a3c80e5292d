#include "ui/PinlarkCardView.h"

#include "model/NotePastel.h"
#include "store/Clipboard.h"
#include "store/PinlarkStore.h"
#include "store/Workspace.h"
#include "ui/CardButton.h"
#include "ui/CardEditorArea.h"
#include "ui/CardFindBar.h"
#include "ui/CardFooter.h"
#include "ui/CardHeader.h"
#include "ui/CardStyle.h"
#include "ui/CardToast.h"
#include "ui/CardUndoNotice.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkBackupPanel.h"
#include "ui/PinlarkSyncPanel.h"
#include "ui/ShortcutNoticeBand.h"
#include "ui/StoreRedraw.h"
#include "ui/TagChipRow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QShortcut>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

using namespace Qt::StringLiterals;

static_assert(PinlarkCardView::editorHeight == CardEditorArea::designHeight);
static_assert(PinlarkCardView::minimumEditorHeight == CardEditorArea::minimumHeight);
static_assert(PinlarkCardView::toastAnimationMs == CardToast::animationMs);

namespace {

const QString copiedToastText = u"\u2713 Copied to clipboard"_s;
const QString exportedToastText = u"Exported!"_s;

QString restoreNotice(const PinlarkStore::RestoreOutcome &outcome)
{
    if (!outcome.error.isEmpty())
        return u"Could not restore: "_s + outcome.error;
    if (outcome.restored == 0)
        return u"Nothing to restore: the stack holds every card of that backup"_s;
    if (outcome.restored == 1)
        return u"Restored 1 card"_s;
    return u"Restored "_s + QString::number(outcome.restored) + u" cards"_s;
}

// The view's outline, drawn over everything else and letting every click through.
class Outline final : public QWidget
{
public:
    explicit Outline(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal inset = CardStyle::cardOutlineWidth / 2;
        painter.setPen(QPen(NotePastel::ink(), CardStyle::cardOutlineWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(
            CardStyle::cardShape(QRectF(rect()).adjusted(inset, inset, -inset, -inset)));
    }
};

} // namespace

PinlarkCardView::PinlarkCardView(PinlarkStore &store, const Services &services, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_services(services)
{
    setObjectName(u"cardView"_s);
    setAccessibleName(u"Pinlark"_s);
    setAccessibleDescription(u"The current card of the stack"_s);
    setFixedWidth(viewWidth);
    setAutoFillBackground(false);

    // The overlay first: a change that opens the panel must turn the editor's focus off
    // before the editor redraws and asks for it.
    redrawOnChange(m_store, this, [this] { refreshSyncOverlay(); });

    m_header = new CardHeader(m_store, this);
    m_chipRow = new TagChipRow(m_store, this);
    m_shortcutNotice = new ShortcutNoticeBand(m_store, this);
    auto *accentStrip = new AccentStrip(m_store, this);
    m_editorArea = new CardEditorArea(m_store, this);
    m_footer = new CardFooter(m_store, this);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(m_header);
    column->addWidget(m_chipRow);
    // Made after the editor, so that it marks what the editor shows after each change.
    m_findBar = new CardFindBar(m_store, m_editorArea->editor(), this);
    column->addWidget(m_findBar);
    column->addWidget(m_shortcutNotice);
    column->addWidget(accentStrip);
    column->addWidget(m_editorArea);
    column->addWidget(m_footer);

    FocusableTextView *text = editor();
    text->setKeysLeftToShortcuts(
        [this](const QKeyEvent &event) { return isLeftToShortcuts(event); });
    text->installEventFilter(this);
    connect(m_footer, &CardFooter::copyPressed, this, &PinlarkCardView::copyCurrentCard);
    m_undoNotice = new CardUndoNotice(m_store, m_editorArea);
    // Ctrl+Z puts a deleted card back only while the editor has nothing of its own to undo.
    connect(text->document(), &QTextDocument::undoAvailable, this, [this] { refreshShortcuts(); });

    buildMenu();
    buildShortcuts();
    m_outline = new Outline(this);
    m_outline->raise();

    // After the parts, whose state the shortcuts follow.
    redrawOnChange(m_store, this, [this] { refreshShortcuts(); });
    refreshSyncOverlay();
    refreshShortcuts();
}

PinlarkCardView::~PinlarkCardView() = default;

QString PinlarkCardView::webSiteRoot()
{
    return u"https://pinlark.app/"_s;
}

FocusableTextView *PinlarkCardView::editor() const
{
    return m_editorArea->editor();
}

QSize PinlarkCardView::sizeHint() const
{
    QSize hint = QWidget::sizeHint();
    hint.setWidth(viewWidth);
    return hint;
}

// Menu and shortcuts

void PinlarkCardView::buildMenu()
{
    m_menu = new QMenu(this);
    m_menu->setObjectName(u"actionsMenu"_s);
    m_menu->setAccessibleName(u"Actions"_s);
    // The titles name their shortcuts themselves; the shortcuts are the view's own, so they
    // work without the menu being open.
    m_menu->addAction(u"Vault Sync\u2026 (Ctrl+S)"_s, this, [this] { m_store.setShowSync(true); });
    m_menu->addAction(u"Export All to Markdown\u2026 (Ctrl+E)"_s, this,
                      &PinlarkCardView::exportAll);
    m_menu->addAction(u"Open Notes Folder"_s, &m_store, &PinlarkStore::openNotesFolder);
    m_menu->addAction(u"Restore from Backup\u2026"_s, this, &PinlarkCardView::showBackupPanel);
    m_menu->addSeparator();
    m_menu->addAction(u"Pinlark Web (pinlark.app)"_s, this, [this] { openWeb(QString()); });
    m_menu->addAction(u"Privacy"_s, this, [this] { openWeb(u"privacy"_s); });
    m_menu->addAction(u"Support"_s, this, [this] { openWeb(u"support"_s); });
    m_menu->addSeparator();
    m_menu->addAction(u"Quit Pinlark (Ctrl+Q)"_s, this, &PinlarkCardView::quit);

    connect(m_footer, &CardFooter::actionsPressed, this, [this] {
        const CardButton *button = m_footer->actionsButton();
        m_menu->popup(button->mapToGlobal(QPoint(0, button->height())));
    });
}

QShortcut *PinlarkCardView::addShortcut(const QList<QKeySequence> &keys,
                                        const std::function<void()> &action)
{
    auto *shortcut = new QShortcut(this);
    shortcut->setKeys(keys);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, action);
    m_shortcuts.append(shortcut);
    return shortcut;
}

void PinlarkCardView::buildShortcuts()
{
    // Ctrl+Page Up and Ctrl+Page Down step as they step through tabs elsewhere on Linux.
    m_previousShortcut = addShortcut(
        {QKeySequence(Qt::CTRL | Qt::Key_BracketLeft), QKeySequence(Qt::CTRL | Qt::Key_PageUp)},
        [this] { m_store.prevCard(); });
    m_nextShortcut = addShortcut(
        {QKeySequence(Qt::CTRL | Qt::Key_BracketRight), QKeySequence(Qt::CTRL | Qt::Key_PageDown)},
        [this] { m_store.nextCard(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_N)}, [this] { m_store.addCard(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)}, [this] { copyCurrentCard(); });
    m_deleteShortcut = addShortcut(
        {QKeySequence(Qt::CTRL | Qt::Key_Backspace), QKeySequence(Qt::CTRL | Qt::Key_Delete)},
        [this] { m_store.deleteCurrentCard(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_S)}, [this] { m_store.setShowSync(true); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_E)}, [this] { exportAll(); });
    m_quitShortcut = addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Q)}, [this] { quit(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_F)}, [this] { openFind(); });
    m_undoDeleteShortcut =
        addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Z)}, [this] { m_store.undoDelete(); });
}

bool PinlarkCardView::isLeftToShortcuts(const QKeyEvent &event) const
{
    const QKeySequence pressed(event.keyCombination());
    for (const QShortcut *shortcut : m_shortcuts) {
        if (!shortcut->isEnabled())
            continue;
        for (const QKeySequence &keys : shortcut->keys()) {
            if (keys.matches(pressed) == QKeySequence::ExactMatch)
                return true;
        }
    }
    return false;
}

// Redrawing

void PinlarkCardView::refreshShortcuts()
{
    // Under a panel the card's own keys would act on a card nobody sees, and take chords
    // the code field uses (Ctrl+Backspace deletes a word there): only quitting stays.
    const bool cardKeys = !m_syncPanel && !m_backupPanel;
    for (QShortcut *shortcut : std::as_const(m_shortcuts))
        shortcut->setEnabled(cardKeys);
    m_previousShortcut->setEnabled(cardKeys && m_header->canStepBack());
    m_nextShortcut->setEnabled(cardKeys && m_header->canStepForward());
    m_deleteShortcut->setEnabled(cardKeys && m_footer->offersDelete());
    m_undoDeleteShortcut->setEnabled(cardKeys && m_store.canUndoDelete() &&
                                     !editor()->document()->isUndoAvailable());
    m_quitShortcut->setEnabled(true);
}

void PinlarkCardView::refreshSyncOverlay()
{
    // A fresh panel, with its own state, each time showSync turns on; gone when it turns off.
    const bool wanted = m_store.showSync();
    if (wanted == (m_syncPanel != nullptr))
        return;
    FocusableTextView *text = editor();
    if (wanted) {
        // The editor would take the keyboard back from the code field at every change of
        // the store (a sync changes it twice).
        text->setTakesFocus(false);
        m_syncPanel = new PinlarkSyncPanel(m_store, m_services.clipboard, this);
        m_syncPanel->setGeometry(rect());
        m_syncPanel->show();
        m_syncPanel->raise();
        m_syncPanel->focusCodeField();
        return;
    }
    // The panel may be what led here (its Close button, a click on its backdrop): off the
    // screen now, freed once that is over.
    PinlarkSyncPanel *panel = std::exchange(m_syncPanel, nullptr);
    giveKeyboardBack();
    panel->setObjectName(QString());
    panel->hide();
    panel->deleteLater();
}

void PinlarkCardView::showBackupPanel()
{
    if (m_backupPanel)
        return;
    // As under the sync panel: the editor would take the keyboard back at every change of
    // the store.
    editor()->setTakesFocus(false);
    m_backupPanel = new PinlarkBackupPanel(m_store, this);
    connect(m_backupPanel, &PinlarkBackupPanel::closeRequested, this,
            &PinlarkCardView::closeBackupPanel);
    connect(m_backupPanel, &PinlarkBackupPanel::backupChosen, this, &PinlarkCardView::restoreFrom);
    m_backupPanel->setGeometry(rect());
    m_backupPanel->show();
    m_backupPanel->raise();
    m_backupPanel->focusFirst();
    refreshShortcuts();
}

bool PinlarkCardView::closeBackupPanel()
{
    if (!m_backupPanel)
        return false;
    // The panel may be what led here (its Close button, a backup chosen): off the screen
    // now, freed once that is over.
    PinlarkBackupPanel *panel = std::exchange(m_backupPanel, nullptr);
    panel->setObjectName(QString());
    panel->hide();
    panel->deleteLater();
    giveKeyboardBack();
    refreshShortcuts();
    return true;
}

void PinlarkCardView::giveKeyboardBack()
{
    if (m_syncPanel) {
        m_syncPanel->focusCodeField();
    } else if (m_backupPanel) {
        m_backupPanel->focusFirst();
    } else if (m_store.findQuery()) {
        m_findBar->open(); // back to the find field the panel was opened from
    } else {
        FocusableTextView *text = editor();
        text->setTakesFocus(true);
        text->setFocus(Qt::OtherFocusReason);
    }
}

void PinlarkCardView::restoreFrom(const QString &path)
{
    closeBackupPanel();
    QPointer<PinlarkCardView> self(this);
    m_store.restoreFromBackup(path, [self, path](PinlarkStore::RestoreOutcome outcome) {
        if (!self)
            return;
        // The notice names the backup by its file; its folder is the one the panel listed.
        outcome.error.replace(path, QFileInfo(path).fileName());
        self->showRestoreToast(restoreNotice(outcome));
    });
}

// Commands

void PinlarkCardView::pressTagChip(const std::optional<QString> &tag)
{
    m_chipRow->press(tag);
}

void PinlarkCardView::openFind()
{
    m_findBar->open();
}

bool PinlarkCardView::leaveWithEscape()
{
    if (closeBackupPanel())
        return true;
    if (m_store.findQuery()) {
        m_findBar->close();
        return true;
    }
    return false;
}

void PinlarkCardView::copyCurrentCard()
{
    const QString text = shownCard(m_store).content;
    if (m_services.clipboard)
        m_services.clipboard->setText(text);
    showCopiedToast();
}

void PinlarkCardView::exportAll()
{
    QPointer<PinlarkCardView> self(this);
    m_store.exportAllToMarkdown([self](const std::optional<QUrl> &location) {
        if (!self || !location)
            return;
        self->showExportToast();
        if (self->m_services.workspace)
            self->m_services.workspace->showFileInFolder(*location);
    });
}

void PinlarkCardView::openWeb(const QString &path)
{
    const QUrl url(webSiteRoot() + path, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return;
    if (m_services.workspace)
        m_services.workspace->openUrl(url);
}

void PinlarkCardView::quit()
{
    m_store.saveNotesImmediately();
    if (m_services.quit)
        m_services.quit();
    else
        QCoreApplication::quit();
}

// Notices

void PinlarkCardView::showCopiedToast()
{
    if (!m_copiedToast) {
        m_copiedToast = true;
        const quint64 notice = ++m_copyNotice;
        schedule(copiedToastMs, [this, notice] {
            if (notice != m_copyNotice)
                return;
            m_copiedToast = false;
            refreshToast();
        });
    }
    refreshToast();
}

void PinlarkCardView::showExportToast()
{
    if (!m_exportToast) {
        m_exportToast = exportedToastText;
        const quint64 notice = ++m_exportNotice;
        schedule(exportToastMs, [this, notice] {
            if (notice != m_exportNotice)
                return;
            m_exportToast.reset();
            refreshToast();
        });
    }
    refreshToast();
}

void PinlarkCardView::showRestoreToast(const QString &text)
{
    // Each restore tells its own outcome, for the full time, whatever the last one said.
    m_restoreToast = text;
    const quint64 notice = ++m_restoreNotice;
    schedule(restoreToastMs, [this, notice] {
        if (notice != m_restoreNotice)
            return;
        m_restoreToast.reset();
        refreshToast();
    });
    refreshToast();
}

void PinlarkCardView::schedule(int delayMs, std::function<void()> task)
{
    if (m_services.schedule)
        m_services.schedule(delayMs, this, std::move(task));
    else
        QTimer::singleShot(delayMs, this, std::move(task));
}

std::optional<QString> PinlarkCardView::toastText() const
{
    if (m_copiedToast)
        return copiedToastText;
    if (m_exportToast)
        return m_exportToast;
    return m_restoreToast;
}

void PinlarkCardView::refreshToast()
{
    m_editorArea->toast()->showNotice(toastText());
}

// Events

void PinlarkCardView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(CardStyle::cardShape(QRectF(rect())), NotePastel::paper());
}

void PinlarkCardView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_outline->setGeometry(rect());
    m_outline->raise();
    if (m_syncPanel) {
        m_syncPanel->setGeometry(rect());
        m_syncPanel->raise();
    }
    if (m_backupPanel) {
        m_backupPanel->setGeometry(rect());
        m_backupPanel->raise();
    }
}

bool PinlarkCardView::eventFilter(QObject *watched, QEvent *event)
{
    // Under the sync panel the keyboard is the panel's, whoever hands it to the editor (the
    // popup does when it opens): typing must never reach a card nobody sees.
    if (watched == editor() && event->type() == QEvent::FocusIn) {
        if (m_syncPanel)
            m_syncPanel->focusCodeField();
        else if (m_backupPanel)
            m_backupPanel->focusFirst();
    }
    return QWidget::eventFilter(watched, event);
}
