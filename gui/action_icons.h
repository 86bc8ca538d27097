#ifndef ACTION_ICONS_H
#define ACTION_ICONS_H

#include <QIcon>
#include <QString>

class QMainWindow;

// The drawing of an image of the resources, e.g. "play": its SVG for any size and
// scale, and its PNG for the size it was drawn at and for systems without the SVG
// icon engine.
QIcon scalableIcon(const QString &name);

// Gives the window's tool-bar actions, found by their object names, and the window
// itself the scalable drawings. Dialogs copy the window's icon when they are
// created, so this belongs right after the form is set up.
void applyScalableIcons(QMainWindow *window);

#endif
