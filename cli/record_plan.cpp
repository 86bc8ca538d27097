#include "cli/record_plan.h"

#include "cli/command_line_support.h"
#include "record/recording_session.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

namespace CommandLine {

namespace {

// "SIZE[K|M|G]": bytes, or 0 after a usage error.
qint64 readSize(const QString &text)
{
    qint64 unit = 1;
    QString digits = text;
    const QChar last = text.isEmpty() ? QChar() : text.back().toUpper();
    if (last == QLatin1Char('K') || last == QLatin1Char('M') || last == QLatin1Char('G')) {
        unit = last == QLatin1Char('K') ? 1024 : last == QLatin1Char('M') ? 1024 * 1024 : 1024 * 1024 * 1024;
        digits.chop(1);
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    // Up to a pebibyte: far beyond any disk, far below an overflow.
    if (!ok || value < 1 || value > (qint64(1) << 50) / unit) {
        fail(ExitUsage, QStringLiteral("--split-size %1: expected a size in bytes, or with K, M or G, from 1 to 1024T")
                            .arg(text));
        return 0;
    }
    return value * unit;
}

bool readTrigger(const QString &text, RecordPlan &plan)
{
    if (text == QLatin1String("signal")) {
        plan.trigger = RecordPlan::SignalTrigger;
        return true;
    }
    if (text.startsWith(QLatin1String("match:")) && text.size() > 6) {
        plan.pattern.setPattern(text.mid(6));
        if (!plan.pattern.isValid()) {
            fail(ExitUsage, QStringLiteral("--trigger %1: %2 at character %3")
                                .arg(text, plan.pattern.errorString())
                                .arg(plan.pattern.patternErrorOffset()));
            return false;
        }
        plan.trigger = RecordPlan::MatchTrigger;
        return true;
    }
    fail(ExitUsage, QStringLiteral("--trigger %1: expected signal or match:REGEX").arg(text));
    return false;
}

}

void addRecordOptions(QCommandLineParser &parser)
{
    parser.addOptions({{QStringLiteral("port"), QString(), QStringLiteral("PORT")},
                       {QStringLiteral("output"), QString(), QStringLiteral("FILE")},
                       {QStringLiteral("count"), QString(), QStringLiteral("N")},
                       {QStringLiteral("duration"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("pre"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("trigger"), QString(), QStringLiteral("KIND")},
                       {QStringLiteral("post"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("split-size"), QString(), QStringLiteral("SIZE")},
                       {QStringLiteral("split-duration"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("keep"), QString(), QStringLiteral("N")},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("listen"), QString(), QStringLiteral("ADDRESS|IFNAME")},
                       {QStringLiteral("join"), QString(), QStringLiteral("GROUP|SOURCE@GROUP")},
                       {QStringLiteral("allow"), QString(), QStringLiteral("HOST|SUBNET")}});
}

int readRecordPlan(const QCommandLineParser &parser, RecordPlan &plan)
{
    auto isSet = [&parser](const char *name) { return parser.isSet(QLatin1String(name)); };
    if (!isSet("port") || !isSet("output"))
        return fail(ExitUsage, QStringLiteral("--port and --output are required (see --help)"));
    if (!readInteger(parser, QStringLiteral("port"), 1, 65535, plan.port)
        || !readInteger(parser, QStringLiteral("count"), 1, std::numeric_limits<qint64>::max(), plan.count)
        || !readNumber(parser, QStringLiteral("duration"), 0.001, 1e9, plan.duration)
        || !readInteger(parser, QStringLiteral("pre"), 0, RecordingSession::MaxPreTriggerSeconds, plan.preSeconds)
        || !readNumber(parser, QStringLiteral("post"), 0.001, 1e9, plan.post)
        || !readNumber(parser, QStringLiteral("split-duration"), 0.001, 1e9, plan.splitSeconds)
        || !readInteger(parser, QStringLiteral("keep"), 1, 1000000, plan.keep))
        return ExitUsage;
    ReceiveOptionsError wrong;
    if (!parseReceiveOptions(parser.value(QStringLiteral("listen")), parser.values(QStringLiteral("join")),
                             parser.values(QStringLiteral("allow")), plan.receive, &wrong)) {
        static const char *const names[] = {"listen", "join", "allow"};
        return fail(ExitUsage, QStringLiteral("--%1 %2: %3").arg(QLatin1String(names[wrong.field]), wrong.value,
                                                                 wrong.reason));
    }
    if (isSet("trigger") && !readTrigger(parser.value(QStringLiteral("trigger")), plan))
        return ExitUsage;
    if (isSet("split-size") && (plan.splitBytes = readSize(parser.value(QStringLiteral("split-size")))) == 0)
        return ExitUsage;
    if (plan.trigger != RecordPlan::NoTrigger && plan.preSeconds == 0)
        return fail(ExitUsage, QStringLiteral("--trigger needs --pre SECONDS, from 1 to %1")
                                   .arg(RecordingSession::MaxPreTriggerSeconds));
    if (isSet("post") && plan.trigger == RecordPlan::NoTrigger)
        return fail(ExitUsage, QStringLiteral("--post needs --trigger: it counts from the trigger"));
    if (isSet("split-size") && isSet("split-duration"))
        return fail(ExitUsage, QStringLiteral("--split-size and --split-duration exclude each other"));
    if (isSet("keep") && !plan.splits())
        return fail(ExitUsage, QStringLiteral("--keep needs --split-size or --split-duration"));
    plan.json = isSet("json");

    // Refused before receiving anything: a recording with nowhere to go would be lost at the end.
    plan.output = parser.value(QStringLiteral("output"));
    if (plan.output.isEmpty())
        return fail(ExitUsage, QStringLiteral("--output is empty: name the recording to write (see --help)"));
    const QFileInfo target(plan.output);
    const QFileInfo folder(target.absolutePath());
    if (target.isDir())
        return fail(ExitFailure, QStringLiteral("%1 is a folder").arg(plan.output));
    if (!folder.isDir() || !folder.isWritable())
        return fail(ExitFailure, QStringLiteral("%1: the folder %2 does not exist or cannot be written")
                                     .arg(plan.output, QDir::toNativeSeparators(folder.filePath())));
    return -1;
}

}
