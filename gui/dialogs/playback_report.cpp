#include "gui/dialogs/playback_report.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <iterator>

namespace {

QString microseconds(double value)
{
    return QStringLiteral("%1 µs").arg(value, 0, 'f', 1);
}

}

PlaybackReportDlg::PlaybackReportDlg(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Playback report"));
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    layout->addLayout(form);
    const auto figure = [this, form](const char *key, const QString &title) {
        auto *label = new QLabel(this);
        label->setObjectName(QLatin1String(key));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(title, label);
        return label;
    };
    framesSent = figure("frames_sent", tr("Frames sent:"));
    sendErrors = figure("send_errors", tr("Failed sends:"));
    lateP50 = figure("jitter_p50_us", tr("Lateness, median:"));
    lateP99 = figure("jitter_p99_us", tr("Lateness, 99 %:"));
    lateP999 = figure("late_p999_us", tr("Lateness, 99.9 %:"));
    lateMax = figure("late_max_us", tr("Latest frame:"));
    firstLate = figure("first_late_us", tr("First frame late by:"));
    rateError = figure("rate_error_ppm", tr("Rate error (fitted):"));
    realtime = figure("realtime", tr("Real-time priority:"));
    injected = figure("injected", tr("Faults injected:"));

    histogram = new QTableWidget(int(std::size(PlaybackReport::BucketEdges)), 2, this);
    histogram->setObjectName(QStringLiteral("late_histogram_us"));
    histogram->setHorizontalHeaderLabels({tr("Lateness"), tr("Frames")});
    histogram->verticalHeader()->hide();
    histogram->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    histogram->setEditTriggers(QAbstractItemView::NoEditTriggers);
    const qsizetype edges = qsizetype(std::size(PlaybackReport::BucketEdges));
    for (qsizetype i = 0; i < edges; ++i) {
        const double low = PlaybackReport::BucketEdges[i];
        const QString range = i + 1 < edges
                                  ? QStringLiteral("%1 – %2 µs").arg(low).arg(PlaybackReport::BucketEdges[i + 1])
                                  : QStringLiteral("≥ %1 µs").arg(low);
        histogram->setItem(int(i), 0, new QTableWidgetItem(range));
        auto *count = new QTableWidgetItem;
        count->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        histogram->setItem(int(i), 1, count);
    }
    layout->addWidget(new QLabel(tr("Lateness of the frames sent against their deadlines:"), this));
    layout->addWidget(histogram);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void PlaybackReportDlg::setValues(const Player::Stats &stats)
{
    const PlaybackReport::Figures &timing = stats.timing;
    framesSent->setText(QString::number(stats.framesSent));
    sendErrors->setText(QString::number(stats.sendErrors));
    lateP50->setText(microseconds(timing.lateP50));
    lateP99->setText(microseconds(timing.lateP99));
    lateP999->setText(microseconds(timing.lateP999));
    lateMax->setText(timing.lateMaxFrame >= 0
                         ? tr("%1 (frame %2)").arg(microseconds(timing.lateMax)).arg(timing.lateMaxFrame)
                         : tr("none timed"));
    firstLate->setText(microseconds(timing.firstLate));
    rateError->setText(QStringLiteral("%1 ppm").arg(timing.rateErrorPpm, 0, 'f', 2));
    realtime->setText(stats.realtime ? tr("granted") : tr("not granted"));
    injected->setText(tr("%1 dropped, %2 duplicated, %3 reordered")
                          .arg(stats.dropped)
                          .arg(stats.duplicated)
                          .arg(stats.reordered));
    for (int i = 0; i < histogram->rowCount(); ++i)
        histogram->item(i, 1)->setText(QString::number(timing.buckets.value(i)));
}
