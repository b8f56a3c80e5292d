#pragma once

#include "model/NoteCard.h"
#include "store/PinlarkStore.h"

#include <QObject>

#include <utility>

// Calls `redraw` after each change of a published field of the store, for as long as
// `context` lives. The card's parts redraw on every change, as each may change what they
// show; each compares before it touches a widget, so an unchanged part costs little.
template<typename Redraw> void redrawOnChange(PinlarkStore &store, QObject *context, Redraw redraw)
{
    QObject::connect(&store, &PinlarkStore::cardsChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::activeIndexChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::selectedTagChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::showSyncChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::passportCodeChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::isSyncingChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::syncStatusMessageChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::shortcutNoticeChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::findQueryChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::canUndoDeleteChanged, context, redraw);
    QObject::connect(&store, &PinlarkStore::shortcutNoticeTextChanged, context, std::move(redraw));
}

// The card the view shows: the store's current one, or the welcome card's values where
// there is none (the editor then shows no text; see CardEditorArea).
[[nodiscard]] inline NoteCard shownCard(const PinlarkStore &store)
{
    const std::optional<NoteCard> current = store.currentCard();
    return current ? *current : NoteCard::defaultCard();
}
