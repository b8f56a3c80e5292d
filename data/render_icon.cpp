// Renders one SVG icon to a square PNG at build time, so the package can ship the fixed
// sizes that launchers and software centres look for without an SVG loader of their own.
//
//     pinlark_render_icon INPUT.svg SIZE OUTPUT.png

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QString>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int largestSize = 1024;

int fail(const QString &message)
{
    QTextStream(stderr) << "pinlark_render_icon: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return fail(u"usage: pinlark_render_icon INPUT.svg SIZE OUTPUT.png"_s);

    const QString input = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[3]);
    bool isNumber = false;
    const int size = QByteArray(argv[2]).toInt(&isNumber);
    if (!isNumber || size < 1 || size > largestSize)
        return fail(u"size must be a whole number from 1 to %1, not '%2'"_s.arg(
            QString::number(largestSize), QString::fromLocal8Bit(argv[2])));

    QSvgRenderer renderer(input);
    if (!renderer.isValid())
        return fail(u"cannot read '%1' as SVG"_s.arg(input));

    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
    }

    // A build stopped half way must not leave a truncated PNG that looks up to date.
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly))
        return fail(u"cannot write '%1': %2"_s.arg(output, file.errorString()));
    if (!image.save(&file, "PNG"))
        return fail(u"cannot encode '%1' as PNG"_s.arg(output));
    if (!file.commit())
        return fail(u"cannot write '%1': %2"_s.arg(output, file.errorString()));
    return 0;
}
