#ifndef WINDOW_SETTINGS_H
#define WINDOW_SETTINGS_H

#include "play/player.h"
#include "record/receive_options.h"
#include "settings/settings_store.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class QDomElement;
class QObject;
class Settings_play;
class Settings_record;

// The window's settings in the form they are stored, one text per key; the
// typed values are read from the texts, so the two forms never disagree.
class WindowSettings
{
public:
    // The defaults' texts, both directories at `home`.
    explicit WindowSettings(const QString &home);

    // Takes every known element of the user's file over the current texts; false
    // with the warning when no file could be read (the texts then stay as they are).
    bool load(const QString &settingsDir, QString &warning);
    bool save(const QString &settingsDir, QString &warning) const;

    // The confirmed values of both dialogs, and the other way round.
    void takeDialogs(const Settings_play &play, const Settings_record &record);
    void fillDialogs(Settings_play &play, Settings_record &record) const;

    QString text(SettingsStore::Key key) const { return texts.value(key); }
    void setText(SettingsStore::Key key, const QString &text) { texts[key] = text; }

    uint16_t recordPort() const { return SettingsStore::recordPortFromText(text(SettingsStore::RecordPort)); }
    uint16_t playPort1() const { return SettingsStore::playPortFromText(text(SettingsStore::PlayPort1)); }
    uint16_t playPort2() const { return SettingsStore::playPortFromText(text(SettingsStore::PlayPort2)); }
    float frequency() const { return SettingsStore::frequencyFromText(text(SettingsStore::Frequency)); }
    double speed() const { return SettingsStore::speedFromText(text(SettingsStore::Speed)); }
    int preTriggerSeconds() const { return SettingsStore::preTriggerFromText(text(SettingsStore::PreTriggerSeconds)); }
    bool flag(SettingsStore::Key key) const { return SettingsStore::flagFromText(text(key)); }

    // How the player is to play, from the play settings.
    Player::Options playerOptions() const;
    // The network choices, checked as the dialogs check them (an interface may
    // have gone since); false with the field and the reason as the boxes show them.
    bool receiveOptions(ReceiveOptions &options, QString &problem) const;
    bool multicast(Player::Multicast &multicast, QString &problem) const;
    // Destinations, options and multicast choices into a player about to start;
    // false with the box's text when a host or a multicast choice cannot be used.
    bool preparePlayer(Player &player, QString &problem);

    // Play host addresses: looked up in the background, or taken from the play
    // dialog, which has just looked them up. Each address holds for the host
    // text it was found for; an answer for a text since replaced is dropped.
    void resolveHostsLater(QObject *context);
    // `address` of play host `slot` (0 or 1) as `host` reads; none (no answer) changes nothing.
    void setAddress(int slot, const QString &host, const NetAddress &address);
    // The active destinations; a lookup still under way is finished here within
    // the lookup's bounded wait. False with the host that has no address.
    bool destinations(QList<Destination> &out, QString &unresolved);

private:
    struct Resolved {
        QString host;
        NetAddress address;
    };

    void apply(const QDomElement &element);
    QString playHost(int slot) const { return text(slot ? SettingsStore::PlayHost2 : SettingsStore::PlayHost1); }

    QStringList texts;
    Resolved resolved[2];
};

#endif
