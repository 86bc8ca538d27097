#ifndef SETTINGS_RECORD_H
#define SETTINGS_RECORD_H

#include "ui_settings_record.h"

#include <QDialog>
#include <QString>

#include <cstdint>

// The receive port; checks it on OK.
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

signals:
    void writeSettingFile();

public slots:
    void clickOk();

private:
    Ui::d_record ui;
    QString heldPortText;
    uint16_t heldPort = 0;
    int heldPreTrigger = 0;
};

#endif
