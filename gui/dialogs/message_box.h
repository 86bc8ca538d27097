#ifndef MESSAGE_BOX_H
#define MESSAGE_BOX_H

#include <QMessageBox>
#include <QString>

class QWidget;

// Every message of the program: one OK button, no default button, modal, result unused.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);

#endif
