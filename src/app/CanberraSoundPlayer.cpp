#include "app/CanberraSoundPlayer.h"

#include <QFile>
#include <QObject>

#include <canberra.h>

using namespace Qt::StringLiterals;

namespace {

struct SoundEvent
{
    SoundPlayer::Sound sound;
    const char *eventId;     // an event of the freedesktop sound theme
    const char *description; // read by screen readers and sound servers' logs
};

// Short, neutral cues from the freedesktop theme that every desktop ships.
constexpr SoundEvent soundEvents[] = {
    {SoundPlayer::Sound::Tink, "audio-volume-change", "Card changed"},
    {SoundPlayer::Sound::Pop, "message-new-instant", "Card added"},
    {SoundPlayer::Sound::Basso, "trash-empty", "Card deleted"},
    {SoundPlayer::Sound::Glass, "complete", "Done"},
};

const SoundEvent &eventFor(SoundPlayer::Sound sound)
{
    for (const SoundEvent &event : soundEvents) {
        if (event.sound == sound)
            return event;
    }
    Q_UNREACHABLE();
}

} // namespace

class CanberraSoundPlayer::Worker final : public QObject
{
public:
    Worker() = default;
    ~Worker() override
    {
        if (m_context)
            ca_context_destroy(m_context);
    }
    Q_DISABLE_COPY_MOVE(Worker)

    void play(SoundPlayer::Sound sound)
    {
        if (!m_context && !m_failed)
            open();
        if (!m_context)
            return;
        const SoundEvent &event = eventFor(sound);
        // Errors (no sound card, no theme, a busy server) are not worth telling anyone about:
        // the cue is a courtesy and the operation it accompanies has already happened.
        ca_context_play(m_context, 0, CA_PROP_EVENT_ID, event.eventId, CA_PROP_EVENT_DESCRIPTION,
                        event.description, CA_PROP_CANBERRA_CACHE_CONTROL, "permanent", nullptr);
    }

private:
    // PulseAudio's protocol is spoken by every desktop's sound server today (PipeWire
    // included). Plain ALSA is tried only where the kernel knows a sound card: without one,
    // libasound prints a screenful of errors on every attempt.
    void open()
    {
        for (const char *driver : {"pulse", "alsa"}) {
            if (qstrcmp(driver, "alsa") == 0 && !hasSoundCard())
                continue;
            if (tryOpen(driver))
                return;
        }
        m_failed = true;
    }

    bool tryOpen(const char *driver)
    {
        if (ca_context_create(&m_context) != CA_SUCCESS) {
            m_context = nullptr;
            return false;
        }
        ca_context_set_driver(m_context, driver);
        ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "Pinlark",
                                CA_PROP_APPLICATION_ID, "app.pinlark.Pinlark", nullptr);
        if (ca_context_open(m_context) == CA_SUCCESS)
            return true;
        ca_context_destroy(m_context);
        m_context = nullptr;
        return false;
    }

    static bool hasSoundCard()
    {
        QFile cards(u"/proc/asound/cards"_s);
        if (!cards.open(QIODevice::ReadOnly))
            return false;
        return !cards.readAll().contains("no soundcards");
    }

    ca_context *m_context = nullptr;
    bool m_failed = false;
};

CanberraSoundPlayer::CanberraSoundPlayer()
{
    m_thread.setObjectName(u"Pinlark sounds"_s);
}

CanberraSoundPlayer::~CanberraSoundPlayer()
{
    m_thread.quit();
    m_thread.wait();
}

const char *CanberraSoundPlayer::eventId(Sound sound)
{
    return eventFor(sound).eventId;
}

void CanberraSoundPlayer::play(Sound sound)
{
    if (!m_worker) {
        m_worker = new Worker;
        m_worker->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        m_thread.start(QThread::LowPriority);
    }
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, sound] { worker->play(sound); }, Qt::QueuedConnection);
}
