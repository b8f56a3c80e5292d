#include "ui/PinlarkSyncPanel.h"

#include "model/NotePastel.h"
#include "store/Clipboard.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int cardInset = 18;
constexpr int itemSpacing = 12;
constexpr int buttonSpacing = 8;
constexpr qreal fieldRadius = 8;
constexpr qreal fieldStrokeWidth = 1.5;
const QMargins fieldPadding(10, 8, 10, 8);
constexpr qreal focusRingWidth = 2;
constexpr int statusSpacing = 4; // between the last-synced line and the status line
constexpr qreal boxSize = 14;
constexpr qreal boxRadius = 4;
constexpr int boxTextSpacing = 7;
constexpr int minuteMs = 60'000;

const QString syncNowText = u"Sync Now"_s;
const QString syncingText = u"Syncing\u2026"_s;

QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, color);
    label->setPalette(colors);
    return label;
}

// The code field: a borderless line edit on a white rounded fill with an ink outline. Focus
// shows as the card's buttons show it, a 2-pixel ring in the highlight colour on the
// field's own rounded shape; here it lies inside the outline, so the outline stays whole.
class CodeField final : public QLineEdit
{
public:
    // Made with its text, so that the text is there before assistive technology hears of
    // the field at all: a caret event ahead of the field's focus event would make a screen
    // reader take the field as already announced and say nothing when it gets the focus.
    CodeField(const QString &text, QWidget *parent)
        : QLineEdit(text, parent)
    {
        setFrame(false);
        setFont(CardStyle::mono(16, QFont::Bold));
        // QLineEdit keeps 2 pixels of its own beside the text and 1 above and below it.
        setTextMargins(fieldPadding.left() - 2, fieldPadding.top() - 1, fieldPadding.right() - 2,
                       fieldPadding.bottom() - 1);
        // The fill is drawn here, so the style's own panel must not show.
        QPalette colors = palette();
        colors.setColor(QPalette::Base, Qt::transparent);
        colors.setColor(QPalette::Text, NotePastel::ink());
        colors.setColor(QPalette::Disabled, QPalette::Text, NotePastel::inkMuted());
        colors.setColor(QPalette::PlaceholderText, NotePastel::inkMuted());
        setPalette(colors);
    }
    Q_DISABLE_COPY_MOVE(CodeField)

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            const qreal inset = fieldStrokeWidth / 2;
            const QPainterPath shape = CardStyle::continuousRoundedRect(
                QRectF(rect()).adjusted(inset, inset, -inset, -inset), fieldRadius);
            painter.fillPath(shape, QColor(255, 255, 255));
            painter.setPen(QPen(NotePastel::ink(), fieldStrokeWidth));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(shape);
            if (hasFocus()) {
                // From the outline's inner edge, rounded to a whole pixel so that neither
                // colour bleeds into the other, 2 pixels inwards.
                const qreal ringInset = std::ceil(fieldStrokeWidth) + focusRingWidth / 2;
                painter.setPen(QPen(palette().color(QPalette::Highlight), focusRingWidth));
                painter.drawPath(CardStyle::continuousRoundedRect(
                    QRectF(rect()).adjusted(ringInset, ringInset, -ringInset, -ringInset),
                    fieldRadius - ringInset));
            }
        }
        QLineEdit::paintEvent(event);
    }
};

// "Sync automatically": a check box drawn as the code field is, a white rounded square with
// an ink outline, filled mint with an ink tick when on. Like the buttons, Tab reaches it but
// a click leaves the focus where it was, and the focus shows as a ring over the outline. The
// whole line, text included, takes the click.
class PanelCheckBox final : public QCheckBox
{
public:
    PanelCheckBox(const QString &text, QWidget *parent)
        : QCheckBox(text, parent)
    {
        setFocusPolicy(Qt::TabFocus);
        setCursor(Qt::PointingHandCursor);
        setFont(CardStyle::mono(11));
        QPalette colors = palette();
        colors.setColor(QPalette::WindowText, NotePastel::ink());
        setPalette(colors);
    }
    Q_DISABLE_COPY_MOVE(PanelCheckBox)

