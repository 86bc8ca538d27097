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
    if (!checkNetwork())
        return;
    heldPreTrigger = ui.sb_preTrigger->value();
    accept();
    emit writeSettingFile();
}

void Settings_record::setNetworkValues(const QString &listen, const QString &joins, const QString &allows)
{
    ui.le_listen->setText(listen);
    ui.le_join->setText(joins);
    ui.le_allow->setText(allows);
}

QString Settings_record::listenText() const
{
    return ui.le_listen->text().trimmed();
}

QString Settings_record::joinText() const
{
    return SettingsStore::listFromText(ui.le_join->text()).join(QLatin1Char(' '));
}

QString Settings_record::allowText() const
{
    return SettingsStore::listFromText(ui.le_allow->text()).join(QLatin1Char(' '));
}

QString Settings_record::problemText(const ReceiveOptionsError &error)
{
    const QString fields[] = {tr("listen address"), tr("groups to join"), tr("allowed senders")};
    return tr("%1 \"%2\": %3").arg(fields[error.field], error.value, error.reason);
}

// The record command's own check, so both front ends refuse the same values with the same reasons.
bool Settings_record::checkNetwork()
{
    ReceiveOptions options;
    ReceiveOptionsError wrong;
    if (parseReceiveOptions(listenText(), SettingsStore::listFromText(joinText()),
                            SettingsStore::listFromText(allowText()), options, &wrong))
        return true;
    showMessage(this, QMessageBox::Critical, tr("Network"), tr("Please check the %1").arg(problemText(wrong)));
    QLineEdit *const fields[] = {ui.le_listen, ui.le_join, ui.le_allow};
    fields[wrong.field]->setFocus();
    return false;
}
