#include "gui/dialogs/settings_play.h"

#include "gui/dialogs/message_box.h"
#include "platform/host_lookup.h"
#include "play/fault_plan.h"

namespace {


QString flagText(bool flag)
{
    return flag ? QStringLiteral("true") : QStringLiteral("false");
}

}

Settings_play::Settings_play(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_play::clickOk);
    connect(ui.activeBox, &QCheckBox::clicked, this, &Settings_play::clickActive);
    connect(ui.cb_timestamp, &QCheckBox::toggled, this, &Settings_play::clickTimestamp);
    connect(ui.pb_cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void Settings_play::setValues(const QString &host1, const NetAddress &address1, uint16_t port1, unsigned int frequency,
                              const QString &host2, const NetAddress &address2, uint16_t port2,
                              bool loop, bool timestamp, bool active,
                              bool everyTimestamp, bool continueNumbers)
{
    hostText1 = host1;
    hostAddress1 = address1;
    hostText2 = host2;
    hostAddress2 = address2;
    if (loop)
        ui.rb_loop->setChecked(true);
    else
        ui.rb_single->setChecked(true);
    ui.activeBox->setChecked(active);
    ui.cb_timestamp->setChecked(timestamp);
    ui.cb_every_timestamp->setChecked(everyTimestamp);
    ui.cb_continue_numbers->setChecked(continueNumbers);
    ui.le_host_1->setText(host1);
    ui.sb_port_1->setValue(port1);
    // The spin box clamps, but a frequency beyond int would first wrap to a negative value.
    const unsigned int highest = static_cast<unsigned int>(ui.sb_frequency_1->maximum());
    ui.sb_frequency_1->setValue(static_cast<int>(qMin(frequency, highest)));
    ui.le_host_2->setText(host2);
    ui.sb_port_2->setValue(port2);
    clickActive();
    clickTimestamp();
}

QString Settings_play::host1() const
{
    return hostText1;
}

QString Settings_play::host2() const
{
    return hostText2;
}

NetAddress Settings_play::address1() const
{
    return hostAddress1;
}

NetAddress Settings_play::address2() const
{
    return hostAddress2;
}

int Settings_play::port1Value() const
{
    return ui.sb_port_1->value();
}

int Settings_play::port2Value() const
{
    return ui.sb_port_2->value();
}

QString Settings_play::port1Text() const
{
    return QString::number(static_cast<uint16_t>(ui.sb_port_1->value()));
}

QString Settings_play::port2Text() const
{
    return QString::number(static_cast<uint16_t>(ui.sb_port_2->value()));
}

int Settings_play::frequencyValue() const
{
    return ui.sb_frequency_1->value();
}

QString Settings_play::frequencyText() const
{
    return QString::number(ui.sb_frequency_1->value());
}

bool Settings_play::isActive() const
{
    return ui.activeBox->isChecked();
}

QString Settings_play::activeText() const
{
    return flagText(isActive());
}

bool Settings_play::isLoop() const
{
    return ui.rb_loop->isChecked();
}

QString Settings_play::loopText() const
{
    return flagText(isLoop());
}

bool Settings_play::isTimestamp() const
{
    return ui.cb_timestamp->isChecked();
}

QString Settings_play::timestampText() const
{
    return flagText(isTimestamp());
}

bool Settings_play::isEveryTimestamp() const
{
    return ui.cb_every_timestamp->isChecked();
}

QString Settings_play::everyTimestampText() const
{
    return flagText(isEveryTimestamp());
}

bool Settings_play::isContinueNumbers() const
{
    return ui.cb_continue_numbers->isChecked();
}

QString Settings_play::continueNumbersText() const
{
    return flagText(isContinueNumbers());
}

void Settings_play::clickOk()
{
    hostText1 = ui.le_host_1->text();
    // A DNS server that never answers must not hold the window for long.
    hostAddress1 = HostLookup::lookUpWithin(hostText1);
    hostText2 = ui.le_host_2->text();
    hostAddress2 = HostLookup::lookUpWithin(hostText2);

    QLineEdit *fault = nullptr;
    if (hostAddress1.family == NET_NONE)
        fault = ui.le_host_1;
    else if (hostAddress2.family == NET_NONE && ui.activeBox->isChecked())
        fault = ui.le_host_2;
    if (fault) {
        showMessage(this, QMessageBox::Critical, tr("host play"), tr("Please check your ip address\n"));
        fault->setFocus();
        return;
    }
    if (!checkMulticast() || !checkFaults())
        return;
    emit writeSettingFile();
    accept();
}

void Settings_play::setInstrumentValues(bool realtime, bool faults, const QStringList &faultTexts)
{
    ui.cb_realtime->setChecked(realtime);
    ui.gb_faults->setChecked(faults);
    QLineEdit *edits[] = {ui.le_drop, ui.le_duplicate, ui.le_reorder, ui.le_delay, ui.le_seed};
    for (int i = 0; i < 5; ++i)
        edits[i]->setText(faultTexts.value(i));
}

QString Settings_play::realtimeText() const
{
    return flagText(ui.cb_realtime->isChecked());
}

QString Settings_play::faultsText() const
{
    return flagText(ui.gb_faults->isChecked());
}

QStringList Settings_play::faultTexts() const
{
    return {ui.le_drop->text().trimmed(), ui.le_duplicate->text().trimmed(), ui.le_reorder->text().trimmed(),
            ui.le_delay->text().trimmed(), ui.le_seed->text().trimmed()};
}

// The Faults group takes what the command line takes; a field left empty is no fault.
bool Settings_play::checkFaults()
{
    if (!ui.gb_faults->isChecked())
        return true;
    FaultOptions options;
    QString reason;
    QLineEdit *wrong = nullptr;
    const std::pair<QLineEdit *, FaultChoice *> choices[] = {
        {ui.le_drop, &options.drop}, {ui.le_duplicate, &options.duplicate}, {ui.le_reorder, &options.reorder}};
    for (const auto &[edit, choice] : choices) {
        if (!wrong && !edit->text().trimmed().isEmpty() && !FaultChoice::parse(edit->text(), *choice, reason))
            wrong = edit;
    }
    if (!wrong && options.drop.percent + options.duplicate.percent + options.reorder.percent > 100) {
        wrong = ui.le_drop;
        reason = tr("drop, duplicate and reorder add up to more than 100%");
    }
    if (!wrong && !ui.le_delay->text().trimmed().isEmpty()
        && !FaultOptions::parseDelay(ui.le_delay->text(), options, reason))
        wrong = ui.le_delay;
    bool number = true;
    if (!wrong && !ui.le_seed->text().trimmed().isEmpty())
        ui.le_seed->text().trimmed().toULongLong(&number);
    if (!wrong && !number) {
        wrong = ui.le_seed;
        reason = tr("expected a whole number");
    }
    if (!wrong)
        return true;
    showMessage(this, QMessageBox::Critical, tr("Faults"), tr("Please check the faults: %1").arg(reason));
    wrong->setFocus();
    return false;
}

void Settings_play::setMulticastValues(const QString &ttl, const QString &interfaceName, bool loop)
{
    // The spin box clamps a hand-edited TTL; the stored text itself is checked again at Play.
    ui.sb_ttl->setValue(ttl.toInt());
    ui.le_interface->setText(interfaceName);
    ui.cb_multicast_loop->setChecked(loop);
}

QString Settings_play::ttlText() const
{
    return QString::number(ui.sb_ttl->value());
}

QString Settings_play::interfaceText() const
{
    return ui.le_interface->text().trimmed();
}

QString Settings_play::multicastLoopText() const
{
    return flagText(ui.cb_multicast_loop->isChecked());
}

QString Settings_play::problemText(const MulticastOptionsError &error)
{
    const QString fields[] = {tr("TTL"), tr("interface"), tr("multicast loop")};
    return tr("%1 \"%2\": %3").arg(fields[error.field], error.value, error.reason);
}

// The play command's own check, so both front ends refuse the same values with the same reasons.
bool Settings_play::checkMulticast()
{
    Player::Multicast multicast;
    MulticastOptionsError wrong;
    if (parseMulticastOptions(ttlText(), interfaceText(), QString(), multicast, &wrong))
        return true;
    showMessage(this, QMessageBox::Critical, tr("Multicast"), tr("Please check the %1").arg(problemText(wrong)));
    QWidget *const fields[] = {ui.sb_ttl, ui.le_interface, ui.cb_multicast_loop};
    fields[wrong.field]->setFocus();
    return false;
}

void Settings_play::clickActive()
{
    const bool active = ui.activeBox->isChecked();
    ui.le_host_2->setEnabled(active);
    ui.sb_port_2->setEnabled(active);
}

void Settings_play::clickTimestamp()
{
    // Left checked while greyed out, so switching timestamps back on restores the choice.
    ui.cb_every_timestamp->setEnabled(ui.cb_timestamp->isChecked());
}
