#pragma once

#include "ui/PillLabel.h"

#include <optional>

class QGraphicsOpacityEffect;
class QParallelAnimationGroup;

// The notice pill in the bottom-right corner of its parent: it slides in from the bottom
// edge fading in, and leaves the same way. It stays in its corner while the parent resizes.
class CardToast final : public PillLabel
{
    Q_OBJECT

public:
    static constexpr int inset = 12;
    static constexpr int animationMs = 220;

    explicit CardToast(QWidget *parent);
    Q_DISABLE_COPY_MOVE(CardToast)

    // Shows `text`, or leaves when it is none. A new text while shown replaces the old in
    // place.
    void showNotice(const std::optional<QString> &text);

    // One line as long as the text, but never wider than the parent leaves between its
    // insets: a longer text wraps onto more lines.
    [[nodiscard]] QSize sizeHint() const override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void slide(bool in);
    [[nodiscard]] QPoint restingPlace() const;

    QGraphicsOpacityEffect *m_opacity = nullptr;
    QParallelAnimationGroup *m_animation = nullptr;
    bool m_shown = false;
};
