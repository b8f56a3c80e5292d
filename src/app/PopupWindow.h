#pragma once

#include <QPointer>
#include <QWidget>

// The window that hangs below the tray icon and holds the card view: frameless, above other
// windows, out of the taskbar and the window switcher. It is a tool window rather than a
// Qt::Popup, which would grab the pointer and keyboard and hide its controls from screen
// readers.
//
// It is transient: when another application takes the focus (a click elsewhere, a switch of
// windows) it hides itself and says so through closedByDeactivation(). Our own menus and
// dialogs (the actions menu, the export dialog) taking the focus do not close it.
class PopupWindow final : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize contentSize{420, 430};
    // Space between the tray icon and the popup.
    static constexpr int anchorGap = 4;

    explicit PopupWindow(QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(PopupWindow)

    // Takes `content` into the window, filling it.
    void setContent(QWidget *content);
    [[nodiscard]] QWidget *content() const { return m_content; }

    // Where a window of `size` goes for an icon at `anchor`: centred under it, or over it
    // when there is no room below, and kept inside `available` (the screen's free area;
    // an empty `available` means no screen is known and nothing is clamped).
    [[nodiscard]] static QPoint placement(const QRect &anchor, QSize size, const QRect &available);
    // The free area of the screen that shows `point`, else of the primary screen, else an
    // empty rectangle.
    [[nodiscard]] static QRect availableAround(QPoint point);

    // Moves the window next to `anchor` and shows it with the keyboard focus.
    void openAt(const QRect &anchor);

signals:
    void closedByDeactivation();

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void closeIfFocusLeftApp();
    void updateShape();

    QPointer<QWidget> m_content;
    bool m_translucent = false;
    // Counts the times the popup was hidden, so a check queued while it was shown can tell.
    quint64 m_showing = 0;
};
