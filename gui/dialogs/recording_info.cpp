#include "gui/dialogs/recording_info.h"

#include "gui/dialogs/marker_table.h"
#include "gui/dialogs/message_box.h"
#include "play/marker_book.h"
#include "play/recording_index.h"

#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QHeaderView>
#include <QScatterSeries>
#include <QTableView>
#include <QValueAxis>
#include <QVBoxLayout>

namespace {

QString lostRangesText(const RecordingStats &stats)
{
    if (stats.lostRangeCount == 0)
        return QCoreApplication::translate("RecordingInfo", "none");
    QStringList ranges;
    for (const auto &[from, to] : stats.lostRanges)
        ranges += from == to ? QString::number(from) : QString::number(from) + QChar(0x2013) + QString::number(to);
    QString text = ranges.join(QLatin1String(", "));
    if (stats.lostRangeCount > stats.lostRanges.size())
        text += QCoreApplication::translate("RecordingInfo", " and %1 more")
                    .arg(stats.lostRangeCount - stats.lostRanges.size());
    return text;
}

QLineSeries *lineSeries(const QList<QPointF> &points, const QString &name)
{
    auto *series = new QLineSeries;
    series->setName(name);
    // One call: appending point by point redraws for each.
    series->replace(points);
    return series;
}

QValueAxis *valueAxis(const QString &title, double low, double high)
{
    auto *axis = new QValueAxis;
    axis->setTitleText(title);
    axis->setRange(low, high);
    axis->setLabelFormat(QStringLiteral("%g"));
    return axis;
}

// Lowest (at most 0) and highest (at least 1) value of the points, with some room above.
QPair<double, double> valueRange(const QList<QPointF> &points, double low = 0.0, double high = 1.0)
{
    for (const QPointF &point : points) {
        low = qMin(low, point.y());
        high = qMax(high, point.y());
    }
    return {low, high * 1.05};
}

void addSeries(QChart *chart, QXYSeries *series, QValueAxis *x, QValueAxis *y)
{
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
}

// A chart over the recording's seconds, with the line series on the left axis.
QChart *chart(const QString &title, double seconds, const QString &unit, const QList<QLineSeries *> &lines,
              QValueAxis *&x)
{
    auto *chart = new QChart;
    chart->setTitle(title);
    x = valueAxis(QCoreApplication::translate("RecordingInfo", "time (s)"), 0.0, qMax(seconds, 1.0));
    x->setLabelFormat(QStringLiteral("%.0f"));
    QPair<double, double> range(0.0, 1.0);
    for (QLineSeries *line : lines)
        range = valueRange(line->points(), range.first, range.second);
    QValueAxis *y = valueAxis(unit, range.first, range.second);
    y->applyNiceNumbers();
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (QLineSeries *line : lines)
        addSeries(chart, line, x, y);
    return chart;
}

QChartView *chartView(QChart *chart, const char *name)
{
    auto *view = new QChartView(chart);
    view->setObjectName(QLatin1String(name));
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(640, 240);
    return view;
}

}

RecordingInfo::RecordingInfo(const RecordingIndex &index, QWidget *parent)
    : RecordingInfo(RecordingStats::of(index), index.path(), parent)
{
}

