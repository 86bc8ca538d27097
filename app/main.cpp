#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream(stdout) << "Korvel Recorder " << KORVEL_VERSION_MAJOR << '.' << KORVEL_VERSION_MINOR << '.'
                        << KORVEL_VERSION_PATCH << '\n';
    return 0;
}
