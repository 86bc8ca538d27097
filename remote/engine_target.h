#ifndef ENGINE_TARGET_H
#define ENGINE_TARGET_H

#include "play/index_result.h"
#include "play/marker_book.h"
#include "play/player.h"
#include "record/recording_session.h"
#include "remote/remote_target.h"

#include <atomic>
#include <memory>
#include <thread>

// The remote control's commands over the engines alone, for the headless
// server: the window's enabling and its Stop, Save and Open, without a window.
class EngineTarget : public RemoteTarget
{
    Q_OBJECT

public:
    struct Options {
        int recordPort = 0;
        // Seconds a Preview keeps for a Record to begin with, as the window's setting; 0 keeps none.
        int preSeconds = 0;
        QList<Destination> destinations;
        Player::Options play;
    };

    explicit EngineTarget(const Options &options, QObject *parent = nullptr);
    // Stops; an unsaved recording stays as the temporary recording.
    ~EngineTarget() override;

    const Player &player() const override { return engine; }
    const RecordingSession &session() const override { return receiving; }
    std::shared_ptr<const RecordingIndex> recording() const override { return index; }
    QString file() const override { return path; }

    Outcome record() override;
    Outcome recordFromPreview(int seconds) override;
    Outcome preview() override;
    Outcome stop() override;
    Outcome save(const QString &target) override;
    Outcome discard() override;
    Outcome open(const QString &target) override;
    Outcome play() override;
    Outcome pause() override;
    Outcome seek(int frame) override;
    Outcome step(int direction) override;
    Outcome setSpeed(double speed) override;
    Outcome setRange(int from, int to) override;
    Outcome clearRange() override;
    Outcome addMarker(const QString &label) override;

private:
    bool idle() const;
    bool positionable() const;
    Outcome recordingBegan();
    void saved(const QString &target);
    void opened(const QString &target, const IndexResult &result, std::shared_ptr<RecordingIndex> loaded);
    void joinOpening();

    Options options;
    RecordingSession receiving;
    Player engine;
    MarkerBook markers;
    std::shared_ptr<const RecordingIndex> index;
    QString path;
    QString savingAs;
    std::thread opening;
    std::atomic<bool> cancelOpen{false};
    bool openBusy = false;
};

#endif
