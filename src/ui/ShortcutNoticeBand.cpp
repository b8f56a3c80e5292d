#include "ui/ShortcutNoticeBand.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/StoreRedraw.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

ShortcutNoticeBand::ShortcutNoticeBand(PinlarkStore &store, QWidget *parent)
    : CardBand(NotePastel::cardBg(), true, parent)
    , m_store(store)
{
    setObjectName(u"shortcutNotice"_s);
    setAccessibleName(u"Shortcut notice"_s);

    m_text = new QLabel(this);
    m_text->setObjectName(u"shortcutNoticeText"_s);
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setFont(CardStyle::mono(11));
    QPalette colors = m_text->palette();
    colors.setColor(QPalette::WindowText, NotePastel::ink());
    m_text->setPalette(colors);

    m_action = new CardButton(CardStyle::panelTextButtonLook(), this);
    m_action->setObjectName(u"shortcutNoticeAction"_s);
    m_action->setText(u"Set Up Shortcut"_s);
    connect(m_action, &CardButton::clicked, &m_store, &PinlarkStore::setUpShortcut);
    m_close = new CardButton(CardStyle::panelTextButtonLook(), this);
    m_close->setObjectName(u"shortcutNoticeClose"_s);
    m_close->setText(u"Close"_s);
    m_close->setAccessibleName(u"Close the shortcut notice"_s);
    connect(m_close, &CardButton::clicked, &m_store, &PinlarkStore::dismissShortcutNotice);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch();
    buttons->addWidget(m_action);
    buttons->addSpacing(12);
    buttons->addWidget(m_close);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 8, 14, 6);
    column->setSpacing(4);
    column->addWidget(m_text);
    column->addLayout(buttons);

    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

void ShortcutNoticeBand::refresh()
{
    using Notice = PinlarkStore::ShortcutNotice;
    const Notice notice = m_store.shortcutNotice();
    if (m_text->text() != m_store.shortcutNoticeText()) {
        m_text->setText(m_store.shortcutNoticeText());
        setAccessibleDescription(m_store.shortcutNoticeText());
    }
    m_action->setVisible(notice == Notice::Offer);
    m_close->setEnabled(notice != Notice::SettingUp);
    setVisible(notice != Notice::None);
    reportSeen();
}

void ShortcutNoticeBand::showEvent(QShowEvent *event)
{
    CardBand::showEvent(event);
    reportSeen();
}

void ShortcutNoticeBand::reportSeen()
{
    // Seen means on the screen: a notice that came while the popup was closed still shows
    // the next time it opens.
    if (isVisible() && m_store.shortcutNotice() != PinlarkStore::ShortcutNotice::None)
        m_store.shortcutNoticeSeen();
}
