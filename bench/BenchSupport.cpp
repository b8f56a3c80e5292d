#include "bench/BenchSupport.h"

#include "bench/StackGenerator.h"
#include "store/NotesFile.h"

#include <QFileInfo>

#include <cstdio>

namespace {

// 2025-03-01 12:00 UTC: after every generated edit, so saves look like today's.
constexpr double fixedNow = 762'523'200.0;

int logLines = 0;

} // namespace

PinlarkStore::Environment benchEnvironment(const QString &folder, SoundPlayer *sounds)
{
    PinlarkStore::Environment environment;
    environment.sounds = sounds;
    environment.notesFolder = folder;
    environment.clock = [] { return Timestamp{fixedNow}; };
    environment.log = [](const QString &) { ++logLines; };
    return environment;
}

int storeLogLines()
{
    return logLines;
}

qint64 writeNotesFile(const QString &folder, qsizetype cardCount)
{
    NotesFile file(folder, [] { return Timestamp{fixedNow}; });
    const Result<bool> saved = file.save(StackGenerator().stack(cardCount));
    if (!saved) {
        std::fprintf(stderr, "could not write the notes file: %s\n", qUtf8Printable(saved.error()));
        return -1;
    }
    return QFileInfo(file.path()).size();
}
