#ifndef RECORD_PLAN_H
#define RECORD_PLAN_H

#include "record/receive_options.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QString>

namespace CommandLine {

// What `record` was asked to do, read from its options.
struct RecordPlan {
    enum Trigger { NoTrigger, SignalTrigger, MatchTrigger };

    qint64 port = 0;
    qint64 count = 0;
    double duration = 0;
    QString output;
    bool json = false;
    qint64 preSeconds = 0;
    Trigger trigger = NoTrigger;
    QRegularExpression pattern;
    double post = 0;
    qint64 splitBytes = 0;
    double splitSeconds = 0;
    qint64 keep = 0;
    ReceiveOptions receive;

    bool splits() const { return splitBytes > 0 || splitSeconds > 0; }
};

void addRecordOptions(QCommandLineParser &parser);
// -1 when the plan is whole, else the exit status after the failure line.
int readRecordPlan(const QCommandLineParser &parser, RecordPlan &plan);

}

#endif
