#include "gui/dialogs/settings_record.h"

#include "gui/dialogs/message_box.h"
#include "settings/settings_store.h"

Settings_record::Settings_record(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_record::clickOk);
    connect(ui.pb_cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void Settings_record::setValues(const QString &portText, uint16_t port, int preTriggerSeconds)
{
    heldPortText = portText;
    heldPort = port;
    heldPreTrigger = preTriggerSeconds;
    ui.le_port->setText(portText);
    ui.sb_preTrigger->setValue(preTriggerSeconds);
}

int16_t Settings_record::port() const
{
    return static_cast<int16_t>(heldPort);
}

QString Settings_record::portText() const
{
    return heldPortText;
}

int Settings_record::preTriggerSeconds() const
{
    return heldPreTrigger;
}

QString Settings_record::preTriggerText() const
{
    return QString::number(heldPreTrigger);
}

void Settings_record::clickOk()
{
    heldPortText = ui.le_port->text();
    bool ok = false;
    heldPort = SettingsStore::recordPortFromText(heldPortText, &ok);
    if (!ok) {
        showMessage(this, QMessageBox::Critical, tr("port record"), tr("Please check your port\n"));
        ui.le_port->setFocus();
        return;
    }
    heldPreTrigger = ui.sb_preTrigger->value();
    accept();
    emit writeSettingFile();
}
