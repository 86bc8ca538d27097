#ifndef RECORDING_CONTROLLER_H
#define RECORDING_CONTROLLER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <cstdio>

class Korvel_Recorder_Thread;
class QCheckBox;
class QLabel;
class QMutex;
class QWidget;
struct UdpSocket;

// The window's recording path: receive socket, receiver thread, temporary
// recording, saving and the receive-rate meter. The window routes its Record,
// Preview, Stop and Save as commands and the receiver's reports here.
class RecordingController : public QObject
{
    Q_OBJECT

public:
    enum SaveOutcome { Saved, NotSaved, SaveFailed };

    // `window` parents the boxes and dialogs; `rateLabel` shows the receive rate;
    // `disableView` decides whether recorded datagrams are shown.
    RecordingController(QWidget *window, QLabel *rateLabel, QCheckBox *disableView);
    ~RecordingController() override;

    // Start receiving on `port`; false after telling the user why.
    bool startRecording(uint16_t port, const QString &portText);
    bool startPreview(uint16_t port);
    // The receiver's run: 2 recording, 4 previewing, 0 none.
    int receiverStatus() const;
    void stopPreview();
    // Ends a recording: offers to save it and drops the temporary recording
    // unless the save failed. Returns the saved file, or empty.
    QString stopRecording();

    // Asks for a target and copies the temporary recording (while one is open)
    // or `currentFile` there; `savedAs` is the target when Saved.
    SaveOutcome saveRecording(const QString &currentFile, QString &savedAs);
    // Flushed path of the open temporary recording, or empty when none is open.
    QString flushedTemporaryRecording();

    // A receiver report: counts it and hands the latest datagram to `displayText` when shown.
    void report(int status, QByteArray &displayText);
    int datagramsReceived() const { return receivedCount; }
    void forgetDatagrams() { receivedCount = 0; }

    // Rate meter: reset (clear) or count one arrival; show the rate in the label.
    void updateListFrequency(bool clear);
    void updateLabelFrequency();

    QString saveDirectory() const { return saveFileDir; }
    void setSaveDirectory(const QString &directory) { saveFileDir = directory; }

signals:
    // The receiver thread's status reports, queued to the window's thread.
    void status(int status);

private:
    bool openReceiveSocket(uint16_t port);
    void closeReceiveSocket();
    void armRateMeter();
    void startReceiver(bool recording);
    void stopReceiving();
    void warnAboutFailedWrites();
    void closeTemporaryRecording(bool remove);

    QWidget *window;
    QLabel *rateLabel;
    QCheckBox *disableView;

    QString tempFileName;
    FILE *recordFile = nullptr;
    Korvel_Recorder_Thread *receiverThread = nullptr;
    UdpSocket *receiveSocket = nullptr;
    QString recordPortText;
    QString saveFileDir;
    int receivedCount = 0;
    bool rateWarmUp = false;
    QList<uint32_t> arrivalTimes;
    QMutex *arrivalMutex = nullptr;
};

#endif
