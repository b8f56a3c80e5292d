#pragma once

#include "ui/CardBand.h"

#include <optional>

class CardButton;
class PinlarkStore;
class QLabel;

// The bottom band of the card: the word count, pin, Todo, Copy, delete and the actions
// button. It draws itself from the store and calls the store's operations; Copy and the
// actions button are the card view's to act on.
class CardFooter final : public CardBand
{
    Q_OBJECT

public:
    explicit CardFooter(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardFooter)

    // Delete is there only while the stack holds two cards or more; its shortcuts follow.
    [[nodiscard]] bool offersDelete() const;
    [[nodiscard]] CardButton *actionsButton() const { return m_menuButton; }

signals:
    void copyPressed();
    void actionsPressed();

private:
    void refresh();
    void refreshPinButton(bool pinned);

    PinlarkStore &m_store;
    QLabel *m_wordCount = nullptr;
    CardButton *m_pinButton = nullptr;
    std::optional<bool> m_shownPinned;
    CardButton *m_checklistButton = nullptr;
    CardButton *m_copyButton = nullptr;
    CardButton *m_deleteButton = nullptr;
    CardButton *m_menuButton = nullptr;
};
