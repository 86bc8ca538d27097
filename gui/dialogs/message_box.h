#ifndef MESSAGE_BOX_H
#define MESSAGE_BOX_H

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Every message of the program: one OK button, no default button, modal, result unused.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);

// The answer of a question closed without choosing a button.
constexpr int NoChoice = -1;

// Every question of the program: plain-word buttons, modal; returns the index of
// the button chosen. Escape gives `safe`, the answer that keeps the data: a
// button's index (also the default button), or NoChoice.
int askQuestion(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons, int safe);

// Told of every box before it shows (the remote control passes failures on).
void setMessageObserver(std::function<void(QMessageBox::Icon icon, const QString &text)> observer);

// While one lives, showMessage shows nothing and keeps what the box would have
// said: a command the remote control gave answers with it, and a script waits
// for nobody to press OK.
class MessageDiversion
{
public:
    MessageDiversion();
    ~MessageDiversion();
    MessageDiversion(const MessageDiversion &) = delete;
    MessageDiversion &operator=(const MessageDiversion &) = delete;

    // The texts of the warnings and errors, in order.
    const QStringList &failures() const { return texts; }

private:
    friend void showMessage(QWidget *, QMessageBox::Icon, const QString &, const QString &);
    QStringList texts;
    MessageDiversion *outer;
};

#endif
