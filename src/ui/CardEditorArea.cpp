#include "ui/CardEditorArea.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardToast.h"
#include "ui/FocusableTextView.h"
#include "ui/StoreRedraw.h"

#include <QScrollBar>
#include <QVBoxLayout>

#include <utility>

using namespace Qt::StringLiterals;

namespace {
constexpr int sidePadding = 14;
constexpr int verticalPadding = 10;
} // namespace

CardEditorArea::CardEditorArea(PinlarkStore &store, QWidget *parent)
    : CardBand(NotePastel::cardBg(), false, parent)
    , m_store(store)
{
    setObjectName(u"editorArea"_s);
    // The popup has a fixed size and the bands around the editor follow their fonts, so the
    // editor gives or takes the difference and the card always fills the popup exactly.
    setPreferredHeight(designHeight);
    setMinimumHeight(minimumHeight);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(sidePadding, verticalPadding, sidePadding, verticalPadding);

    FocusableTextView::TextBinding binding;
    // No current card (an empty stack): no text, rather than the welcome card's.
    binding.get = [this]() -> QString {
        const std::optional<NoteCard> card = m_store.currentCard();
        return card ? card->content : QString();
    };
    binding.set = [this](const QString &text) { m_store.updateCurrentCard(text); };
    m_editor = new FocusableTextView(
        std::move(binding), [this] { m_store.saveNotes(); }, this);
    m_editor->setObjectName(u"editor"_s);
    layout->addWidget(m_editor);
    // A slim scroller in the card's inks instead of the style's full-size one.
    m_editor->verticalScrollBar()->setStyleSheet(
        u"QScrollBar:vertical { width: 6px; background: transparent; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(30, 23, 20, 64);"
        " border-radius: 3px; min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical"
        " { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical"
        " { background: transparent; }"_s);

    m_toast = new CardToast(this);

    redrawOnChange(m_store, this, [this] { m_editor->updateFromBinding(); });
    m_editor->updateFromBinding();
}
