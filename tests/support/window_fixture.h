#ifndef WINDOW_FIXTURE_H
#define WINDOW_FIXTURE_H

#include "fixture.h"

#include <QString>

class QWidget;

// What the window tests add: actions found by name and the controls' texts.
namespace Fixture {

// Triggers the action only when it is enabled, as a user could; false otherwise.
bool trigger(QWidget *window, const char *name);
// Triggers the action and answers the file dialog it opens with `fileName`
// (empty cancels); false when the action was disabled or no dialog came.
bool triggerWithFile(QWidget *window, const char *name, const QString &fileName);

// The ten controls the mode decides, the enabled ones in one string so a failure shows them all.
QString enabling(QWidget *window);
// What the QLabel or QTextEdit `name` shows.
QString text(QWidget *window, const char *name);

}

#endif