RecordingInfo::RecordingInfo(const RecordingStats &stats, const QString &recordingPath, QWidget *parent)
    : QDialog(parent)
    , stats(stats)
    , recordingPath(recordingPath)
{
    setWindowTitle(tr("Recording info"));
    if (parent)
        setWindowIcon(parent->windowIcon());

    auto *layout = new QVBoxLayout(this);
    addFigures(QFileInfo(recordingPath).fileName());
    rateView = rateChart();
    intervalView = intervalChart();
    layout->addWidget(rateView);
    layout->addWidget(intervalView);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *save = buttons->addButton(tr("Save picture…"), QDialogButtonBox::ActionRole);
    save->setObjectName(QStringLiteral("pb_save_picture"));
    connect(save, &QPushButton::clicked, this, &RecordingInfo::savePictureAs);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void RecordingInfo::addFigures(const QString &fileName)
{
    auto *form = new QFormLayout;
    const auto row = [&](const char *name, const QString &label, const QString &value) {
        auto *text = new QLabel(value, this);
        text->setObjectName(QLatin1String(name));
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(label, text);
    };
    const QString none = tr("none");
    const double duration = stats.durationSeconds;
    row("value_file", tr("File:"), fileName);
    row("value_frames", tr("Frames:"), QString::number(stats.frames));
    row("value_first", tr("First frame:"), stats.frames ? QString::number(stats.firstNumber) : none);
    row("value_last", tr("Last frame:"), stats.frames ? QString::number(stats.lastNumber) : none);
    row("value_lost_frames", tr("Lost frames:"), QString::number(stats.lostFrames));
    row("value_lost", tr("Lost ranges:"), lostRangesText(stats));
    row("value_duration", tr("Duration:"),
        std::isnan(duration) ? tr("no timestamps") : QString::number(duration, 'f', 3) + QLatin1String(" s"));
    // Stamps that end before they start give a duration but no rate.
    row("value_rate", tr("Mean rate:"),
        std::isnan(stats.meanRate) ? QStringLiteral("-- Hz")
                                   : QString::number(stats.meanRate, 'f', 1) + QLatin1String(" Hz"));
    row("value_size", tr("Size:"),
        tr("%1 (%2 bytes)").arg(locale().formattedDataSize(stats.fileSize), QString::number(stats.fileSize)));
    static_cast<QVBoxLayout *>(layout())->addLayout(form);
}

QChartView *RecordingInfo::rateChart()
{
    const double seconds = stats.rate.size() * stats.bucketSeconds;
    const QString title = stats.bucketSeconds > 1.0 ? tr("Frame rate (mean of every %1 s)").arg(stats.bucketSeconds)
                                                    : tr("Frame rate");
    QValueAxis *x = nullptr;
    QChart *rates = chart(title, seconds, tr("frames/s"), {lineSeries(stats.rate, tr("frames/s"))}, x);
    // Losses have an axis of their own: a few lost frames would vanish on the scale of the rate.
    auto *lost = new QScatterSeries;
    lost->setName(tr("lost frames"));
    lost->setColor(Qt::red);
    lost->setMarkerSize(6.0);
    // The default white border of one mark would hide its neighbour where losses are dense.
    lost->setBorderColor(Qt::red);
    lost->replace(stats.lostMarks);
    const QPair<double, double> range = valueRange(stats.lostMarks);
    QValueAxis *y = valueAxis(tr("lost"), range.first, range.second);
    y->applyNiceNumbers();
    rates->addAxis(y, Qt::AlignRight);
    addSeries(rates, lost, x, y);
    rateTimeAxis = x;
    lostAxis = y;
    return chartView(rates, "rateChart");
}

QChartView *RecordingInfo::intervalChart() const
{
    const double seconds = stats.rate.size() * stats.bucketSeconds;
    QValueAxis *x = nullptr;
    return chartView(chart(tr("Interval between timestamps"), seconds, tr("ms"),
                           {lineSeries(stats.intervalMax, tr("longest")), lineSeries(stats.intervalMin, tr("shortest"))},
                           x),
                     "intervalChart");
}

void RecordingInfo::showMarkers(MarkerBook *book, const RecordingIndex &index)
{
    auto *table = new QTableView(this);
    table->setObjectName(QStringLiteral("markerTable"));
    table->setModel(new MarkerTable(book, index, table));
    table->verticalHeader()->hide();
    // Fixed row heights: the view then never measures ten thousand rows.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setMinimumHeight(120);
    auto *box = static_cast<QVBoxLayout *>(layout());
    box->insertWidget(box->indexOf(rateView), table);

    // On the chart's axis of the losses, at its foot: a moment, not an amount.
    const double start = index.firstTimestamp();
    QList<QPointF> points;
    for (const Marker &marker : book->markers()) {
        const double stamp = index.timestamp(marker.frame);
        if (!std::isnan(stamp) && !std::isnan(start))
            points << QPointF(stamp - start, 0.0);
    }
    auto *series = new QScatterSeries;
    series->setName(tr("markers"));
    series->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
    series->setMarkerSize(9.0);
    series->replace(points);
    addSeries(rateView->chart(), series, rateTimeAxis, lostAxis);
}

bool RecordingInfo::savePicture(const QString &fileName)
{
    // A dialog that was never shown has no laid-out size yet.
    if (!isVisible())
        adjustSize();
    layout()->activate();
    const QPixmap top = rateView->grab();
    const QPixmap bottom = intervalView->grab();
    QImage picture(qMax(top.width(), bottom.width()), top.height() + bottom.height(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.drawPixmap(0, 0, top);
    painter.drawPixmap(0, top.height(), bottom);
    painter.end();
    return picture.save(fileName, "PNG");
}

void RecordingInfo::savePictureAs()
{
    const QFileInfo recording(recordingPath);
    QString fileName = QFileDialog::getSaveFileName(
        this, tr("Save picture"), recording.absolutePath() + QLatin1Char('/') + recording.completeBaseName() + ".png",
        tr("PNG images (*.png)"));
    if (fileName.isEmpty())
        return;
    if (QFileInfo(fileName).suffix().isEmpty())
        fileName += QLatin1String(".png");
    if (!savePicture(fileName))
        showMessage(this, QMessageBox::Critical, tr("Save picture"), tr("%1 could not be written.").arg(fileName));
}