    [[nodiscard]] QSize sizeHint() const override
    {
        const QFontMetrics metrics(font());
        const int box = int(std::ceil(boxSize));
        return {box + boxTextSpacing + metrics.horizontalAdvance(text()) + 1,
                std::max(box, metrics.height())};
    }
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    [[nodiscard]] bool hitButton(const QPoint &position) const override
    {
        return rect().contains(position);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box(fieldStrokeWidth / 2, (height() - boxSize) / 2 + fieldStrokeWidth / 2,
                         boxSize - fieldStrokeWidth, boxSize - fieldStrokeWidth);
        const QPainterPath shape = CardStyle::continuousRoundedRect(box, boxRadius);
        painter.fillPath(shape, isChecked() ? NotePastel::mint() : QColor(255, 255, 255));
        painter.setPen(QPen(NotePastel::ink(), fieldStrokeWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
        if (isChecked()) {
            QPainterPath tick;
            tick.moveTo(box.left() + box.width() * 0.24, box.top() + box.height() * 0.52);
            tick.lineTo(box.left() + box.width() * 0.43, box.top() + box.height() * 0.72);
            tick.lineTo(box.left() + box.width() * 0.77, box.top() + box.height() * 0.30);
            painter.setPen(
                QPen(NotePastel::ink(), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.drawPath(tick);
        }
        if (hasFocus()) {
            // Over the outline, as the buttons show it.
            painter.setPen(QPen(palette().color(QPalette::Highlight), focusRingWidth));
            painter.drawPath(CardStyle::continuousRoundedRect(
                QRectF(0, (height() - boxSize) / 2, boxSize, boxSize).adjusted(1, 1, -1, -1),
                boxRadius));
        }
        painter.setPen(palette().color(QPalette::WindowText));
        painter.setFont(font());
        const QRectF textRect(boxSize + boxTextSpacing, 0, width() - boxSize - boxTextSpacing,
                              height());
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text());
    }
};

} // namespace

PinlarkSyncPanel::PinlarkSyncPanel(PinlarkStore &store, Clipboard *clipboard, QWidget *parent)
    : CardOverlay(parent)
    , m_store(store)
    , m_clipboard(clipboard)
{
    setObjectName(u"syncPanel"_s);
    setAccessibleDescription(u"Vault Sync over the card; Escape leaves it"_s);
    setAutoFillBackground(false);

    QWidget *panelCard = card();
    panelCard->setObjectName(u"syncPanelCard"_s);
    CardStyle::describe(panelCard, u"Vault Sync"_s,
                        u"Sync the cards through the end-to-end encrypted Vault"_s);

    auto *column = new QVBoxLayout(panelCard);
    column->setContentsMargins(cardInset, cardInset, cardInset, cardInset);
    column->setSpacing(itemSpacing);
    // The card's height is set from its width (the explanation wraps); see placeCard().
    column->setSizeConstraint(QLayout::SetNoConstraint);

    auto *title =
        makeLabel(u"Vault Sync"_s, CardStyle::mono(15, QFont::Black), NotePastel::ink(), panelCard);
    title->setObjectName(u"syncTitle"_s);
    column->addWidget(title);

    auto *explanation = makeLabel(u"Cards travel encrypted. The passport code is "
                                  u"the only key \u2014 the Vault never sees it."_s,
                                  CardStyle::mono(11), NotePastel::inkSoft(), panelCard);
    explanation->setObjectName(u"syncExplanation"_s);
    explanation->setWordWrap(true);
    column->addWidget(explanation);

    m_field = new CodeField(m_store.passportCode(), panelCard);
    m_field->setObjectName(u"passportCodeField"_s);
    m_field->setPlaceholderText(u"PLK-XXXXXX"_s);
    CardStyle::describe(m_field, u"Passport code"_s,
                        u"The code that opens the same Vault stack on every machine"_s);
    column->addWidget(m_field);

    auto *row = new QHBoxLayout;
    row->setSpacing(buttonSpacing);
    m_copyButton = new CardButton(CardStyle::panelTextButtonLook(), panelCard);
    m_copyButton->setText(u"Copy Code"_s);
    m_copyButton->setObjectName(u"copyCodeButton"_s);
    CardStyle::describe(m_copyButton, m_copyButton->text(),
                        u"Copy the code in the field to the clipboard"_s);
    connect(m_copyButton, &QAbstractButton::clicked, this, &PinlarkSyncPanel::copyCode);
    row->addWidget(m_copyButton);
    row->addStretch(1);

    m_closeButton = new CardButton(CardStyle::panelTextButtonLook(), panelCard);
    m_closeButton->setText(u"Close"_s);
    m_closeButton->setObjectName(u"closeButton"_s);
    CardStyle::describe(m_closeButton, m_closeButton->text(), u"Back to the card (Escape)"_s);
    connect(m_closeButton, &QAbstractButton::clicked, this, &PinlarkSyncPanel::closePanel);
    row->addWidget(m_closeButton);

    m_syncButton = new CardButton(CardStyle::syncNowButtonLook(), panelCard);
    m_syncButton->setObjectName(u"syncNowButton"_s);
    m_syncButton->setAccessibleDescription(
        u"Merge the cards with the Vault stack of this passport code"_s);
    connect(m_syncButton, &QAbstractButton::clicked, this, &PinlarkSyncPanel::syncNow);
    row->addWidget(m_syncButton);
    column->addLayout(row);

    m_automatic = new PanelCheckBox(u"Sync automatically"_s, panelCard);
    m_automatic->setObjectName(u"syncAutomaticallyBox"_s);
    CardStyle::describe(m_automatic, m_automatic->text(),
                        u"Once this machine has synced, sync by itself after edits, when the "
                        u"card opens, every 10 minutes and at quit"_s);
    m_automatic->setChecked(m_store.syncAutomatically());
    connect(m_automatic, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != m_store.syncAutomatically())
            m_store.setSyncAutomatically(on);
    });
    connect(&m_store, &PinlarkStore::syncAutomaticallyChanged, m_automatic,
            &QAbstractButton::setChecked);
    // As wide as its text: a click beside it is a click on the card.
    column->addWidget(m_automatic, 0, Qt::AlignLeft);

