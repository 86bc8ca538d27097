// The window with 10 000 markers on a recording of a million frames: how long
// an event posted to the window's thread waits while the recording and its
// markers open, while the slider with its ticks repaints, and while the marker
// list of Recording info scrolls, beside the same figure with the window idle.

#include "gui/korvel_recorder.h"
#include "bench/window_bench.h"

#include <QAbstractItemView>
#include <QDialog>
#include <QScrollBar>
#include <QSlider>
#include <QTableView>

#include <cstdio>

namespace {

constexpr int Frames = 1000000;
constexpr int Markers = 10000;

void printWaits(const char *what, const std::vector<double> &waits)
{
    std::printf("%-34s %6zu posts  p50 %8.0f us  p99 %8.0f us  max %8.0f us\n", what, waits.size(),
                Bench::quantile(waits, 0.5), Bench::quantile(waits, 0.99), waits.empty() ? 0.0 : waits.back());
}

bool writeMarks(const QString &path)
{
    QByteArray text = "# korvel-markers 1\n";
    for (int i = 1; i <= Markers; ++i)
        text += QByteArray::number(i * (Frames / Markers)) + "\tmarker number " + QByteArray::number(i) + '\n';
    return Fixture::writeFile(path, text);
}

}

int main(int argc, char *argv[])
{
    Bench::Session session(argc, argv, QStringLiteral("Window responsiveness with 10 000 markers."), {});
    const QString recording = session.workDir + QLatin1String("/marked.wly");
    if (!Bench::writeRecording(recording, Frames) || !writeMarks(recording + QLatin1String(".marks"))) {
        std::printf("!! cannot write %s\n", qPrintable(recording));
        return 1;
    }
    if (!Fixture::writeSettings(session.workDir, Bench::settingsIn(session.workDir)))
        return 1;
    Bench::Answerers answerers;
    Korvel_recorder window(session.workDir);
    window.resize(1200, 700);
    window.show();

    printWaits("idle (reference)", Bench::postedEventWaits(&window, 2000));

    QAction *play = window.findChild<QAction *>(QStringLiteral("actionPlay"));
    if (!Fixture::triggerWithFile(&window, "actionOpen", recording))
        return 1;
    printWaits("opening, with the markers", Bench::postedEventWaitsUntil(&window, [&] { return play->isEnabled(); }));

    // The slider repaints its ticks at every move of the handle.
    auto *slider = window.findChild<QSlider *>(QStringLiteral("playSlider"));
    QTimer mover;
    QObject::connect(&mover, &QTimer::timeout, [slider] {
        slider->setValue((slider->value() + 997) % Frames + 1);
        slider->repaint();
    });
    mover.start(16);
    printWaits("slider with ticks repainting", Bench::postedEventWaits(&window, 3000));
    mover.stop();

    bool scrolled = false;
    Modal::onNextDialog([&](QDialog *dialog) {
        auto *table = dialog->findChild<QTableView *>(QStringLiteral("markerTable"));
        if (!table) {
            std::printf("!! no marker list in Recording info\n");
            dialog->reject();
            return;
        }
        // The dialog's first paint (charts of a million frames) is not the scrolling.
        Bench::pump(1000);
        QScrollBar *bar = table->verticalScrollBar();
        QTimer scroller;
        QObject::connect(&scroller, &QTimer::timeout, [bar] {
            bar->setValue(bar->value() + bar->pageStep() >= bar->maximum() ? 0 : bar->value() + bar->pageStep());
        });
        scroller.start(16);
        const std::vector<double> waits = Bench::postedEventWaits(dialog, 5000);
        scroller.stop();
        printWaits("scrolling the Recording info list", waits);
        std::printf("goal: p99 < 50 ms while scrolling: %s\n",
                    Bench::quantile(waits, 0.99) < 50000 ? "met" : "missed");
        scrolled = true;
        dialog->reject();
    }, 120000);
    const uint64_t opened = Stopwatch::microseconds();
    Fixture::trigger(&window, "actionRecordingInfo");
    std::printf("Recording info open and closed after %.0f ms\n", double(Stopwatch::microseconds() - opened) / 1000);
    return scrolled ? 0 : 1;
}
