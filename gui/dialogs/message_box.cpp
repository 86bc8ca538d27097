#include "gui/dialogs/message_box.h"

namespace {

std::function<void(QMessageBox::Icon, const QString &)> observer;
MessageDiversion *diversion = nullptr;

bool isFailure(QMessageBox::Icon icon)
{
    return icon == QMessageBox::Warning || icon == QMessageBox::Critical;
}

}

void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    if (diversion) {
        if (isFailure(icon))
            diversion->texts << text;
        return;
    }
    if (observer)
        observer(icon, text);
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void setMessageObserver(std::function<void(QMessageBox::Icon, const QString &)> told)
{
    observer = std::move(told);
}

MessageDiversion::MessageDiversion() : outer(diversion)
{
    diversion = this;
}

MessageDiversion::~MessageDiversion()
{
    diversion = outer;
}
