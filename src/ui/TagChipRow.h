#pragma once

#include <QScrollArea>
#include <QStringList>

#include <optional>
#include <vector>

class CardButton;
class PinlarkStore;
class QHBoxLayout;

// The row of tag chips under the header, shown while some card has a tag: "All" and one chip
// per tag, scrolling sideways. Pressing a chip filters the stack through the store.
class TagChipRow final : public QScrollArea
{
    Q_OBJECT

public:
    explicit TagChipRow(PinlarkStore &store, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(TagChipRow)

    // What pressing the chip of `tag` does; none: the "All" chip.
    void press(const std::optional<QString> &tag);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    CardButton *addChip();

    PinlarkStore &m_store;
    QWidget *m_strip = nullptr;
    QHBoxLayout *m_layout = nullptr;
    std::vector<CardButton *> m_chips;               // "All" first
    std::vector<std::optional<bool>> m_chipSelected; // as last drawn; none: not yet
    QStringList m_tags;
    qsizetype m_cardCount = -1;
};
