#include "app/CanberraSoundPlayer.h"

#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;

class TestCanberraSoundPlayer final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyCueIsInTheFreedesktopTheme_data();
    void everyCueIsInTheFreedesktopTheme();
    void playsWithoutASoundServer();
};

void TestCanberraSoundPlayer::everyCueIsInTheFreedesktopTheme_data()
{
    QTest::addColumn<SoundPlayer::Sound>("sound");
    for (const auto sound : {SoundPlayer::Sound::Tink, SoundPlayer::Sound::Pop,
                             SoundPlayer::Sound::Basso, SoundPlayer::Sound::Glass})
        QTest::newRow(qPrintable(SoundPlayer::name(sound))) << sound;
}

// A misspelt event id is silently skipped by libcanberra, so only this check would notice.
void TestCanberraSoundPlayer::everyCueIsInTheFreedesktopTheme()
{
    QFETCH(SoundPlayer::Sound, sound);
    const QString file = u"/usr/share/sounds/freedesktop/stereo/"_s +
                         QString::fromLatin1(CanberraSoundPlayer::eventId(sound)) + u".oga"_s;
    QVERIFY2(QFileInfo::exists(file), qPrintable(file));
}

// Test machines have no sound card and no server: playing must neither block nor crash, and
// destroying the player must end its thread cleanly.
void TestCanberraSoundPlayer::playsWithoutASoundServer()
{
    CanberraSoundPlayer player;
    for (int i = 0; i < 3; ++i) {
        player.play(SoundPlayer::Sound::Pop);
        player.play(SoundPlayer::Sound::Glass);
    }
    // Give the sound thread time to open its context and try the plays before teardown.
    QTest::qWait(300);
    player.play(SoundPlayer::Sound::Basso);
}

QTEST_GUILESS_MAIN(TestCanberraSoundPlayer)
#include "tst_canberrasoundplayer.moc"
