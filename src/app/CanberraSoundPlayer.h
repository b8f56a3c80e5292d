#pragma once

#include "store/SoundPlayer.h"

#include <QThread>

#include <memory>

struct ca_context;

// Plays the store's cues as freedesktop sound-theme events through libcanberra. The
// context is opened on first use, on a thread of its own, so neither start-up nor the GUI
// thread ever waits for a sound server; where there is none, every play is a silent no-op.
class CanberraSoundPlayer final : public SoundPlayer
{
public:
    CanberraSoundPlayer();
    ~CanberraSoundPlayer() override;
    Q_DISABLE_COPY_MOVE(CanberraSoundPlayer)

    void play(Sound sound) override;

    // The sound-theme event that stands for each cue; one table for the whole program.
    [[nodiscard]] static const char *eventId(Sound sound);

private:
    class Worker;
    QThread m_thread;
    Worker *m_worker = nullptr; // lives on m_thread
};
