#include "play/fault_plan.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// splitmix64: a fixed mixing function, identical everywhere, unlike the
// standard library's distributions.
quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

constexpr quint64 FaultStream = 1;
constexpr quint64 DelayStream = 2;

}

bool FaultChoice::lists(int frame) const
{
    for (const auto &range : frames) {
        if (frame >= range.first && frame <= range.second)
            return true;
    }
    return false;
}

bool FaultChoice::parse(const QString &text, FaultChoice &choice, QString &reason)
{
    choice = FaultChoice();
    const QString trimmed = text.trimmed();
    if (trimmed.endsWith(QLatin1Char('%'))) {
        bool ok = false;
        choice.percent = trimmed.chopped(1).toDouble(&ok);
        if (ok && choice.percent > 0 && choice.percent <= 100)
            return true;
        reason = QStringLiteral("expected a percentage above 0% and at most 100%");
        return false;
    }
    const QStringList items = trimmed.split(QLatin1Char(','));
    for (const QString &item : items) {
        const qsizetype dash = item.indexOf(QLatin1Char('-'));
        bool ok = false, okTo = true;
        const int from = item.left(dash < 0 ? item.size() : dash).trimmed().toInt(&ok);
        const int to = dash < 0 ? from : item.mid(dash + 1).trimmed().toInt(&okTo);
        if (!ok || !okTo || from < 0 || to < from) {
            reason = QStringLiteral("expected a percentage such as 1.5% or frame numbers such as 100-102,200");
            choice = FaultChoice();
            return false;
        }
        choice.frames.append({from, to});
    }
    return true;
}

bool FaultOptions::any() const
{
    return drop.isSet() || duplicate.isSet() || reorder.isSet() || delayMeanMs > 0 || delayJitterMs > 0;
}

bool FaultOptions::parseDelay(const QString &text, FaultOptions &options, QString &reason)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    bool ok = parts.size() <= 2;
    const double mean = ok ? parts[0].toDouble(&ok) : 0;
    bool okJitter = true;
    const double jitter = parts.size() == 2 ? parts[1].toDouble(&okJitter) : 0;
    if (!ok || !okJitter || !(mean >= 0 && mean <= 10000) || !(jitter >= 0 && jitter <= 10000)) {
        reason = QStringLiteral("expected MEAN_MS[:JITTER_MS], each from 0 to 10000");
        return false;
    }
    options.delayMeanMs = mean;
    options.delayJitterMs = jitter;
    return true;
}

FaultPlan::FaultPlan(const FaultOptions &faultOptions) : options(faultOptions), active(faultOptions.any()) {}

double FaultPlan::uniform(int frame, quint64 stream) const
{
    const quint64 bits = mix(mix(options.seed) ^ mix(quint64(quint32(frame)) << 2 | stream));
    return double(bits >> 11) * 0x1.0p-53;
}

FaultPlan::Fault FaultPlan::faultOf(int frame, bool spared) const
{
    const FaultChoice *choices[] = {&options.drop, &options.duplicate, &options.reorder};
    const Fault faults[] = {Drop, Duplicate, Reorder};
    for (int i = 0; i < 3; ++i) {
        if (choices[i]->lists(frame))
            return faults[i];
    }
    if (spared)
        return None;
    double threshold = 0;
    const double draw = uniform(frame, FaultStream) * 100.0;
    for (int i = 0; i < 3; ++i) {
        if (choices[i]->frames.isEmpty())
            threshold += choices[i]->percent;
        if (draw < threshold)
            return faults[i];
    }
    return None;
}

qint64 FaultPlan::delayOf(int frame) const
{
    if (options.delayMeanMs <= 0 && options.delayJitterMs <= 0)
        return 0;
    const double spread = options.delayJitterMs * (2.0 * uniform(frame, DelayStream) - 1.0);
    return std::max<qint64>(0, std::llround((options.delayMeanMs + spread) * 1e6));
}

FaultLog::FaultLog(qsizetype capacity)
{
    entries.resize(size_t(std::max<qsizetype>(capacity, 0)));
}

void FaultLog::append(int frame, FaultPlan::Fault fault)
{
    counts[fault].fetch_add(1, std::memory_order_relaxed);
    const qsizetype at = published.load(std::memory_order_relaxed);
    if (size_t(at) >= entries.size())
        return;
    entries[size_t(at)] = {frame, int(fault)};
    published.store(at + 1, std::memory_order_release);
}

QList<int> FaultLog::frames(FaultPlan::Fault fault) const
{
    QList<int> list;
    const qsizetype count = published.load(std::memory_order_acquire);
    for (qsizetype i = 0; i < count; ++i) {
        if (entries[size_t(i)].fault == fault)
            list.append(entries[size_t(i)].frame);
    }
    return list;
}

qint64 FaultLog::total(FaultPlan::Fault fault) const
{
    return counts[fault].load(std::memory_order_relaxed);
}
