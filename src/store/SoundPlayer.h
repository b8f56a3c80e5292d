#pragma once

#include <QString>

// The short cues the store gives for its operations. Implementations play without
// blocking and stay silent where the desktop has no sound.
class SoundPlayer
{
public:
    enum class Sound { Tink, Pop, Basso, Glass };

    SoundPlayer() = default;
    virtual ~SoundPlayer() = default;
    Q_DISABLE_COPY_MOVE(SoundPlayer)

    virtual void play(Sound sound) = 0;

    // "Tink", "Pop", "Basso", "Glass".
    [[nodiscard]] static QString name(Sound sound);
};