    // When the last sync was, and right under it how the last one went.
    auto *lines = new QVBoxLayout;
    lines->setSpacing(statusSpacing);
    m_lastSynced = makeLabel(QString(), CardStyle::mono(10.5), NotePastel::inkSoft(), panelCard);
    m_lastSynced->setObjectName(u"lastSynced"_s);
    m_lastSynced->setAccessibleDescription(u"When the cards last synced on this computer"_s);
    lines->addWidget(m_lastSynced);

    m_status = makeLabel(QString(), CardStyle::mono(10.5), NotePastel::inkSoft(), panelCard);
    m_status->setObjectName(u"syncStatus"_s);
    m_status->setAccessibleDescription(u"How the last Vault sync went"_s);
    // An error text can be long; it wraps rather than running past the card.
    m_status->setWordWrap(true);
    m_status->hide();
    lines->addWidget(m_status);
    column->addLayout(lines);

    m_minuteTimer.setInterval(minuteMs);
    connect(&m_minuteTimer, &QTimer::timeout, this, &PinlarkSyncPanel::refreshLastSynced);

    connect(&m_store, &PinlarkStore::isSyncingChanged, this, &PinlarkSyncPanel::refresh);
    connect(&m_store, &PinlarkStore::syncStatusMessageChanged, this, &PinlarkSyncPanel::refresh);
    connect(&m_store, &PinlarkStore::lastSyncedAtChanged, this,
            &PinlarkSyncPanel::refreshLastSynced);
    refreshLastSynced();
    refresh();
}

