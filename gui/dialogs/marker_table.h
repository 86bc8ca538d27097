#ifndef MARKER_TABLE_H
#define MARKER_TABLE_H

#include <QAbstractTableModel>

class MarkerBook;
class RecordingIndex;

// The markers of Recording info: frame, time from the "ts" lines and label,
// the label editable. Rows are read from the book on demand, so ten thousand
// markers cost no more than the rows in view.
class MarkerTable : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { FrameColumn, TimeColumn, LabelColumn, ColumnCount };

    MarkerTable(MarkerBook *book, const RecordingIndex &index, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;

private:
    MarkerBook *book;
    const RecordingIndex &recording;
    bool editing = false;
};

#endif
