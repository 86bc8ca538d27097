// Renders an SVG drawing to square PNGs, so that the desktop's fixed-size icons
// come from the same drawing as the window's.
// Usage: korvel-render-icon DRAWING.svg SIZE OUTPUT.png [SIZE OUTPUT.png ...]

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4 || args.size() % 2) {
        std::fprintf(stderr, "usage: korvel-render-icon DRAWING.svg SIZE OUTPUT.png [SIZE OUTPUT.png ...]\n");
        return 2;
    }
    QSvgRenderer renderer(args.at(1));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "korvel-render-icon: cannot read %s\n", qPrintable(args.at(1)));
        return 1;
    }
    for (int i = 2; i + 1 < args.size(); i += 2) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size < 1 || size > 4096) {
            std::fprintf(stderr, "korvel-render-icon: bad size %s\n", qPrintable(args.at(i)));
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        if (!image.save(args.at(i + 1), "PNG")) {
            std::fprintf(stderr, "korvel-render-icon: cannot write %s\n", qPrintable(args.at(i + 1)));
            return 1;
        }
    }
    return 0;
}
