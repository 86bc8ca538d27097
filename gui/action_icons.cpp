#include "gui/action_icons.h"

#include <QAction>
#include <QImageReader>
#include <QMainWindow>

namespace {

struct ActionImage {
    const char *action;
    const char *image;
};

const ActionImage actionImages[] = {
    {"actionOpen", "fileopen"}, {"actionSave_as", "filesave"}, {"actionPlay", "play"},     {"actionPause", "pause"},
    {"actionRecord", "record"}, {"actionStop", "stop"},        {"actionPreview", "preview"},
};

}

QIcon scalableIcon(const QString &name)
{
    // The first file decides the icon engine: with the SVG one, the PNG is used only
    // at exactly its own size, where it was drawn pixel by pixel.
    const QString base = QLatin1String(":/") + name;
    QIcon icon(base + QLatin1String(".svg"));
    const QImageReader png(base + QLatin1String(".png"));
    icon.addFile(base + QLatin1String(".png"), png.size());
    return icon;
}

void applyScalableIcons(QMainWindow *window)
{
    for (const ActionImage &entry : actionImages) {
        if (auto *action = window->findChild<QAction *>(QLatin1String(entry.action)))
            action->setIcon(scalableIcon(QLatin1String(entry.image)));
    }
    window->setWindowIcon(scalableIcon(QStringLiteral("korvel_recorder")));
}
