#pragma once

#include <QImage>
#include <QList>
#include <QWidget>

class QPaintEvent;

// A small dialog laid over the whole card view: the view dimmed behind a backdrop clipped
// to the card's shape, and a card of the panel's own in its middle, with a soft shadow.
// The card's height follows its layout. Every click on the overlay is its own, none reaches
// the card beneath, and a click on the backdrop asks to close (backdropTapped()). Tab and
// Shift+Tab go round the controls of focusOrder(), never to the card beneath.
class CardOverlay : public QWidget
{
    Q_OBJECT

public:
    static constexpr int cardWidth = 320;

    ~CardOverlay() override;
    Q_DISABLE_COPY_MOVE(CardOverlay)

    // The panel card: a group for assistive technology, whose clicks stay on it.
    [[nodiscard]] QWidget *card() const { return m_card; }

protected:
    explicit CardOverlay(QWidget *parent);

    // Centres the card, as high as its layout asks at cardWidth.
    void placeCard();
    virtual void backdropTapped() = 0;
    [[nodiscard]] virtual QList<QWidget *> focusOrder() const = 0;

    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    [[nodiscard]] bool isOnBackdrop(const QPoint &position) const;

    QWidget *m_card = nullptr;
    bool m_pressedOnBackdrop = false;
    // Computed once per size: only the card's size changes the shadow.
    QImage m_shadow;
    QSize m_shadowCardSize;
};
