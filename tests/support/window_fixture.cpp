#include "window_fixture.h"

#include "modal_answerer.h"

#include <QAction>
#include <QStringList>
#include <QTextEdit>
#include <QWidget>

namespace Fixture {

bool trigger(QWidget *window, const char *name)
{
    QAction *found = window->findChild<QAction *>(QLatin1String(name));
    if (!found || !found->isEnabled())
        return false;
    found->trigger();
    return true;
}

bool triggerWithFile(QWidget *window, const char *name, const QString &fileName)
{
    const auto dialog = Modal::answerNextFileDialog(fileName);
    return trigger(window, name) && dialog->seen;
}

QString enabling(QWidget *window)
{
    QStringList on;
    for (const char *name : {"actionOpen", "actionPlay", "actionSave_as", "actionPause", "actionStop", "actionRecord",
                             "actionPreview", "menuSettings", "playSlider", "cb_disableView"}) {
        // Actions and widgets both have the property.
        const QObject *control = window->findChild<QObject *>(QLatin1String(name));
        if (control && control->property("enabled").toBool())
            on << QLatin1String(name);
    }
    return on.join(QLatin1Char(' '));
}

QString text(QWidget *window, const char *name)
{
    const QObject *shown = window->findChild<QObject *>(QLatin1String(name));
    const char *property = qobject_cast<const QTextEdit *>(shown) ? "plainText" : "text";
    return shown ? shown->property(property).toString() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

}
