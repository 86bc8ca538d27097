// korvel-recorder cut: a clip of a recording, as the window's Export range writes it.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "cli/range_options.h"
#include "play/clip_writer.h"
#include "play/recording_index.h"

#include <QFileInfo>

#include <cstdio>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder cut - write a range of a recording as a recording of its own

SYNOPSIS
    korvel-recorder cut INPUT OUTPUT [--from FRAME] [--until FRAME]
                        [--from-marker LABEL] [--until-marker LABEL] [--json]

DESCRIPTION
    Writes the stored frames of INPUT from FRAME to FRAME to OUTPUT, whole and
    byte for byte as stored, with the markers of INPUT.marks that lie inside
    as OUTPUT.marks. The frames keep their numbers. OUTPUT is written beside
    its name and renamed when complete, so it is never left half written.
    Without a range the whole recording is written.

    A range partly outside the recording is cut to the frames it holds; a
    range wholly outside it, or holding no stored frame, is refused.

OPTIONS
    --from FRAME          start at the first stored frame at or after FRAME
    --until FRAME         end with the last stored frame at or before FRAME
    --from-marker LABEL, --until-marker LABEL
                          the same at the frame of the marker labelled LABEL
    --json                print one JSON line at the end: frames, first,
                          last, bytes and markers (their number)

EXIT STATUS
    0 written, 1 INPUT cannot be read or OUTPUT cannot be written, 2 usage
    error (an unknown label, --from after --until, a range without frames).
)";

}

int cut(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("json"), QString()});
    addRangeOptions(parser);
    const int parsed = parse(parser, arguments, manual, 2);
    if (parsed >= 0)
        return parsed;
    const QString input = parser.positionalArguments().at(0);
    const QString output = parser.positionalArguments().at(1);
    RangeChoice range;
    const int ranged = readRange(parser, input, range);
    if (ranged >= 0)
        return ranged;
    if (QFileInfo(output).isDir())
        return fail(ExitFailure, QStringLiteral("%1 is a folder").arg(output));

    RecordingIndex index;
    const IndexResult indexed = RecordingIndex::build(input, index);
    if (indexed.status != IndexResult::Loaded)
        return fail(ExitFailure, RecordingIndex::failureText(input, indexed));
    if (range.from > index.last() || range.until < index.first())
        return fail(ExitUsage, QStringLiteral("%1 holds frames %2 to %3; the range %4 to %5 lies outside")
                                   .arg(input)
                                   .arg(index.first())
                                   .arg(index.last())
                                   .arg(range.from)
                                   .arg(range.until));

    const QList<Marker> markers = readMarkers(input, &index);
    const ClipResult clip = ClipWriter::write(index, int(range.from), int(range.until), markers, output);
    switch (clip.status) {
    case ClipResult::Written:
        break;
    case ClipResult::NoFrames:
        return fail(ExitUsage, QStringLiteral("%1: no frame from %2 to %3 is stored")
                                   .arg(input)
                                   .arg(qMax<qint64>(range.from, index.first()))
                                   .arg(qMin<qint64>(range.until, index.last())));
    case ClipResult::ReadFailed:
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(input, clip.reason));
    case ClipResult::WriteFailed:
    case ClipResult::Cancelled:
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(output, clip.reason));
    }
    if (parser.isSet(QStringLiteral("json"))) {
        printJson({{QStringLiteral("frames"), clip.frames},
                   {QStringLiteral("first"), clip.first},
                   {QStringLiteral("last"), clip.last},
                   {QStringLiteral("bytes"), clip.bytes},
                   {QStringLiteral("markers"), clip.markers}});
    }
    return ExitSuccess;
}

}
