#pragma once

#include <QAbstractButton>
#include <QString>

// One colour choice of the header: a 16-pixel circle of the key's colour, outlined in ink.
// The selected one has a heavier outline and is drawn 1.2 times larger about its centre,
// within room the widget keeps for that, so selecting never moves its neighbours.
class ColorDot final : public QAbstractButton
{
    Q_OBJECT

public:
    static constexpr int diameter = 16;
    static constexpr qreal selectedScale = 1.2;
    // The widget's side: the selected circle and its outline fit inside.
    static constexpr int side = 22;

    explicit ColorDot(const QString &key, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ColorDot)

    [[nodiscard]] const QString &key() const { return m_key; }
    // Shown as checked to assistive technology; only the store's state sets it.
    void setSelected(bool selected);
    [[nodiscard]] bool isSelected() const { return isChecked(); }

    [[nodiscard]] QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void nextCheckState() override;

private:
    QString m_key;
};
