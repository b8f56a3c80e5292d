#include "ui/CardFooter.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/StoreRedraw.h"
#include "ui/WordCount.h"

#include <QHBoxLayout>
#include <QLabel>

using namespace Qt::StringLiterals;

namespace {
constexpr int sidePadding = 14;
constexpr int verticalPadding = 8;
} // namespace

CardFooter::CardFooter(PinlarkStore &store, QWidget *parent)
    : CardBand(std::nullopt, true, parent)
    , m_store(store)
{
    setObjectName(u"footer"_s);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(sidePadding, verticalPadding, sidePadding, verticalPadding);
    row->setSpacing(8);

    m_wordCount = new QLabel(this);
    m_wordCount->setObjectName(u"wordCount"_s);
    m_wordCount->setFont(CardStyle::mono(11, QFont::Medium));
    QPalette muted = m_wordCount->palette();
    muted.setColor(QPalette::WindowText, NotePastel::inkMuted());
    m_wordCount->setPalette(muted);
    m_wordCount->setAccessibleDescription(u"Words on the card"_s);
    row->addWidget(m_wordCount);

    m_pinButton = new CardButton(CardStyle::pinButtonLook(false), this);
    m_pinButton->setObjectName(u"pinButton"_s);
    // A plain button named by what pressing it does ("Unpin card"); a check box with that
    // name would be read out as "Unpin card, checked".
    connect(m_pinButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::togglePinCurrentCard);
    row->addWidget(m_pinButton);

    m_checklistButton = new CardButton(CardStyle::checklistButtonLook(), this);
    m_checklistButton->setText(u"\u2611\uFE0E Todo"_s);
    m_checklistButton->setObjectName(u"checklistButton"_s);
    m_checklistButton->setToolTip(u"Insert - [ ] checklist item"_s);
    CardStyle::describe(m_checklistButton, u"Todo"_s, m_checklistButton->toolTip());
    connect(m_checklistButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::toggleChecklist);
    row->addWidget(m_checklistButton);

    row->addStretch(1);

    m_copyButton = new CardButton(CardStyle::copyButtonLook(), this);
    m_copyButton->setText(u"Copy"_s);
    m_copyButton->setObjectName(u"copyButton"_s);
    CardStyle::describe(m_copyButton, u"Copy"_s,
                        u"Copy the card's text to the clipboard (Ctrl+Shift+C)"_s);
    connect(m_copyButton, &QAbstractButton::clicked, this, &CardFooter::copyPressed);
    row->addWidget(m_copyButton);

    m_deleteButton = new CardButton(CardStyle::deleteButtonLook(), this);
    m_deleteButton->setObjectName(u"deleteButton"_s);
    m_deleteButton->setToolTip(u"Delete this card (Ctrl+Backspace)"_s);
    CardStyle::describe(m_deleteButton, m_deleteButton->toolTip(),
                        u"Delete the current card (Ctrl+Backspace)"_s);
    connect(m_deleteButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::deleteCurrentCard);
    row->addWidget(m_deleteButton);

    m_menuButton = new CardButton(CardStyle::actionsButtonLook(), this);
    m_menuButton->setObjectName(u"actionsButton"_s);
    m_menuButton->setToolTip(u"More actions"_s);
    CardStyle::describe(m_menuButton, u"Actions"_s, m_menuButton->toolTip());
    connect(m_menuButton, &QAbstractButton::clicked, this, &CardFooter::actionsPressed);
    row->addWidget(m_menuButton);

    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

bool CardFooter::offersDelete() const
{
    return !m_deleteButton->isHidden();
}

void CardFooter::refresh()
{
    const NoteCard shown = shownCard(m_store);
    const int words = wordCount(shown.content);
    const QString wordText = QString::number(words) % (words == 1 ? u" word"_s : u" words"_s);
    if (m_wordCount->text() != wordText) {
        m_wordCount->setText(wordText);
        m_wordCount->setAccessibleName(wordText);
    }
    refreshPinButton(shown.pinned());
    m_deleteButton->setVisible(m_store.cards().size() >= 2);
}

void CardFooter::refreshPinButton(bool pinned)
{
    if (m_shownPinned == pinned)
        return;
    m_shownPinned = pinned;
    m_pinButton->setLook(CardStyle::pinButtonLook(pinned));
    m_pinButton->setText(pinned ? u"Pinned"_s : QString());
    m_pinButton->setToolTip(pinned ? u"Unpin card"_s : u"Pin card to front"_s);
    CardStyle::describe(m_pinButton, m_pinButton->toolTip(),
                        pinned ? u"The card is pinned to the front of the stack"_s
                               : u"The card is not pinned"_s);
    m_pinButton->updateGeometry();
}
