#ifndef MESSAGE_BOX_H
#define MESSAGE_BOX_H

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every message of the program: one OK button, no default button, modal, result unused.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);

// The answer of a question closed without choosing a button.
constexpr int NoChoice = -1;

// Every question of the program: plain-word buttons, modal; returns the index of
// the button chosen. Escape gives `safe`, the answer that keeps the data: a
// button's index (also the default button), or NoChoice.
int askQuestion(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons, int safe);

#endif
