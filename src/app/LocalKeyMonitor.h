#pragma once

#include <QObject>

#include <functional>

class QKeyEvent;

// Sees the keys typed into one window before any of its widgets or shortcuts do, and takes
// two of them away from them: Escape, with any modifiers, and Space with Alt held (other
// modifiers may be held too). Every other key passes unchanged.
//
// It filters the whole application, since a key goes first to the focused widget, and only
// acts on keys whose target lies in the watched window: the actions menu and dialogs keep
// their own Escape.
class LocalKeyMonitor final : public QObject
{
    Q_OBJECT

public:
    LocalKeyMonitor(QWidget *window, std::function<void()> onEscape,
                    std::function<void()> onAltSpace, QObject *parent = nullptr);
    ~LocalKeyMonitor() override;
    Q_DISABLE_COPY_MOVE(LocalKeyMonitor)

    enum class Claim { None, Escape, AltSpace };
    [[nodiscard]] static Claim claimOf(const QKeyEvent &event);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    std::function<void()> m_onEscape;
    std::function<void()> m_onAltSpace;
};
