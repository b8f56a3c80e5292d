#include "ui/CardHeader.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/ColorDot.h"
#include "ui/PillLabel.h"
#include "ui/StoreRedraw.h"

#include <QHBoxLayout>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
constexpr int sidePadding = 14;
constexpr int topPadding = 12;
// Below the header: more room when no chip row follows it.
constexpr int bottomPaddingAlone = 8;
constexpr int bottomPaddingAboveChips = 4;
} // namespace

CardHeader::CardHeader(PinlarkStore &store, QWidget *parent)
    : CardBand(std::nullopt, false, parent)
    , m_store(store)
{
    setObjectName(u"header"_s);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(sidePadding, topPadding, sidePadding, bottomPaddingAlone);
    row->setSpacing(8);

    m_previous = new CardButton(CardStyle::chevronLook(u"chevron-left"_s), this);
    m_previous->setObjectName(u"previousButton"_s);
    m_previous->setToolTip(u"Previous card (Ctrl+[)"_s);
    CardStyle::describe(m_previous, u"Previous card"_s, m_previous->toolTip());
    connect(m_previous, &QAbstractButton::clicked, &m_store, &PinlarkStore::prevCard);

    m_badge = new PillLabel(CardStyle::counterBadgeLook(), this);
    m_badge->setObjectName(u"counterBadge"_s);
    m_badge->setAccessibleDescription(u"Position of the card among those shown"_s);

    m_next = new CardButton(CardStyle::chevronLook(u"chevron-right"_s), this);
    m_next->setObjectName(u"nextButton"_s);
    m_next->setToolTip(u"Next card (Ctrl+])"_s);
    CardStyle::describe(m_next, u"Next card"_s, m_next->toolTip());
    connect(m_next, &QAbstractButton::clicked, &m_store, &PinlarkStore::nextCard);

    auto *navigation = new QHBoxLayout;
    navigation->setSpacing(4);
    navigation->addWidget(m_previous);
    navigation->addWidget(m_badge);
    navigation->addWidget(m_next);
    row->addLayout(navigation);
    row->addStretch(1);

    // The dots keep room for the selected one's larger drawing, so their layout spacing is
    // what is left of the 6 pixels between circles.
    auto *dots = new QHBoxLayout;
    dots->setSpacing(6 - (ColorDot::side - ColorDot::diameter));
    for (const QString &key : NotePastel::allKeys()) {
        auto *dot = new ColorDot(key, this);
        dot->setObjectName(u"colorDot-"_s + key);
        CardStyle::describe(dot, key, u"Colour the card "_s + key);
        connect(dot, &QAbstractButton::clicked, this,
                [this, key] { m_store.setCurrentCardColor(key); });
        dots->addWidget(dot);
        m_dots.push_back(dot);
    }
    row->addLayout(dots);

    m_newButton = new CardButton(CardStyle::newButtonLook(), this);
    m_newButton->setText(u"New"_s);
    m_newButton->setObjectName(u"newButton"_s);
    CardStyle::describe(m_newButton, u"New"_s, u"Add a new card (Ctrl+N)"_s);
    connect(m_newButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::addCard);
    row->addWidget(m_newButton);

    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

bool CardHeader::canStepBack() const
{
    return m_previous->isEnabled();
}

bool CardHeader::canStepForward() const
{
    return m_next->isEnabled();
}

void CardHeader::refresh()
{
    const QList<qint64> indices = m_store.activeCardIndices();
    // The store's currentFilteredIndex(), without building the filtered list a second time.
    const qint64 filteredIndex = std::max<qint64>(indices.indexOf(m_store.activeIndex()), 0);

    // Previous follows the position in the whole stack, next the position among those shown.
    m_previous->setEnabled(m_store.activeIndex() != 0);
    m_next->setEnabled(filteredIndex < qint64(indices.size()) - 1);
    // A find that holds nothing shows none of none.
    const QString counter = m_store.findWords().isEmpty() || !indices.isEmpty()
                                ? QString::number(filteredIndex + 1) % u'/' %
                                      QString::number(std::max<qsizetype>(indices.size(), 1))
                                : u"0/0"_s;
    if (m_badge->text() != counter) {
        m_badge->setText(counter);
        m_badge->setAccessibleName(counter);
        m_badge->updateGeometry();
    }

    const QString shownColor = shownCard(m_store).color;
    for (ColorDot *dot : m_dots)
        dot->setSelected(dot->key() == shownColor);

    auto *row = static_cast<QHBoxLayout *>(layout());
    const bool bandBelow = !m_store.allTags().isEmpty() || m_store.findQuery();
    const int bottom = bandBelow ? bottomPaddingAboveChips : bottomPaddingAlone;
    if (row->contentsMargins().bottom() != bottom)
        row->setContentsMargins(sidePadding, topPadding, sidePadding, bottom);
}
