#pragma once

#include <QWidget>

class CardButton;
class PinlarkStore;
class QLabel;

// The notice after a delete, in the bottom-left corner of its parent while the store can
// still take the delete back: "Card deleted" and an Undo button, on the toast's yellow
// capsule. It stays in its corner while the parent resizes.
class CardUndoNotice final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int inset = 12;

    CardUndoNotice(PinlarkStore &store, QWidget *parent);
    Q_DISABLE_COPY_MOVE(CardUndoNotice)

    [[nodiscard]] CardButton *undoButton() const { return m_undo; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void place();

    PinlarkStore &m_store;
    QLabel *m_text = nullptr;
    CardButton *m_undo = nullptr;
};
