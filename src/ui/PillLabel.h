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
    [[nodiscard]] const Look &look() const { return m_look; }
    // How the text is laid out in the pill; a text that does not fit wraps between words.
    static constexpr int textFlags = Qt::AlignCenter | Qt::TextWordWrap;

private:
    Look m_look;
};