QString PinlarkSyncPanel::lastSyncedText(const QDateTime &when, const QDateTime &now)
{
    if (!when.isValid())
        return u"Not synced on this computer yet"_s;
    // The English of the rest of the panel, whatever the system's language.
    const QLocale english = QLocale::c();
    const QDateTime local = when.toLocalTime();
    const QDate today = now.toLocalTime().date();
    QString format = u"MMM d, yyyy"_s;
    if (local.date() == today)
        format = u"HH:mm"_s;
    else if (local.date().year() == today.year())
        format = u"MMM d, HH:mm"_s;
    return u"Last synced "_s + english.toString(local, format);
}

PinlarkSyncPanel::~PinlarkSyncPanel() = default;

void PinlarkSyncPanel::focusCodeField()
{
    if (m_field->isEnabled())
        m_field->setFocus(Qt::OtherFocusReason);
    else
        focusNextPrevChild(true);
}

// Commands

void PinlarkSyncPanel::copyCode()
{
    // What the field holds right now, as typed: not normalised, not necessarily stored.
    if (m_clipboard)
        m_clipboard->setText(m_field->text());
}

void PinlarkSyncPanel::syncNow()
{
    // The store normalises the code and reports through its published fields; an invalid
    // code changes nothing there, and its answer here is not needed either.
    m_store.syncWithVault(m_field->text(), [](bool, const QString &) {});
}

void PinlarkSyncPanel::closePanel()
{
    m_store.setShowSync(false);
}

// Redrawing

void PinlarkSyncPanel::refresh()
{
    const bool syncing = m_store.isSyncing();
    if (m_field->isEnabled() == syncing) {
        if (syncing) {
            QWidget *focused = QApplication::focusWidget();
            m_focusBeforeSync = (focused == m_field || focused == m_syncButton) ? focused : nullptr;
            m_field->setEnabled(false);
            m_syncButton->setEnabled(false);
            m_focusDuringSync = m_focusBeforeSync ? QApplication::focusWidget() : nullptr;
        } else {
            m_field->setEnabled(true);
            m_syncButton->setEnabled(true);
            if (m_focusBeforeSync && QApplication::focusWidget() == m_focusDuringSync)
                m_focusBeforeSync->setFocus(Qt::OtherFocusReason);
            m_focusBeforeSync = nullptr;
            m_focusDuringSync = nullptr;
        }
    }

    const QString label = syncing ? syncingText : syncNowText;
    if (m_syncButton->text() != label) {
        m_syncButton->setText(label);
        m_syncButton->setAccessibleName(label);
        m_syncButton->updateGeometry();
    }

    const std::optional<QString> &status = m_store.syncStatusMessage();
    if (status) {
        if (m_status->text() != *status || m_status->accessibleName() != *status) {
            m_status->setText(*status);
            m_status->setAccessibleName(*status);
        }
        m_status->show();
    } else {
        m_status->hide();
    }
    placeCard();
}

void PinlarkSyncPanel::refreshLastSynced()
{
    const QString text = lastSyncedText(m_store.lastSyncedAt(), QDateTime::currentDateTime());
    if (m_lastSynced->text() != text || m_lastSynced->accessibleName() != text) {
        m_lastSynced->setText(text);
        m_lastSynced->setAccessibleName(text);
    }
}

// Events

void PinlarkSyncPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Each time the panel comes on screen it starts from the stored code. The field already
    // holds it unless the store's code changed while the panel was off the screen: setting
    // the same text again would only tell assistive technology of a caret move ahead of the
    // field's focus.
    if (!event->spontaneous())
        resetCode();
    // The day may have turned while the panel was away.
    refreshLastSynced();
    m_minuteTimer.start();
    placeCard();
}

void PinlarkSyncPanel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_minuteTimer.stop();
    // A code typed and not synced is dropped with the panel, now rather than when it comes
    // back, for the reason above.
    if (!event->spontaneous())
        resetCode();
}

void PinlarkSyncPanel::resetCode()
{
    if (m_field->text() != m_store.passportCode())
        m_field->setText(m_store.passportCode());
}

QList<QWidget *> PinlarkSyncPanel::focusOrder() const
{
    return {m_field, m_copyButton, m_closeButton, m_syncButton, m_automatic};
}

void PinlarkSyncPanel::backdropTapped()
{
    closePanel();
}
