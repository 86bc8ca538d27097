#ifndef SETTINGS_REMOTE_H
#define SETTINGS_REMOTE_H

#include "ui_settings_remote.h"

#include <QDialog>
#include <QString>

// The remote control's port (0: off), address and allowed origins, and the
// token scripts need, with a button that copies it.
class Settings_remote : public QDialog
{
    Q_OBJECT

public:
    explicit Settings_remote(QWidget *parent);

    void setValues(int port, const QString &address, const QString &origins, const QString &token);
    int port() const { return heldPort; }
    QString address() const { return heldAddress; }
    QString origins() const { return heldOrigins; }

signals:
    void writeSettingFile();

public slots:
    void clickOk();

private:
    void showUrl();

    Ui::d_remote ui;
    int heldPort = 0;
    QString heldAddress;
    QString heldOrigins;
};

#endif
