#include "PlainCardWindow.h"

#include "PinlarkStore.h"

#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

PlainCardWindow::PlainCardWindow(PinlarkStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_editor(new QPlainTextEdit(this))
    , m_position(new QLabel(this))
{
    setWindowTitle(u"Pinlark"_s);
    resize(420, 430);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_position);
    layout->addWidget(m_editor);
    m_editor->setAccessibleName(u"Card text"_s);

    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_updating)
            m_store.updateCurrentCard(m_editor->toPlainText());
    });
    connect(&m_store, &PinlarkStore::activeIndexChanged, this, &PlainCardWindow::showCurrentCard);
    connect(&m_store, &PinlarkStore::cardsChanged, this, &PlainCardWindow::showCurrentCard);

    auto shortcut = [this](QKeySequence keys, auto action) {
        connect(new QShortcut(keys, this), &QShortcut::activated, &m_store, action);
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Left), &PinlarkStore::prevCard);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Right), &PinlarkStore::nextCard);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_N), &PinlarkStore::addCard);

    showCurrentCard();
    m_editor->setFocus();
}

void PlainCardWindow::showCurrentCard()
{
    const auto card = m_store.currentCard();
    const QString text = card ? card->content : QString();
    if (text != m_editor->toPlainText()) {
        m_updating = true;
        m_editor->setPlainText(text);
        m_editor->moveCursor(QTextCursor::End);
        m_updating = false;
    }
    m_position->setText(u"Card "_s + QString::number(m_store.currentFilteredIndex() + 1) +
                        u" of "_s + QString::number(m_store.activeCardIndices().size()));
}
