#include "ui/ButtonAccessible.h"

#include "ui/CardButton.h"
#include "ui/ColorDot.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>

namespace {

class CardButtonAccessible final : public QAccessibleWidget
{
public:
    explicit CardButtonAccessible(QAbstractButton *button)
        : QAccessibleWidget(button, QAccessible::Button)
    {}
    Q_DISABLE_COPY_MOVE(CardButtonAccessible)

    [[nodiscard]] QAccessible::Role role() const override
    {
        // A chip becomes checkable after it is made: asked each time.
        return button()->isCheckable() ? QAccessible::CheckBox : QAccessible::Button;
    }

    [[nodiscard]] QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        if (button()->isCheckable()) {
            state.checkable = true;
            state.checked = button()->isChecked();
        }
        state.pressed = button()->isDown();
        return state;
    }

    [[nodiscard]] QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name) {
            const QString name = widget()->accessibleName();
            if (!name.isEmpty())
                return name;
            if (!button()->text().isEmpty())
                return button()->text();
        }
        return QAccessibleWidget::text(kind);
    }

    [[nodiscard]] QStringList actionNames() const override
    {
        QStringList names;
        if (widget()->isEnabled()) {
            names.append(pressAction());
            if (button()->isCheckable())
                names.append(toggleAction());
        }
        return names + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &action) override
    {
        if (action == pressAction() || action == toggleAction()) {
            // Synchronous, as a key press on a focused button is: the caller may read the
            // outcome as soon as the call returns.
            if (widget()->isEnabled())
                button()->click();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    [[nodiscard]] QAbstractButton *button() const
    {
        return static_cast<QAbstractButton *>(object());
    }
};

QAccessibleInterface *interfaceFor(const QString &className, QObject *object)
{
    if (className == QLatin1StringView(CardButton::staticMetaObject.className()) ||
        className == QLatin1StringView(ColorDot::staticMetaObject.className())) {
        if (auto *button = qobject_cast<QAbstractButton *>(object))
            return new CardButtonAccessible(button);
    }
    return nullptr;
}

} // namespace

void ButtonAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(&interfaceFor);
        return true;
    }();
    Q_UNUSED(installed)
}
