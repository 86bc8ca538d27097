// korvel-recorder info: what a recording holds, from its index.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "cli/range_options.h"
#include "play/recording_index.h"

#include <cmath>
#include <cstdio>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder info - describe a recording

SYNOPSIS
    korvel-recorder info FILE [--json]

DESCRIPTION
    Indexes FILE as playback does and prints the number of frames, the first
    and last frame number, the lost frames and their ranges, the duration and
    mean rate from the "ts" lines, and the size in bytes.

OPTIONS
    --json    print one JSON object instead: frames, first, last, lost,
              lost_ranges ([[from, to], ...]), duration_s, rate_hz, bytes,
              markers ([{frame, label}, ...] from FILE.marks).
              duration_s and rate_hz are 0 without two increasing "ts" lines.

EXIT STATUS
    0 success, 1 the file cannot be read or is not a recording, 2 usage error.
)";

QString rangesText(const QList<QPair<int, int>> &ranges)
{
    QStringList parts;
    for (const auto &range : ranges)
        parts << (range.first == range.second ? QString::number(range.first)
                                              : QStringLiteral("%1-%2").arg(range.first).arg(range.second));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

}

int info(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("json"), QString()});
    const int parsed = parse(parser, arguments, manual, 1);
    if (parsed >= 0)
        return parsed;

    const QString path = parser.positionalArguments().constFirst();
    RecordingIndex index;
    const IndexResult result = RecordingIndex::build(path, index);
    if (result.status != IndexResult::Loaded)
        return fail(ExitFailure, RecordingIndex::failureText(path, result));

    const QList<QPair<int, int>> lost = index.lostRanges();
    // Figures as printed, to the microsecond and the millihertz; 0, not NaN, for scripts.
    const double duration = std::round(index.duration() * 1e6) / 1e6;
    const double rate = std::isnan(index.meanRate()) ? 0.0 : std::round(index.meanRate() * 1e3) / 1e3;
    const int first = index.first();
    if (parser.isSet(QStringLiteral("json"))) {
        printJson(index.summary(readMarkers(path, &index)));
        return ExitSuccess;
    }
    std::printf("file         %s\n"
                "frames       %d\n"
                "first        %d\n"
                "last         %d\n"
                "lost         %d (%s)\n"
                "duration     %.6f s\n"
                "mean rate    %.3f Hz\n"
                "bytes        %lld\n",
                qPrintable(path), index.frameCount(), first, index.last(), index.lostCount(),
                qPrintable(rangesText(lost)), duration, rate, (long long)index.fileSize());
    return ExitSuccess;
}

}
