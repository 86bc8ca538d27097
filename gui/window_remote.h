#ifndef WINDOW_REMOTE_H
#define WINDOW_REMOTE_H

#include "remote/remote_target.h"

#include <QString>

class Korvel_recorder;
class QAction;
class QLabel;
class RemoteServer;
class WindowSettings;

// The window's side of the remote control: hosts the server as the settings
// ask, and carries out each command through the window's own steps and
// enabling, so a remote command changes the window as the same click would.
// What the window would show in a box comes back as the answer instead.
class WindowRemote : public RemoteTarget
{
    Q_OBJECT

public:
    WindowRemote(Korvel_recorder *window, const QString &settingsDir);
    ~WindowRemote() override;

    // Listens as the settings say (port 0: not at all); a failure is shown in a box.
    void listen(const WindowSettings &settings);
    // The settings dialog; true when its values were taken into `settings`.
    bool editSettings(WindowSettings &settings);
    RemoteServer *server() const { return remoteServer; }

    const Player &player() const override;
    const RecordingSession &session() const override;
    std::shared_ptr<const RecordingIndex> recording() const override;
    QString file() const override;
    bool busy() const override;

    Outcome record() override;
    Outcome recordFromPreview(int seconds) override;
    Outcome preview() override;
    Outcome stop() override;
    Outcome save(const QString &path) override;
    Outcome discard() override;
    Outcome open(const QString &path) override;
    Outcome play() override;
    Outcome pause() override;
    Outcome seek(int frame) override;
    Outcome step(int direction) override;
    Outcome setSpeed(double speed) override;
    Outcome setRange(int from, int to) override;
    Outcome clearRange() override;
    Outcome addMarker(const QString &label) override;

private:
    // Runs `command` when `action` is enabled, with the boxes it would show kept
    // for the answer; failed when `succeeded` says so, or a box told of a failure.
    template <typename Command>
    Outcome run(QAction *action, const char *refusal, Command command, bool (*succeeded)(const Korvel_recorder &) = nullptr);
    // A Record's success: the window records.
    static bool recording(const Korvel_recorder &window);
    bool loadToken(QString &token);
    void showClients(int count);

    Korvel_recorder *window;
    QString tokenPath;
    RemoteServer *remoteServer;
    QLabel *clientsLabel;
};

#endif
