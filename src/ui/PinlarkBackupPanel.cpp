#include "ui/PinlarkBackupPanel.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int cardInset = 18;
constexpr int itemSpacing = 12;
constexpr int entrySpacing = 6;

const QString title = u"Restore from Backup"_s;

QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(true);
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, color);
    label->setPalette(colors);
    return label;
}

} // namespace

PinlarkBackupPanel::PinlarkBackupPanel(PinlarkStore &store, QWidget *parent)
    : CardOverlay(parent)
{
    setObjectName(u"backupPanel"_s);
    setAccessibleDescription(u"Restore from Backup over the card; Escape leaves it"_s);
    QWidget *panelCard = card();
    panelCard->setObjectName(u"backupPanelCard"_s);
    CardStyle::describe(panelCard, title, u"Bring back cards from a daily backup"_s);

    auto *column = new QVBoxLayout(panelCard);
    column->setContentsMargins(cardInset, cardInset, cardInset, cardInset);
    column->setSpacing(itemSpacing);
    column->setSizeConstraint(QLayout::SetNoConstraint);

    auto *heading =
        makeLabel(title, CardStyle::mono(15, QFont::Black), NotePastel::ink(), panelCard);
    heading->setObjectName(u"backupTitle"_s);
    heading->setAccessibleName(title);
    column->addWidget(heading);

    const QString explanationText =
        u"Cards a backup holds that the stack no longer has come back as cards of their own."_s;
    auto *explanation =
        makeLabel(explanationText, CardStyle::mono(11), NotePastel::inkSoft(), panelCard);
    explanation->setObjectName(u"backupExplanation"_s);
    explanation->setAccessibleName(explanationText);
    column->addWidget(explanation);

    m_list = new QVBoxLayout;
    m_list->setSpacing(entrySpacing);
    m_status = makeLabel(u"Reading backups\u2026"_s, CardStyle::mono(10.5), NotePastel::inkSoft(),
                         panelCard);
    m_status->setObjectName(u"backupStatus"_s);
    m_status->setAccessibleName(m_status->text());
    m_list->addWidget(m_status);
    column->addLayout(m_list);

    auto *row = new QHBoxLayout;
    row->addStretch(1);
    m_closeButton = new CardButton(CardStyle::panelTextButtonLook(), panelCard);
    m_closeButton->setText(u"Close"_s);
    m_closeButton->setObjectName(u"backupCloseButton"_s);
    CardStyle::describe(m_closeButton, m_closeButton->text(), u"Back to the card (Escape)"_s);
    connect(m_closeButton, &QAbstractButton::clicked, this, &PinlarkBackupPanel::closeRequested);
    row->addWidget(m_closeButton);
    column->addLayout(row);

    // The answer may come after the panel closed: it is dropped then.
    store.listBackups([panel = QPointer(this)](const QList<NotesFile::Backup> &backups) {
        if (panel)
            panel->showBackups(backups);
    });
    placeCard();
}

PinlarkBackupPanel::~PinlarkBackupPanel() = default;

QString PinlarkBackupPanel::entryText(const NotesFile::Backup &backup)
{
    // The English of the rest of the card, whatever the system's language.
    const QString day = QLocale::c().toString(backup.day, u"ddd, MMM d, yyyy"_s);
    QString what;
    if (!backup.error.isEmpty())
        what = u"unreadable"_s;
    else if (backup.cardCount == 1)
        what = u"1 card"_s;
    else
        what = QString::number(backup.cardCount) + u" cards"_s;
    return day + u" \u00b7 "_s + what;
}

void PinlarkBackupPanel::showBackups(const QList<NotesFile::Backup> &backups)
{
    // The keyboard is on Close only because there was nothing else yet: it moves to the
    // list. Asked of the window, which knows its focus also while it is not active.
    const QWidget *focused = window()->focusWidget();
    const bool moveFocus = !focused || focused == m_closeButton || !isAncestorOf(focused);
    for (const NotesFile::Backup &backup : backups) {
        auto *button = new CardButton(CardStyle::backupButtonLook(), card());
        const QString text = entryText(backup);
        button->setText(text);
        button->setObjectName(u"backupButton"_s);
        CardStyle::describe(button, text,
                            backup.error.isEmpty()
                                ? u"Bring back the cards of this backup the stack no longer has"_s
                                : u"This backup cannot be read: "_s + backup.error);
        button->setEnabled(backup.error.isEmpty());
        const QString path = backup.path;
        connect(button, &QAbstractButton::clicked, this,
                [this, path] { Q_EMIT backupChosen(path); });
        m_list->addWidget(button);
        // Shown now rather than when the layout gets to it, so it can take the keyboard.
        button->show();
        m_backupButtons.append(button);
    }
    if (backups.isEmpty()) {
        m_status->setText(u"No backups yet"_s);
        m_status->setAccessibleName(m_status->text());
    } else {
        m_status->hide();
    }
    placeCard();
    if (moveFocus)
        focusFirst();
}

void PinlarkBackupPanel::focusFirst()
{
    for (CardButton *button : std::as_const(m_backupButtons)) {
        if (button->isEnabled()) {
            button->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    m_closeButton->setFocus(Qt::OtherFocusReason);
}

QList<QWidget *> PinlarkBackupPanel::focusOrder() const
{
    QList<QWidget *> order;
    for (CardButton *button : std::as_const(m_backupButtons))
        order.append(button);
    order.append(m_closeButton);
    return order;
}

void PinlarkBackupPanel::backdropTapped()
{
    Q_EMIT closeRequested();
}
