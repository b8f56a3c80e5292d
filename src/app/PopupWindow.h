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
// dialogs (the actions menu, the export dialog) taking the focus do not close it; a dialog
// made the popup's own with adoptDialog() stacks above it, and when it closes the popup has
// the keyboard again.
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

    // Where the popup goes, and how large it is, for an icon at `anchor`: whole inside
    // `available` (the screen's free area, in logical pixels) and never over the icon. The
    // first of these that holds `preferred` wins: below the icon, above it (a panel at the
    // bottom), right of it, left of it (a panel at a side). Where none does, the first that
    // holds `minimum` (what the content needs), and the popup shrinks to it; where none holds
    // even that, the one that leaves the largest popup. Below and above, the popup is centred
    // on the icon's middle column; beside it, on its middle row; then moved to stay inside.
    // An empty `available` means no screen is known: centred under the icon, nothing clamped.
    [[nodiscard]] static QRect placement(const QRect &anchor, QSize preferred, QSize minimum,
                                         const QRect &available);
    // The free area of the screen that shows `point`, else of the primary screen, else an
    // empty rectangle.
    [[nodiscard]] static QRect availableAround(QPoint point);

    // Sizes and moves the window next to `anchor` (placement()) and shows it with the
    // keyboard focus.
    void openAt(const QRect &anchor);

    // Makes `dialog`, a top-level window not yet shown, one of the popup's own: a dialog
    // transient for the popup and, like it, above other windows, so that every window
    // manager stacks it over the popup. While it has the focus the popup stays open; once it
    // hides (any answer, or deleted), the popup, if still open, takes the keyboard back and
    // says so with keyboardReturned().
    void adoptDialog(QWidget *dialog);

signals:
    void closedByDeactivation();
    // The popup is the active window again after one of its dialogs closed.
    void keyboardReturned();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void closeIfFocusLeftApp();
    void takeKeyboardBack();
    void activate();
    void updateShape();

    QPointer<QWidget> m_content;
    bool m_translucent = false;
    // Counts the times the popup was hidden, so a check queued while it was shown can tell.
    quint64 m_showing = 0;
};
