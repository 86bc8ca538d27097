#ifndef SETTINGS_RECORD_H
#define SETTINGS_RECORD_H

#include "ui_settings_record.h"

#include "record/receive_options.h"

#include <QDialog>
#include <QString>

#include <cstdint>

// The receive port and the Network group; checks them on OK.
class Settings_record : public QDialog
{
    Q_OBJECT

public:
    explicit Settings_record(QWidget *parent);

    void setValues(const QString &portText, uint16_t port, int preTriggerSeconds);
    int16_t port() const;
    QString portText() const;
    // "keep the last N seconds while previewing"; 0 keeps none.
    int preTriggerSeconds() const;
    QString preTriggerText() const;

    // Listen address, groups to join and allowed senders, as stored: the lists
    // with their entries separated by spaces.
    void setNetworkValues(const QString &listen, const QString &joins, const QString &allows);
    QString listenText() const;
    QString joinText() const;
    QString allowText() const;

    // The field and what is wrong with it, for the boxes of the dialog and of Record.
    static QString problemText(const ReceiveOptionsError &error);

signals:
    void writeSettingFile();

public slots:
    void clickOk();

private:
    bool checkNetwork();

    Ui::d_record ui;
    QString heldPortText;
    uint16_t heldPort = 0;
    int heldPreTrigger = 0;
};

#endif
