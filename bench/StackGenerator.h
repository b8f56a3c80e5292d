#pragma once

#include "model/NoteCard.h"

#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

// Makes stacks of cards that look like a long-time user's: a few hundred characters of words
// per card over several lines, checklist items, accents, an emoji and dashes, a handful of
// "#tags" from a shared vocabulary, all five colours, a few pinned cards and two years of
// creation and edit times. The same seed always gives the same stack.
class StackGenerator final
{
public:
    struct Shape
    {
        qsizetype cardCount = 10'000;
        qsizetype contentLength = 400; // characters of text per card, tags included
        int tagsPerCard = 3;
        int pinnedPercent = 5;
    };

    explicit StackGenerator(quint32 seed = defaultSeed);

    // A whole stack, ordered as the app keeps it: pinned cards first, then the most recently
    // edited.
    [[nodiscard]] QList<NoteCard> stack(const Shape &shape);
    [[nodiscard]] QList<NoteCard> stack(qsizetype cardCount);

    // One card's text; exposed so a benchmark can make edits that read like real ones.
    [[nodiscard]] QString content(qsizetype length, int tagCount);

    // The tags cards are drawn from, each with its "#".
    [[nodiscard]] static const QStringList &tagVocabulary();

    static constexpr quint32 defaultSeed = 20'250'301;

private:
    [[nodiscard]] NoteCard card(const Shape &shape);
    [[nodiscard]] QString word();
    [[nodiscard]] QString makeId();
    [[nodiscard]] QStringList pickTags(int count);

    QRandomGenerator m_random;
    // Ends of the window the cards were written in, seconds since the reference instant.
    double m_newest;
    double m_oldest;
};
