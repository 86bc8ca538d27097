#include "recording_window_test.h"

#include "modal_answerer.h"
#include "window_fixture.h"

#include "gui/korvel_recorder.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace Fixture;

const QByteArray RecordingWindowTest::first("fr 1\r\nts 1.0\r\n1 2 3\r\n");
const QByteArray RecordingWindowTest::second("fr 2\r\nts 1.02\r\n1 2 3\r\n");
const QString RecordingWindowTest::idle =
    QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView");
const QString RecordingWindowTest::temporaryRecording = QDir::tempPath() + QLatin1String("/korvel_recorder_temp.wly");

RecordingWindowTest::RecordingWindowTest() = default;
RecordingWindowTest::~RecordingWindowTest() = default;

QByteArray RecordingWindowTest::frame(int number)
{
    return QByteArray("fr ") + QByteArray::number(number) + "\r\nts " + QByteArray::number(number) + "\r\n1 2 3\r\n";
}

void RecordingWindowTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    port = freePort();
    playPort = freePort();
    QFile::remove(temporaryRecording);
    SettingsFile settings;
    settings.recordPort = QString::number(port);
    settings.port1 = QString::number(playPort);
    settings.saveDir = dir->path();
    writeSettings(path("settings"), settings);
    window = std::make_unique<Korvel_recorder>(path("settings"));
}

void RecordingWindowTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
    QFile::remove(temporaryRecording);
}

bool RecordingWindowTest::sendAndWait(const QList<QByteArray> &datagrams, const QString &shownPart)
{
    for (const QByteArray &datagram : datagrams)
        if (!sender.send(datagram, port))
            return false;
    return QTest::qWaitFor([&] { return text(window.get(), "te_datadisplay").contains(shownPart); }, 5000);
}
