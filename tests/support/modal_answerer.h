#ifndef MODAL_ANSWERER_H
#define MODAL_ANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <memory>

class QDialog;

// Answers the next modal box or dialog through its real widgets. Arm it before
// the action that opens the box; it waits for the box to become the active
// modal widget, records what it showed and presses a button.
namespace Modal {

// "Warning | title | text": compared with Box::describe, one QCOMPARE shows all three.
QString describe(QMessageBox::Icon icon, const QString &title, const QString &text);

struct Box {
    bool seen = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    bool hadParent = false;
    QStringList buttons; // filled by answerNextQuestion

    // "no box" when none came.
    QString describe() const { return seen ? Modal::describe(icon, title, text) : QStringLiteral("no box"); }
};

// Records the next QMessageBox and presses its OK button.
std::shared_ptr<Box> answerNextBox(int timeoutMs = 10000);

// Records the next QMessageBox and its buttons, then presses the button labelled
// `press`, or Escape when `press` is empty; `then` runs right after, to arm what comes next.
std::shared_ptr<Box> answerNextQuestion(const QString &press, std::function<void()> then = {}, int timeoutMs = 10000);

// Records every QMessageBox and presses its OK button, for as long as the caller
// holds the returned list (at most timeoutMs), so a test can tell one box from two.
// `seen` is handed each box as it is answered.
std::shared_ptr<QList<Box>> answerEveryBox(int timeoutMs = 10000, std::function<void(const Box &)> seen = {});

struct FileDialog {
    bool seen = false;
    QString title;
    QString directory;
    QStringList nameFilters;
};

// Types `fileName` into the next file dialog and accepts it; an empty name
// cancels it.
std::shared_ptr<FileDialog> answerNextFileDialog(const QString &fileName, int timeoutMs = 10000);

// Stops every answerer still waiting, so none outlives the test that armed it.
void disarmAll();

// Hands the next modal QDialog (not a message box) to `act`, which presses its buttons.
std::shared_ptr<bool> onNextDialog(std::function<void(QDialog *)> act, int timeoutMs = 10000);

}

#endif
