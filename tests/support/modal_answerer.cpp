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
    auto timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [=, armedIn = generation] {
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
                         message->parentWidget() != nullptr, {}};
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

void disarmAll()
{
    ++generation;
}

std::shared_ptr<Box> answerNextBox(int timeoutMs)
{
    auto box = std::make_shared<Box>();
    pollModal([box](QWidget *modal) {
        if (auto *message = qobject_cast<QMessageBox *>(modal))
            *box = answer(message);
        return box->seen;
    }, timeoutMs);
    return box;
}

std::shared_ptr<Box> answerNextQuestion(const QString &press, std::function<void()> then, int timeoutMs)
{
    auto box = std::make_shared<Box>();
    pollModal([=](QWidget *modal) {
        auto *message = qobject_cast<QMessageBox *>(modal);
        if (!message)
            return false;
        *box = {true, message->icon(), message->windowTitle(), message->text(), message->parentWidget() != nullptr, {}};
        QAbstractButton *chosen = nullptr;
        for (QAbstractButton *button : message->buttons()) {
            box->buttons << button->text();
            if (button->text() == press)
                chosen = button;
        }
        if (press.isEmpty())
            QTest::keyClick(message, Qt::Key_Escape);
        else if (chosen)
            QTest::mouseClick(chosen, Qt::LeftButton);
        else
            message->reject();
        if (then)
            then();
        return true;
    }, timeoutMs);
    return box;
}

std::shared_ptr<QList<Box>> answerEveryBox(int timeoutMs, std::function<void(const Box &)> seen)
{
    auto boxes = std::make_shared<QList<Box>>();
    pollModal([held = std::weak_ptr(boxes), seen](QWidget *modal) {
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
        if (fileName.isEmpty()) {
            dialog->reject();
            return true;
        }
        // Qt's own dialog, never a native one here: its widgets are known by name.
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(fileName);
        const auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
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
