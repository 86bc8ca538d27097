#ifndef SETTINGS_PLAY_H
#define SETTINGS_PLAY_H

#include "ui_settings_play.h"

#include "platform/net_address.h"
#include "play/multicast_options.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <cstdint>

// Destinations, frequency and playback mode; checks the hosts on OK.
class Settings_play : public QDialog
{
    Q_OBJECT

public:
    explicit Settings_play(QWidget *parent);

    void setValues(const QString &host1, const NetAddress &address1, uint16_t port1, unsigned int frequency,
                   const QString &host2, const NetAddress &address2, uint16_t port2,
                   bool loop, bool timestamp, bool active,
                   bool everyTimestamp = false, bool continueNumbers = false);

    QString host1() const;
    QString host2() const;
    NetAddress address1() const;
    NetAddress address2() const;
    int port1Value() const;
    int port2Value() const;
    QString port1Text() const;
    QString port2Text() const;
    int frequencyValue() const;
    QString frequencyText() const;
    bool isActive() const;
    QString activeText() const;
    bool isLoop() const;
    QString loopText() const;
    bool isTimestamp() const;
    QString timestampText() const;
    // Matters only while timestamps are used; the box is greyed out otherwise but keeps its choice.
    bool isEveryTimestamp() const;
    QString everyTimestampText() const;
    bool isContinueNumbers() const;
    QString continueNumbersText() const;

    // Real-time priority and the Faults group; the fault texts are drop,
    // duplicate, reorder, delay and seed, as stored.
    void setInstrumentValues(bool realtime, bool faults, const QStringList &faultTexts);
    QString realtimeText() const;
    QString faultsText() const;
    QStringList faultTexts() const;

    // The Multicast group: TTL, interface and loop, as stored (loop "true" or "false").
    void setMulticastValues(const QString &ttl, const QString &interfaceName, bool loop);
    QString ttlText() const;
    QString interfaceText() const;
    QString multicastLoopText() const;
    // The field and what is wrong with it, for the boxes of the dialog and of Play.
    static QString problemText(const MulticastOptionsError &error);

signals:
    void writeSettingFile();

public slots:
    void clickOk();
    void clickActive();
    void clickTimestamp();

private:
    bool checkFaults();
    bool checkMulticast();

    Ui::d_play ui;
    QString hostText1;
    QString hostText2;
    NetAddress hostAddress1;
    NetAddress hostAddress2;
};

#endif
