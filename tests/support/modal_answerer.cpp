#include "modal_answerer.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMetaEnum>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

int generation = 0;

// Hands `handle` the active modal widget, or nullptr while none shows, every
// 10 ms until it says it is done or the time runs out.
void pollModal(std::function<bool(QWidget *)> handle, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const int armedIn = generation;
    auto timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QWidget *modal = QApplication::activeModalWidget();
        if (armedIn != generation || deadline.hasExpired() || handle(modal && modal->isVisible() ? modal : nullptr)) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// Records the box and presses its OK button; every box the program shows has
// one, anything else is closed unanswered.
Modal::Box answer(QMessageBox *message)
{
    const Modal::Box box{true, message->icon(), message->windowTitle(), message->text(),
                         message->parentWidget() != nullptr};
    if (QAbstractButton *ok = message->button(QMessageBox::Ok))
        QTest::mouseClick(ok, Qt::LeftButton);
    else
        message->reject();
    return box;
}

}

namespace Modal {

QString describe(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    return QStringLiteral("%1 | %2 | %3")
        .arg(QLatin1String(QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(icon)), title, text);
}

QString Box::describe() const
{
    return seen ? Modal::describe(icon, title, text) : QStringLiteral("no box");
}

void disarmAll()
{
    ++generation;
}

std::shared_ptr<Box> answerNextBox(int timeoutMs)
{
    auto box = std::make_shared<Box>();
    pollModal([box](QWidget *modal) {
        auto *message = qobject_cast<QMessageBox *>(modal);
        if (message)
            *box = answer(message);
        return message != nullptr;
    }, timeoutMs);
    return box;
}

std::shared_ptr<QList<Box>> answerEveryBox(int timeoutMs, std::function<void(const Box &)> seen)
{
    auto boxes = std::make_shared<QList<Box>>();
    std::weak_ptr<QList<Box>> held = boxes;
    pollModal([held, seen](QWidget *modal) {
        const auto boxes = held.lock();
        auto *message = qobject_cast<QMessageBox *>(modal);
        if (message && boxes) {
            boxes->append(answer(message));
            if (seen)
                seen(boxes->constLast());
        }
        return !boxes;
    }, timeoutMs);
    return boxes;
}

std::shared_ptr<FileDialog> answerNextFileDialog(const QString &fileName, int timeoutMs)
{
    auto seen = std::make_shared<FileDialog>();
    pollModal([seen, fileName](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return false;
        *seen = {true, dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters()};
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        if (fileName.isEmpty() || !edit || !buttons) {
            dialog->reject();
            return true;
        }
        edit->setText(fileName);
        // An overwrite question is raised inside the dialog's own accept.
        pollModal([](QWidget *inner) {
            auto *question = qobject_cast<QMessageBox *>(inner);
            QAbstractButton *yes = question ? question->button(QMessageBox::Yes) : nullptr;
            if (yes)
                QTest::mouseClick(yes, Qt::LeftButton);
            return yes != nullptr;
        }, 1000);
        const bool saving = dialog->acceptMode() == QFileDialog::AcceptSave;
        QTest::mouseClick(buttons->button(saving ? QDialogButtonBox::Save : QDialogButtonBox::Open), Qt::LeftButton);
        return true;
    }, timeoutMs);
    return seen;
}

std::shared_ptr<bool> onNextDialog(std::function<void(QDialog *)> act, int timeoutMs)
{
    auto seen = std::make_shared<bool>(false);
    pollModal([seen, act](QWidget *modal) {
        auto *dialog = qobject_cast<QDialog *>(modal);
        *seen = dialog && !qobject_cast<QMessageBox *>(modal) && !qobject_cast<QFileDialog *>(modal);
        if (*seen)
            act(dialog);
        return *seen;
    }, timeoutMs);
    return seen;
}

}
