#include "cli/command_line.h"

#ifdef KORVEL_GUI
#include "gui/korvel_recorder.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QTimer>
#else
#include <cstdio>
#endif

int main(int argc, char *argv[])
{
    // A command runs headless: no display, no settings file.
    if (CommandLine::wanted(argc, argv))
        return CommandLine::run(argc, argv);

#ifdef KORVEL_GUI
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ostra"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvel Recorder"));
    const QString settingsDir = SettingsStore::defaultFolder();

    int result = 0;
    {
        // Destroyed before the application object: settings are written, the
        // receiver is joined and files are closed on the way out.
        Korvel_recorder window(settingsDir);
        window.show();
        // Once the window is on screen: a recording left behind by a crash is offered first.
        QTimer::singleShot(0, &window, &Korvel_recorder::offerAbandonedRecordings);
        result = app.exec();
    }
    return result;
#else
    std::fputs("korvel-recorder: this build has no window; give a command (see korvel-recorder --help)\n", stderr);
    return 2;
#endif
}
