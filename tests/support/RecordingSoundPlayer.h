#pragma once

#include "store/SoundPlayer.h"

#include <QStringList>

// Remembers every cue by name instead of playing it.
class RecordingSoundPlayer final : public SoundPlayer
{
public:
    RecordingSoundPlayer() = default;
    Q_DISABLE_COPY_MOVE(RecordingSoundPlayer)

    void play(Sound sound) override;

    QStringList played;
};
