#include "model/NotePastel.h"

using namespace Qt::StringLiterals;

namespace NotePastel {

namespace {

QColor rgb(float red, float green, float blue)
{
    return QColor::fromRgbF(red, green, blue);
}

} // namespace

QColor yellow()
{
    return rgb(0.996f, 0.941f, 0.541f);
}
QColor mint()
{
    return rgb(0.655f, 0.953f, 0.816f);
}
QColor lavender()
{
    return rgb(0.914f, 0.835f, 1.0f);
}
QColor peach()
{
    return rgb(0.996f, 0.843f, 0.667f);
}
QColor sky()
{
    return rgb(0.729f, 0.902f, 0.992f);
}

QColor paper()
{
    return rgb(1.0f, 0.98f, 0.941f);
}
QColor cardBg()
{
    return rgb(1.0f, 1.0f, 1.0f);
}
QColor ink()
{
    return rgb(0.118f, 0.09f, 0.078f);
}
QColor inkSoft()
{
    return rgb(0.384f, 0.345f, 0.329f);
}
QColor inkMuted()
{
    return rgb(0.608f, 0.561f, 0.533f);
}

const QStringList &allKeys()
{
    static const QStringList keys{u"yellow"_s, u"mint"_s, u"lavender"_s, u"peach"_s, u"sky"_s};
    return keys;
}

QColor colorFor(QStringView key)
{
    if (key == u"mint")
        return mint();
    if (key == u"lavender")
        return lavender();
    if (key == u"peach")
        return peach();
    if (key == u"sky")
        return sky();
    return yellow();
}

} // namespace NotePastel
