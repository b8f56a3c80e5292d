#include "ui/CardToast.h"

#include "ui/CardStyle.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGraphicsOpacityEffect>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>

using namespace Qt::StringLiterals;

CardToast::CardToast(QWidget *parent)
    : PillLabel(CardStyle::toastLook(), parent)
{
    setObjectName(u"toast"_s);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
    parent->installEventFilter(this);

    m_opacity = new QGraphicsOpacityEffect(this);
    m_opacity->setOpacity(0);
    setGraphicsEffect(m_opacity);

    m_animation = new QParallelAnimationGroup(this);
    auto *move = new QPropertyAnimation(this, "pos", m_animation);
    move->setDuration(animationMs);
    move->setEasingCurve(QEasingCurve::InOutQuad);
    auto *fade = new QPropertyAnimation(m_opacity, "opacity", m_animation);
    fade->setDuration(animationMs);
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    m_animation->addAnimation(move);
    m_animation->addAnimation(fade);
    connect(m_animation, &QAbstractAnimation::finished, this, [this] {
        if (!m_shown)
            hide();
    });
}

void CardToast::showNotice(const std::optional<QString> &text)
{
    if (!text) {
        if (m_shown)
            slide(false);
        return;
    }
    if (this->text() != *text) {
        setText(*text);
        setAccessibleName(*text);
        resize(sizeHint());
    }
    if (!m_shown)
        slide(true);
    else if (m_animation->state() != QAbstractAnimation::Running)
        move(restingPlace());
}

QSize CardToast::sizeHint() const
{
    const QSize line = PillLabel::sizeHint();
    const QWidget *area = parentWidget();
    const int room = area ? area->width() - 2 * inset : line.width();
    const QMargins &padding = look().padding;
    const int textRoom = room - padding.left() - padding.right();
    if (line.width() <= room || textRoom <= 0)
        return line;
    const QRect wrapped =
        QFontMetrics(look().font).boundingRect(QRect(0, 0, textRoom, 0), textFlags, text());
    return {room, wrapped.height() + padding.top() + padding.bottom()};
}

QPoint CardToast::restingPlace() const
{
    const QWidget *area = parentWidget();
    return {area->width() - width() - inset, area->height() - height() - inset};
}

void CardToast::slide(bool in)
{
    m_shown = in;
    resize(sizeHint());
    const QPoint resting = restingPlace();
    const QPoint belowEdge(resting.x(), parentWidget()->height());
    auto *move = static_cast<QPropertyAnimation *>(m_animation->animationAt(0));
    auto *fade = static_cast<QPropertyAnimation *>(m_animation->animationAt(1));
    m_animation->stop();
    move->setStartValue(isVisible() ? pos() : (in ? belowEdge : resting));
    move->setEndValue(in ? resting : belowEdge);
    fade->setStartValue(isVisible() ? m_opacity->opacity() : (in ? 0.0 : 1.0));
    fade->setEndValue(in ? 1.0 : 0.0);
    if (in) {
        show();
        raise();
    }
    m_animation->start();
}

bool CardToast::eventFilter(QObject *watched, QEvent *event)
{
    // The area's height follows the chip row; a shown toast keeps its corner.
    if (watched == parentWidget() && event->type() == QEvent::Resize && m_shown) {
        if (m_animation->state() == QAbstractAnimation::Running) {
            auto *move = static_cast<QPropertyAnimation *>(m_animation->animationAt(0));
            move->setEndValue(restingPlace());
        } else {
            this->move(restingPlace());
        }
    }
    return PillLabel::eventFilter(watched, event);
}
