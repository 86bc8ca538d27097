#ifndef RECORDING_CONTROLLER_H
#define RECORDING_CONTROLLER_H

#include "record/recording_saver.h"
#include "record/recording_session.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

class QCheckBox;
class QLabel;
class QMainWindow;
class QProgressDialog;
class QTextEdit;
class QTimer;
class WindowSettings;

// The window's side of recording and preview, over a RecordingSession: the
// commands' boxes and questions, saving with its progress, the live view, the
// rate label and the stream health line in the status bar.
class RecordingController : public QObject
{
    Q_OBJECT

public:
    // `window` parents the boxes and dialogs and gets the health line in its status
    // bar; `view` shows the latest datagram unless `disableView` is checked.
    RecordingController(QMainWindow *window, QLabel *rateLabel, QCheckBox *disableView, QTextEdit *view);
    ~RecordingController() override;

    // Start receiving as the record settings say; false after telling the user
    // why, with nothing started. During a Preview that keeps datagrams the
    // recording begins with those of at most the last `preSeconds`.
    bool startRecording(const WindowSettings &settings, int preSeconds);
    // With the pre-trigger seconds set, the preview keeps the last seconds, and Record during it begins with them.
    bool startPreview(const WindowSettings &settings);
    RecordingSession::Mode receiverMode() const;
    void stopPreview();
    // Ends a recording and, with `offerSave`, offers it for saving (saved() follows
    // once it is); without, it is kept as the temporary recording.
    void stopRecording(bool offerSave = true);
    // Saves the kept temporary recording as `name` without a dialog, opened after
    // as Stop's save does: Renamed (saved() has come), Copying (saved() or
    // saveFailed() follow), Refused or Failed (kept; `reason` says why).
    RecordingSaver::Result saveTemporaryAs(const QString &name, QString *reason);
    // Removes the kept temporary recording; discarded() follows.
    void discardTemporary();
    const RecordingSession &recordingSession() const { return *session; }

    // Save as: the temporary recording while one is kept, otherwise `currentFile`.
    void saveAs(const QString &currentFile);
    // The session the commands go to, for what other controls read of it.
    const RecordingSession *receiver() const { return session; }
    // Path of the kept temporary recording, or empty when there is none.
    QString flushedTemporaryRecording() const;
    // Datagrams of the recording running or kept for saving; 0 when there is none.
    int datagramsReceived() const;
    // Another recording is opened: a kept temporary recording stays on disk, offered at the next start.
    void forgetDatagrams();

    // After the window is shown: offers recordings left by a copy that crashed or was killed.
    void offerAbandonedRecordings();
    // Before the window closes: asks while recording; false to stay open, also
    // while a save is being copied (the window is closed once the copy has ended).
    bool confirmClose();

    void updateLabelFrequency();

    QString saveDirectory() const { return saveFileDir; }
    void setSaveDirectory(const QString &directory) { saveFileDir = directory; }

signals:
    // The recording now lies at `path`; `open` when the window is to load it (it
    // was the temporary recording, and the window is not closing).
    void saved(const QString &path, bool open);
    // A recording that was running ended at Exit or was discarded: nothing left to play.
    void discarded();
    // Saving as `target` failed; the user was told `text`.
    void saveFailed(const QString &target, const QString &text);

private:
    bool prepareReceiver(const WindowSettings &settings);
    void startRefresh(bool recording);
    void stopRefresh();
    void refresh();
    void showHealth();
    void warnAboutFailedWrites();
    void saveKept(const QString &leftover, bool fromStop);
    QString askSaveName();
    bool keepAfterCancelledSave();
    void watchCopy(const QString &target, bool open);
    void showCopyProgress(qint64 done, qint64 total);
    void copyFinished(bool saved, const QString &reason);
    void showSaveFailure(const QString &target, const QString &reason);
    bool waitForCopy();

    QMainWindow *window;
    QLabel *rateLabel;
    QCheckBox *disableView;
    QTextEdit *view;
    QLabel *healthLine;
    QLabel *bufferLabel;
    RecordingSession *session;
    RecordingSaver *saver;
    QTimer *refreshTimer;
    QProgressDialog *copyProgress = nullptr;

    QString recordPortText;
    QString saveFileDir;
    QByteArray shownText;
    bool recordingView = false;
    // The copy under way: where to, and whether Stop asked for it.
    QString copyTarget;
    bool openAfterCopy = false;
    QString removeAfterCopy;
    bool closeAfterCopy = false;
    // Datagrams of the kept temporary recording, counted when it stopped.
    int keptDatagrams = 0;
};

#endif
