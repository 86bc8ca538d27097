#include "gui/dialogs/marker_table.h"

#include "play/marker_book.h"
#include "play/recording_index.h"

#include <cmath>

MarkerTable::MarkerTable(MarkerBook *book, const RecordingIndex &index, QObject *parent)
    : QAbstractTableModel(parent), book(book), recording(index)
{
    // Another front end may add or edit markers while the list is shown.
    connect(book, &MarkerBook::changed, this, [this] {
        if (!editing) {
            beginResetModel();
            endResetModel();
        }
    });
}

int MarkerTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(book->markers().size());
}

int MarkerTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MarkerTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= book->markers().size()
        || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    const Marker &marker = book->markers().at(index.row());
    switch (index.column()) {
    case FrameColumn:
        return marker.frame;
    case TimeColumn: {
        const double stamp = recording.timestamp(marker.frame);
        return std::isnan(stamp) ? QStringLiteral("--") : QString::number(stamp, 'f', 3);
    }
    default:
        return marker.label;
    }
}

QVariant MarkerTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case FrameColumn:
        return tr("Frame");
    case TimeColumn:
        return tr("Time (ts)");
    default:
        return tr("Label");
    }
}

Qt::ItemFlags MarkerTable::flags(const QModelIndex &index) const
{
    const Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    return index.column() == LabelColumn ? flags | Qt::ItemIsEditable : flags;
}

bool MarkerTable::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || index.column() != LabelColumn)
        return false;
    editing = true;
    const bool set = book->setLabel(index.row(), value.toString());
    editing = false;
    if (set)
        emit dataChanged(index, index);
    return set;
}
