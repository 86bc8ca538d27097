#ifndef RECORDING_WINDOW_TEST_H
#define RECORDING_WINDOW_TEST_H

#include "fixture.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

class Korvel_recorder;

// What the window's recording tests share: for each test function and row a
// window over settings of its own, with free record and play ports, a folder of
// its own and no temporary recording left from before; a sender to its record port.
class RecordingWindowTest : public QObject
{
    Q_OBJECT

public:
    RecordingWindowTest();
    ~RecordingWindowTest() override;

protected:
    // 21 and 22 bytes: frame line, timestamp line and one body line, CR LF-ended.
    static const QByteArray first;
    static const QByteArray second;
    // The enabling while idle with nothing to play or save.
    static const QString idle;
    static const QString temporaryRecording;

    static QByteArray frame(int number);
    // Sends the datagrams and waits until the window has shown the last one.
    bool sendAndWait(const QList<QByteArray> &datagrams, const QString &shownPart);
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }

    // One per test function and row, so no save dialog asks about an earlier row's file.
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Korvel_recorder> window;
    uint16_t port = 0;
    uint16_t playPort = 0;
    Fixture::UdpPeer sender;

private slots:
    void init();
    void cleanup();
};

#endif
