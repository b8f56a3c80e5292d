#pragma once

#include "model/NoteCard.h"
#include "model/NoteJSON.h"

#include <QTest>

using namespace Qt::StringLiterals;

// Failure messages print cards and timestamps, not addresses.
inline char *toString(const Timestamp &timestamp)
{
    return QTest::toString(QString(NoteJSON::isoString(timestamp) + u" ("_s +
                                   QString::number(timestamp.secondsSinceReference, 'f', 6) +
                                   u')'));
}

inline char *toString(const NoteCard &card)
{
    const QString pin = card.isPinned ? (*card.isPinned ? u"true"_s : u"false"_s) : u"absent"_s;
    return QTest::toString(
        QString(u"NoteCard(id="_s + card.id + u", color="_s + card.color + u", pinned="_s + pin +
                u", createdAt="_s + QString::number(card.createdAt.secondsSinceReference, 'f', 6) +
                u", updatedAt="_s + QString::number(card.updatedAt.secondsSinceReference, 'f', 6) +
                u", content=\""_s + card.content + u"\")"_s));
}
