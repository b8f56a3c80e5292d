#include "store/SoundPlayer.h"

using namespace Qt::StringLiterals;

QString SoundPlayer::name(Sound sound)
{
    switch (sound) {
    case Sound::Tink:
        return u"Tink"_s;
    case Sound::Pop:
        return u"Pop"_s;
    case Sound::Basso:
        return u"Basso"_s;
    case Sound::Glass:
        return u"Glass"_s;
    }
    Q_UNREACHABLE();
    return {};
}
