#pragma once

#include <QColor>
#include <QLabel>
#include <QMargins>

// A line of text on a rounded fill with an outline: the counter badge and the toasts. It is a
// label to assistive technology, named by its text.
class PillLabel final : public QLabel
{
    Q_OBJECT

public:
    struct Look
    {
        QFont font;
        QColor textColor;
        QMargins padding;
        QColor fill;
        QColor stroke;
        qreal strokeWidth = 1.5;
        qreal radius = 6; // large: a capsule
    };

    explicit PillLabel(const Look &look, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(PillLabel)

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Look m_look;
};
