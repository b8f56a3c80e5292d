#include "ui/TagChipRow.h"

#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/StoreRedraw.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QWheelEvent>

using namespace Qt::StringLiterals;

namespace {
constexpr int sidePadding = 14;
constexpr int bottomPadding = 6;
constexpr int chipSpacing = 5;
} // namespace

TagChipRow::TagChipRow(PinlarkStore &store, QWidget *parent)
    : QScrollArea(parent)
    , m_store(store)
{
    setObjectName(u"tagChips"_s);
    setAccessibleName(u"Tags"_s);
    setAccessibleDescription(u"Show only the cards with one tag"_s);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(true);
    setFocusPolicy(Qt::NoFocus);
    setStyleSheet(u"QScrollArea { background: transparent; }"_s);
    viewport()->setAutoFillBackground(false);
    viewport()->installEventFilter(this);

    m_strip = new QWidget;
    m_layout = new QHBoxLayout(m_strip);
    m_layout->setContentsMargins(sidePadding, 0, sidePadding, bottomPadding);
    m_layout->setSpacing(chipSpacing);
    m_layout->addStretch(1);
    setWidget(m_strip);
    // The scroll area paints what it holds unless told not to; the row shows the paper.
    m_strip->setAutoFillBackground(false);
    hide();

    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

void TagChipRow::press(const std::optional<QString> &tag)
{
    if (!tag || m_store.selectedTag() == tag) {
        m_store.setSelectedTag(std::nullopt);
        return;
    }
    m_store.setSelectedTag(tag);
    const QList<qint64> indices = m_store.activeCardIndices();
    if (!indices.isEmpty())
        m_store.setActiveIndex(indices.first());
}

CardButton *TagChipRow::addChip()
{
    auto *chip = new CardButton(CardStyle::tagChipLook(m_chips.empty(), false), m_strip);
    chip->setCheckable(true);
    m_layout->insertWidget(int(m_chips.size()), chip);
    m_chips.push_back(chip);
    m_chipSelected.emplace_back();
    chip->show(); // now, so the row's height below counts it
    return chip;
}

void TagChipRow::refresh()
{
    const QStringList tags = m_store.allTags();
    // The find band stands in its place while finding.
    setVisible(!tags.isEmpty() && !m_store.findQuery());

    if (m_chips.empty()) {
        CardButton *all = addChip();
        all->setObjectName(u"chipAll"_s);
        all->setAccessibleDescription(u"Show every card"_s);
        connect(all, &QAbstractButton::clicked, this, [this] { press(std::nullopt); });
    }

    // Typing a tag changes the list on every keystroke: the chips are reused and relabelled,
    // and only a change in their number adds or removes one.
    if (tags != m_tags) {
        const qsizetype wanted = tags.size() + 1;
        while (qsizetype(m_chips.size()) < wanted) {
            const qsizetype index = qsizetype(m_chips.size()) - 1;
            CardButton *chip = addChip();
            connect(chip, &QAbstractButton::clicked, this, [this, index] {
                if (index < m_tags.size())
                    press(m_tags.at(index));
            });
        }
        while (qsizetype(m_chips.size()) > wanted) {
            // A chip may be the sender of what led here: take it out now, free it later.
            CardButton *chip = m_chips.back();
            m_chips.pop_back();
            m_chipSelected.pop_back();
            m_layout->removeWidget(chip);
            chip->setObjectName(QString());
            chip->hide();
            chip->deleteLater();
        }
        for (qsizetype i = 0; i < tags.size(); ++i) {
            CardButton *chip = m_chips[std::size_t(i + 1)];
            const QString &tag = tags.at(i);
            if (chip->text() == tag)
                continue;
            chip->setText(tag);
            chip->setObjectName(u"chip-"_s + tag);
            CardStyle::describe(chip, tag, u"Show only the cards tagged "_s + tag);
            chip->updateGeometry();
            m_chipSelected[std::size_t(i + 1)].reset();
        }
        m_tags = tags;
        if (!tags.isEmpty()) {
            m_layout->invalidate();
            setFixedHeight(m_layout->sizeHint().height());
        }
    }

    CardButton *all = m_chips.front();
    const qsizetype cardCount = m_store.cards().size();
    if (m_cardCount != cardCount) {
        m_cardCount = cardCount;
        const QString text = u"All ("_s % QString::number(cardCount) % u')';
        all->setText(text);
        all->setAccessibleName(text);
        all->updateGeometry();
    }

    const std::optional<QString> &selected = m_store.selectedTag();
    for (std::size_t i = 0; i < m_chips.size(); ++i) {
        const bool isSelected =
            i == 0 ? !selected.has_value() : (selected && *selected == m_tags.at(qsizetype(i - 1)));
        if (m_chipSelected[i] == isSelected)
            continue;
        m_chipSelected[i] = isSelected;
        CardButton *chip = m_chips[i];
        chip->setLook(CardStyle::tagChipLook(i == 0, isSelected));
        chip->setChecked(isSelected);
    }
}

bool TagChipRow::eventFilter(QObject *watched, QEvent *event)
{
    // The row scrolls sideways; let an ordinary mouse wheel do that too.
    if (watched == viewport() && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        const QPoint delta = wheel->angleDelta();
        if (delta.x() == 0 && delta.y() != 0) {
            QScrollBar *bar = horizontalScrollBar();
            bar->setValue(bar->value() - delta.y() / 2);
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}
