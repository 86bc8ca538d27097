#include "app/korvel_recorder.h"

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ostra"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvel Recorder"));
    const QString settingsDir = QStandardPaths::writableLocation(QStandardPaths::HomeLocation)
                                + QLatin1String("/.Ostra/Korvel_Recorder");

    int result = 0;
    {
        // Destroyed before the application object: settings are written, the
        // receiver is joined and files are closed on the way out.
        Korvel_recorder window(settingsDir);
        window.show();
        result = app.exec();
    }
    return result;
}
