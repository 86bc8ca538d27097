#include "play/marker_book.h"

#include "play/player.h"
#include "play/recording_index.h"
#include "record/recording_session.h"

#include <algorithm>

MarkerBook::MarkerBook(QObject *parent)
    : QObject(parent)
{
}

MarkerBook::Opened MarkerBook::open(const QString &recordingPath, const RecordingIndex &index)
{
    Opened opened;
    opened.read = MarkerStore::read(MarkerStore::pathFor(recordingPath));
    path = recordingPath;
    list = opened.read.markers;
    opened.dropped = MarkerStore::dropMissing(list, index);
    emit changed();
    return opened;
}

void MarkerBook::startFresh(const QString &recordingPath)
{
    path = recordingPath;
    list.clear();
    MarkerStore::removeMarks(recordingPath);
    emit changed();
}

void MarkerBook::attach(const QString &recordingPath)
{
    path = recordingPath;
    list.clear();
    emit changed();
}

void MarkerBook::rewrite()
{
    if (!path.isEmpty())
        store();
}

void MarkerBook::close()
{
    path.clear();
    list.clear();
    emit changed();
}

qsizetype MarkerBook::add(int frame)
{
    if (path.isEmpty() || frame < 0)
        return -1;
    const qsizetype position = MarkerStore::insert(list, {frame, MarkerStore::nextLabel(list)});
    store();
    return position;
}

int MarkerBook::frameToMark(const RecordingSession &session, const Player &player, int shownFrame)
{
    if (session.mode() == RecordingSession::Recording)
        return int(session.newestFrame());
    const int playing = player.state() != Player::Idle ? player.position() : -1;
    return playing >= 0 ? playing : shownFrame;
}

qsizetype MarkerBook::markHere(const RecordingSession &session, const Player &player, int shownFrame)
{
    return add(frameToMark(session, player, shownFrame));
}

bool MarkerBook::setLabel(qsizetype position, const QString &label)
{
    if (position < 0 || position >= list.size())
        return false;
    const QString clean = MarkerStore::cleanLabel(label);
    if (list[position].label == clean)
        return true;
    list[position].label = clean;
    store();
    return true;
}

bool MarkerBook::remove(qsizetype position)
{
    if (position < 0 || position >= list.size())
        return false;
    list.removeAt(position);
    store();
    return true;
}

int MarkerBook::nextAfter(int frame) const
{
    const auto at = std::upper_bound(list.begin(), list.end(), frame,
                                     [](int f, const Marker &m) { return f < m.frame; });
    return at == list.end() ? -1 : at->frame;
}

int MarkerBook::previousBefore(int frame) const
{
    const auto at = std::lower_bound(list.begin(), list.end(), frame,
                                     [](const Marker &m, int f) { return m.frame < f; });
    return at == list.begin() ? -1 : std::prev(at)->frame;
}

void MarkerBook::store()
{
    QString reason;
    const QString marksPath = MarkerStore::pathFor(path);
    if (!MarkerStore::write(marksPath, list, &reason))
        emit writeFailed(marksPath, reason);
    emit changed();
}
