#ifndef RECORDED_FRAMES_H
#define RECORDED_FRAMES_H

#include <QByteArray>
#include <QList>
#include <QString>

// Recordings for the playback tests: frames as stored (blanks to trim, a
// comment to drop), as playback sends them, and as the view shows them.
namespace Frames {

QByteArray stored(int n);
QByteArray sentFrame(int n);
QString shown(int n);

// Frames from..to as stored, without the `lost` ones.
QByteArray recording(int from, int to, const QList<int> &lost = {});
QList<QByteArray> sent(const QList<int> &numbers);
QList<int> span(int from, int to);

}

#endif
