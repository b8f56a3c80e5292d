#pragma once

#include "model/NoteCard.h"

#include <QByteArrayView>
#include <QList>

#include <optional>

// Reads a notes file or payload as it is almost always written, by us or another client: an
// array of flat card objects whose members are the known ones, each once, with values of the
// right type. The cards are built straight from the bytes; Qt's parser first builds a
// document and copies every string that holds an escape (any line break) one character at a
// time, which costs several times more and twice the memory on a large stack.
//
// It answers nothing for anything else, and for anything it might not read exactly as Qt's
// parser does (any error, an unknown or repeated member, a lone surrogate, a leading
// byte-order mark in a string): the caller then reads the bytes with QJsonDocument, which
// stays the authority on what a file means and on how its errors are worded.
namespace CardJsonReader {

[[nodiscard]] std::optional<QList<NoteCard>> read(QByteArrayView json);

} // namespace CardJsonReader
