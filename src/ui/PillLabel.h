#pragma once

#include "ui/CardStyle.h"

#include <QColor>
#include <QLabel>
#include <QMargins>

// A line of text on a rounded fill with an outline: the counter badge and the toasts. It is a
// label to assistive technology, named by its text.
class PillLabel : public QLabel
{
    Q_OBJECT

public:
    using Look = CardStyle::PillLook;

    explicit PillLabel(const Look &look, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(PillLabel)

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Look m_look;
};
