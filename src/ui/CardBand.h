#pragma once

#include <QColor>
#include <QWidget>

#include <optional>

class PinlarkStore;

// A band of the card view: an optional fill and an optional hairline along its top edge.
class CardBand : public QWidget
{
    Q_OBJECT

public:
    explicit CardBand(std::optional<QColor> fill, bool topHairline, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardBand)

    // The height the band asks for, whatever its content would ask; 0: its content's.
    void setPreferredHeight(int height);
    [[nodiscard]] QSize sizeHint() const override;

    [[nodiscard]] const std::optional<QColor> &fill() const { return m_fill; }
    void setFill(const QColor &fill);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<QColor> m_fill;
    bool m_topHairline;
    int m_preferredHeight = 0;
};

// The strip between the header and the editor, in the colour of the shown card.
class AccentStrip final : public CardBand
{
    Q_OBJECT

public:
    static constexpr int thickness = 5;

    AccentStrip(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(AccentStrip)

private:
    void refresh();

    PinlarkStore &m_store;
};
