#pragma once

#include "ui/CardBand.h"

class CardToast;
class FocusableTextView;
class PinlarkStore;

// The band that holds the shown card's text in an editor on the card's paper, and the
// notice toast in its bottom-right corner. The editor reads the shown card's text from the
// store and writes every edit back through it, asking for the debounced save.
class CardEditorArea final : public CardBand
{
    Q_OBJECT

public:
    // The editor's own height in the design, and the least it is given when the popup has
    // less room than the design's 430 pixels.
    static constexpr int designHeight = 330;
    static constexpr int minimumHeight = 240;

    explicit CardEditorArea(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardEditorArea)

    [[nodiscard]] FocusableTextView *editor() const { return m_editor; }
    [[nodiscard]] CardToast *toast() const { return m_toast; }

private:
    PinlarkStore &m_store;
    FocusableTextView *m_editor = nullptr;
    CardToast *m_toast = nullptr;
};
