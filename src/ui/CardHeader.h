#pragma once

#include "ui/CardBand.h"

#include <vector>

class CardButton;
class ColorDot;
class PillLabel;
class PinlarkStore;

// The top band of the card: previous and next with the counter between them, the colour
// dots and New. It draws itself from the store and calls the store's operations.
class CardHeader final : public CardBand
{
    Q_OBJECT

public:
    explicit CardHeader(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardHeader)

    // Whether previous and next can be pressed; their shortcuts follow.
    [[nodiscard]] bool canStepBack() const;
    [[nodiscard]] bool canStepForward() const;

private:
    void refresh();

    PinlarkStore &m_store;
    CardButton *m_previous = nullptr;
    PillLabel *m_badge = nullptr;
    CardButton *m_next = nullptr;
    std::vector<ColorDot *> m_dots;
    CardButton *m_newButton = nullptr;
};
