#pragma once

#include "store/PinlarkStore.h"
#include "store/SoundPlayer.h"

#include <QString>

// Pieces both benchmark executables share: a silent sound player and the environment of a
// store that reads and writes a given folder, runs on a fixed clock and prints nothing.
class SilentSoundPlayer final : public SoundPlayer
{
public:
    SilentSoundPlayer() = default;
    Q_DISABLE_COPY_MOVE(SilentSoundPlayer)

    void play(Sound) override {}
};

// `sounds` may be null; the store plays nothing then either. The log prints nothing but
// counts its lines: the store logs only failures, and a figure measured across one is void.
[[nodiscard]] PinlarkStore::Environment benchEnvironment(const QString &folder,
                                                         SoundPlayer *sounds = nullptr);
[[nodiscard]] int storeLogLines();

// Writes a generated stack of `cardCount` cards as notes.json in `folder`; returns the size
// of the file in bytes, or -1 when it could not be written.
[[nodiscard]] qint64 writeNotesFile(const QString &folder, qsizetype cardCount);
