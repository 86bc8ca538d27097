#ifndef RECORDING_INFO_H
#define RECORDING_INFO_H

#include "play/recording_stats.h"

#include <QDialog>
#include <QString>

class MarkerBook;
class QChart;
class QChartView;
class QTableView;
class QValueAxis;
class RecordingIndex;

// "Recording info": a recording's counts, its frame rate over time with the lost
// frames marked, and the intervals between its timestamps.
class RecordingInfo : public QDialog
{
    Q_OBJECT

public:
    // Gathers the figures here, in one pass over the index.
    explicit RecordingInfo(const RecordingIndex &index, QWidget *parent = nullptr);
    // Figures gathered beforehand, e.g. by the thread that built the index.
    RecordingInfo(const RecordingStats &stats, const QString &recordingPath, QWidget *parent = nullptr);

    // Lists the markers of `book`, labels editable, and shows them on the rate chart.
    void showMarkers(MarkerBook *book, const RecordingIndex &index);

    // Both charts, one above the other, as a PNG; false when it could not be written.
    bool savePicture(const QString &fileName);

public slots:
    void savePictureAs();

private:
    void addFigures(const QString &fileName);
    QChartView *rateChart();
    QChartView *intervalChart() const;

    RecordingStats stats;
    QString recordingPath;
    QChartView *rateView = nullptr;
    QChartView *intervalView = nullptr;
    QValueAxis *rateTimeAxis = nullptr;
    QValueAxis *lostAxis = nullptr;
};

#endif
