#include "gui/dialogs/settings_remote.h"

#include "gui/dialogs/message_box.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHostAddress>

Settings_remote::Settings_remote(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_remote::clickOk);
    connect(ui.pb_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui.pb_copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(ui.le_token->text()); });
    connect(ui.sb_port, &QSpinBox::valueChanged, this, &Settings_remote::showUrl);
    connect(ui.le_address, &QLineEdit::textChanged, this, &Settings_remote::showUrl);
}

void Settings_remote::setValues(int port, const QString &address, const QString &origins, const QString &token)
{
    heldPort = port;
    heldAddress = address;
    heldOrigins = origins;
    ui.sb_port->setValue(port);
    ui.le_address->setText(address);
    ui.le_origins->setText(origins);
    ui.le_token->setText(token);
    showUrl();
}

void Settings_remote::showUrl()
{
    const QHostAddress address(ui.le_address->text().trimmed());
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                                                              : address.toString();
    ui.l_url->setText(ui.sb_port->value() == 0 ? tr("off")
                      : address.isNull()       ? QString()
                                               : QStringLiteral("ws://%1:%2").arg(host).arg(ui.sb_port->value()));
}

void Settings_remote::clickOk()
{
    if (QHostAddress(ui.le_address->text().trimmed()).isNull()) {
        showMessage(this, QMessageBox::Critical, tr("Remote control"),
                    tr("Please give the address as numbers, such as 127.0.0.1.\n"));
        ui.le_address->setFocus();
        return;
    }
    heldPort = ui.sb_port->value();
    heldAddress = ui.le_address->text().trimmed();
    heldOrigins = ui.le_origins->text().simplified();
    accept();
    emit writeSettingFile();
}
