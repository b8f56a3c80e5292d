#pragma once

#include <QWidget>

class PinlarkStore;
class QLabel;
class QPlainTextEdit;

// A plain 420x430 window over the store: the current card's text, editable, and a line
// saying where it is in the stack. Ctrl+Left/Right step, Ctrl+N adds a card.
class PlainCardWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit PlainCardWindow(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(PlainCardWindow)

private:
    void showCurrentCard();

    PinlarkStore &m_store;
    QPlainTextEdit *m_editor = nullptr;
    QLabel *m_position = nullptr;
    bool m_updating = false;
};
