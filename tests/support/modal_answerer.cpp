#include "modal_answerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

int generation = 0;

// Polls for the active modal widget until `handle` takes it, `finished` says so
// or the time runs out.
void pollModal(std::function<bool(QWidget *)> handle, int timeoutMs, std::function<bool()> finished = {})
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto timer = new QTimer;
    timer->setInterval(10);
    const int armedIn = generation;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, handle, timeoutMs, armedIn, finished] {
        if (armedIn != generation || clock->elapsed() > timeoutMs || (finished && finished())) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && handle(modal)) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

Modal::Box record(QMessageBox *message)
{
    Modal::Box box;
    box.seen = true;
    box.icon = message->icon();
    box.title = message->windowTitle();
    box.text = message->text();
    box.hadParent = message->parentWidget() != nullptr;
    return box;
}

void pressOk(QMessageBox *box)
{
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    if (!ok && !box->buttons().isEmpty())
        ok = box->buttons().first();
    if (ok)
        QTest::mouseClick(ok, Qt::LeftButton);
    else
        box->accept();
}

}

namespace Modal {

void disarmAll()
{
    ++generation;
}

std::shared_ptr<Box> answerNextBox(int timeoutMs)
{
    auto box = std::make_shared<Box>();
    pollModal([box](QWidget *modal) {
        auto *message = qobject_cast<QMessageBox *>(modal);
        if (!message)
            return false;
        *box = record(message);
        pressOk(message);
        return true;
    }, timeoutMs);
    return box;
}

std::shared_ptr<QList<Box>> answerEveryBox(int timeoutMs, std::function<void(const Box &)> seen)
{
    auto boxes = std::make_shared<QList<Box>>();
    std::weak_ptr<QList<Box>> held = boxes;
    pollModal([held, seen](QWidget *modal) {
        auto *message = qobject_cast<QMessageBox *>(modal);
        const auto boxes = held.lock();
        if (message && boxes) {
            boxes->append(record(message));
            if (seen)
                seen(boxes->constLast());
            pressOk(message);
        }
        return false;
    }, timeoutMs, [held] { return held.expired(); });
    return boxes;
}

std::shared_ptr<FileDialog> answerNextFileDialog(const QString &fileName, int timeoutMs)
{
    auto seen = std::make_shared<FileDialog>();
    pollModal([seen, fileName](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return false;
        seen->seen = true;
        seen->title = dialog->windowTitle();
        seen->directory = dialog->directory().absolutePath();
        seen->nameFilters = dialog->nameFilters();
        if (fileName.isEmpty()) {
            dialog->reject();
            return true;
        }
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        if (!edit || !buttons) {
            dialog->reject();
            return true;
        }
        edit->setText(fileName);
        QPushButton *accept = buttons->button(QDialogButtonBox::Save);
        if (!accept)
            accept = buttons->button(QDialogButtonBox::Open);
        // An overwrite question is raised inside the dialog's own accept.
        pollModal([](QWidget *inner) {
            auto *question = qobject_cast<QMessageBox *>(inner);
            QAbstractButton *yes = question ? question->button(QMessageBox::Yes) : nullptr;
            if (!yes)
                return false;
            QTest::mouseClick(yes, Qt::LeftButton);
            return true;
        }, 1000);
        QTest::mouseClick(accept, Qt::LeftButton);
        return true;
    }, timeoutMs);
    return seen;
}

std::shared_ptr<bool> onNextDialog(std::function<void(QDialog *)> act, int timeoutMs)
{
    auto seen = std::make_shared<bool>(false);
    pollModal([seen, act](QWidget *modal) {
        auto *dialog = qobject_cast<QDialog *>(modal);
        if (!dialog || qobject_cast<QMessageBox *>(modal) || qobject_cast<QFileDialog *>(modal))
            return false;
        *seen = true;
        act(dialog);
        return true;
    }, timeoutMs);
    return seen;
}

}
