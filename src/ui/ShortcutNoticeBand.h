#pragma once

#include "ui/CardBand.h"

class CardButton;
class PinlarkStore;
class QLabel;

// The band under the header that carries the store's shortcut notice: its text, the one
// action it offers (setting up a shortcut in the desktop's settings) and a button that puts
// it away. Hidden while the store has no notice. Tells the store once it has been on the
// screen, so the notice does not come back at the next start.
class ShortcutNoticeBand final : public CardBand
{
    Q_OBJECT

public:
    explicit ShortcutNoticeBand(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ShortcutNoticeBand)

    [[nodiscard]] QLabel *textLabel() const { return m_text; }
    [[nodiscard]] CardButton *actionButton() const { return m_action; }
    [[nodiscard]] CardButton *closeButton() const { return m_close; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void reportSeen();

    PinlarkStore &m_store;
    QLabel *m_text = nullptr;
    CardButton *m_action = nullptr;
    CardButton *m_close = nullptr;
};
