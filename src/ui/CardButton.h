#pragma once

#include "ui/CardStyle.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QMargins>
#include <QString>

#include <optional>

// A button drawn entirely by its label: an optional icon and text in a row, on an optional
// rounded fill with an optional outline. No bezel and no hover highlight; pressing dims it,
// a disabled one is drawn at 0.35 opacity, and keyboard focus shows as a ring.
class CardButton final : public QAbstractButton
{
    Q_OBJECT

public:
    using Look = CardStyle::ButtonLook;

    explicit CardButton(const Look &look, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardButton)

    [[nodiscard]] const Look &look() const { return m_look; }
    void setLook(const Look &look);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    // A checkable one shows state it is given (a selected chip, a pinned card); a click only
    // asks for the change.
    void nextCheckState() override {}

private:
    [[nodiscard]] int iconPixels() const;
    [[nodiscard]] QSize contentSize() const;

    Look m_look;
};
