#include "gui/dialogs/message_box.h"

#include <QKeyEvent>
#include <QPushButton>

namespace {

// Escape on a question whose safe answer is none of its buttons closes it unanswered.
class EscapeCloses : public QObject
{
public:
    explicit EscapeCloses(QMessageBox *box) : QObject(box), box(box) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress || static_cast<QKeyEvent *>(event)->key() != Qt::Key_Escape)
            return false;
        box->reject();
        return true;
    }

private:
    QMessageBox *box;
};

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

int askQuestion(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons, int safe)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> pushed;
    for (const QString &label : buttons)
        pushed.append(box.addButton(label, QMessageBox::AcceptRole));
    if (safe == NoChoice) {
        box.installEventFilter(new EscapeCloses(&box));
    } else {
        box.setEscapeButton(pushed.at(safe));
        box.setDefaultButton(qobject_cast<QPushButton *>(pushed.at(safe)));
    }
    box.exec();
    const int chosen = int(pushed.indexOf(box.clickedButton()));
    return chosen < 0 ? safe : chosen;
}
