#include "tests/support/RecordingSoundPlayer.h"

void RecordingSoundPlayer::play(Sound sound)
{
    played.append(name(sound));
}
