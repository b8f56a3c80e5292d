#include "ui/CardBand.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardStyle.h"
#include "ui/StoreRedraw.h"

#include <QPainter>

#include <utility>

using namespace Qt::StringLiterals;

CardBand::CardBand(std::optional<QColor> fill, bool topHairline, QWidget *parent)
    : QWidget(parent)
    , m_fill(std::move(fill))
    , m_topHairline(topHairline)
{}

void CardBand::setPreferredHeight(int height)
{
    m_preferredHeight = height;
    updateGeometry();
}

QSize CardBand::sizeHint() const
{
    QSize hint = QWidget::sizeHint();
    if (m_preferredHeight > 0)
        hint.setHeight(m_preferredHeight);
    return hint;
}

void CardBand::setFill(const QColor &fill)
{
    if (m_fill == fill)
        return;
    m_fill = fill;
    update();
}

void CardBand::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_fill)
        painter.fillRect(rect(), *m_fill);
    if (m_topHairline)
        painter.fillRect(QRectF(0, 0, width(), 1.5),
                         CardStyle::withOpacity(NotePastel::ink(), 0.15));
}

AccentStrip::AccentStrip(PinlarkStore &store, QWidget *parent)
    : CardBand(NotePastel::yellow(), false, parent)
    , m_store(store)
{
    setObjectName(u"accentStrip"_s);
    setFixedHeight(thickness);
    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

void AccentStrip::refresh()
{
    setFill(NotePastel::colorFor(shownCard(m_store).color));
}
