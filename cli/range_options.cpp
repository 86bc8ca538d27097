#include "cli/range_options.h"

#include "cli/command_line_support.h"
#include "play/recording_index.h"

namespace CommandLine {

void addRangeOptions(QCommandLineParser &parser)
{
    parser.addOptions({{QStringLiteral("from"), QString(), QStringLiteral("FRAME")},
                       {QStringLiteral("until"), QString(), QStringLiteral("FRAME")},
                       {QStringLiteral("from-marker"), QString(), QStringLiteral("LABEL")},
                       {QStringLiteral("until-marker"), QString(), QStringLiteral("LABEL")}});
}

int readRange(const QCommandLineParser &parser, const QString &recordingPath, RangeChoice &range)
{
    const QString fromMarker = QStringLiteral("from-marker"), untilMarker = QStringLiteral("until-marker");
    if (parser.isSet(QStringLiteral("from")) && parser.isSet(fromMarker))
        return fail(ExitUsage, QStringLiteral("--from and --from-marker exclude each other (see --help)"));
    if (parser.isSet(QStringLiteral("until")) && parser.isSet(untilMarker))
        return fail(ExitUsage, QStringLiteral("--until and --until-marker exclude each other (see --help)"));
    if (!readInteger(parser, QStringLiteral("from"), 0, std::numeric_limits<int>::max(), range.from)
        || !readInteger(parser, QStringLiteral("until"), 0, std::numeric_limits<int>::max(), range.until))
        return ExitUsage;
    range.hasFrom = parser.isSet(QStringLiteral("from")) || parser.isSet(fromMarker);
    range.hasUntil = parser.isSet(QStringLiteral("until")) || parser.isSet(untilMarker);
    if (parser.isSet(fromMarker) || parser.isSet(untilMarker)) {
        const QList<Marker> markers = readMarkers(recordingPath, nullptr);
        for (const QString &option : {fromMarker, untilMarker}) {
            if (!parser.isSet(option))
                continue;
            const QString label = parser.value(option);
            const qsizetype found = MarkerStore::find(markers, label);
            if (found < 0)
                return fail(ExitUsage, QStringLiteral("--%1 %2: %3 has no marker labelled \"%2\"")
                                           .arg(option, label, MarkerStore::pathFor(recordingPath)));
            (option == fromMarker ? range.from : range.until) = markers[found].frame;
        }
    }
    if (range.from > range.until)
        return fail(ExitUsage, QStringLiteral("--from %1 lies after --until %2").arg(range.from).arg(range.until));
    return -1;
}

QList<Marker> readMarkers(const QString &recordingPath, const RecordingIndex *index)
{
    const QString marksPath = MarkerStore::pathFor(recordingPath);
    MarkerStore::ReadResult read = MarkerStore::read(marksPath);
    if (read.status == MarkerStore::ReadResult::Unreadable)
        warn(QStringLiteral("%1 cannot be read: %2").arg(marksPath, read.reason));
    else if (read.status == MarkerStore::ReadResult::Damaged)
        warn(QStringLiteral("%1 line %2 is not a marker (\"%3\"); the other lines are used")
                 .arg(marksPath)
                 .arg(read.badLine)
                 .arg(read.badText));
    if (index) {
        const QList<Marker> dropped = MarkerStore::dropMissing(read.markers, *index);
        for (const Marker &marker : dropped)
            warn(QStringLiteral("%1: marker \"%2\" is for frame %3, which %4 does not hold")
                     .arg(marksPath, marker.label)
                     .arg(marker.frame)
                     .arg(recordingPath));
    }
    return read.markers;
}

}
