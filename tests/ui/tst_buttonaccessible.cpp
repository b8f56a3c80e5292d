#include "ui/CardButton.h"
#include "ui/ColorDot.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

enum class Kind { Button, CheckableButton, Dot };

std::unique_ptr<QAbstractButton> make(Kind kind)
{
    if (kind == Kind::Dot)
        return std::make_unique<ColorDot>(u"mint"_s);
    CardButton::Look look;
    auto button = std::make_unique<CardButton>(look);
    button->setText(u"#idea"_s);
    button->setCheckable(kind == Kind::CheckableButton);
    return button;
}

} // namespace

// What assistive technology may do with the card's buttons: whatever it runs, a click.
class TestButtonAccessible final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void actionsAreClicks_data();
    void actionsAreClicks();
    void disabledOffersNoPress();
};

void TestButtonAccessible::actionsAreClicks_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QAccessible::Role>("role");
    QTest::addColumn<QStringList>("actions");
    const QString press = QAccessibleActionInterface::pressAction();
    const QString toggle = QAccessibleActionInterface::toggleAction();
    const QString focus = QAccessibleActionInterface::setFocusAction();
    QTest::newRow("button") << Kind::Button << QAccessible::Button << QStringList{press, focus};
    QTest::newRow("chip") << Kind::CheckableButton << QAccessible::CheckBox
                          << QStringList{press, toggle, focus};
    QTest::newRow("colour dot") << Kind::Dot << QAccessible::CheckBox
                                << QStringList{press, toggle, focus};
}

void TestButtonAccessible::actionsAreClicks()
{
    QFETCH(Kind, kind);
    QFETCH(QAccessible::Role, role);
    QFETCH(QStringList, actions);
    const std::unique_ptr<QAbstractButton> button = make(kind);
    button->setAccessibleName(u"Named"_s);
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(button.get());
    QVERIFY(iface);
    QCOMPARE(iface->role(), role);
    QCOMPARE(iface->text(QAccessible::Name), u"Named"_s);
    QAccessibleActionInterface *action = iface->actionInterface();
    QVERIFY(action);
    QCOMPARE(action->actionNames(), actions);

    // Every action but the focus one clicks, and leaves the checked state to the owner.
    QSignalSpy clicks(button.get(), &QAbstractButton::clicked);
    for (const QString &name : actions.mid(0, actions.size() - 1))
        action->doAction(name);
    QCOMPARE(clicks.count(), actions.size() - 1);
    QVERIFY(!button->isChecked());
    QVERIFY(!iface->state().checked);
    if (button->isCheckable()) {
        QVERIFY(iface->state().checkable);
        button->setChecked(true);
        QVERIFY(iface->state().checked);
        action->doAction(actions.first());
        QVERIFY(button->isChecked());
    }
}

void TestButtonAccessible::disabledOffersNoPress()
{
    const std::unique_ptr<QAbstractButton> button = make(Kind::CheckableButton);
    button->setEnabled(false);
    QAccessibleActionInterface *action =
        QAccessible::queryAccessibleInterface(button.get())->actionInterface();
    QVERIFY(!action->actionNames().contains(QAccessibleActionInterface::pressAction()));
    QSignalSpy clicks(button.get(), &QAbstractButton::clicked);
    action->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(clicks.count(), 0);
}

QTEST_MAIN(TestButtonAccessible)
#include "tst_buttonaccessible.moc"
