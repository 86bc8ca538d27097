#include "play/playback_failure.h"

#include "platform/udp_socket.h"

#include <QCoreApplication>

PlaybackFailure::Texts PlaybackFailure::texts(const QString &path) const
{
    if (kind == RecordingUnreadable)
        return {reason, QStringLiteral("%1: %2").arg(path, reason)};
    // The window names the destination by its number, as its play settings do.
    const QString window = destinationNumber == 2
                               ? QCoreApplication::translate("Korvel_recorder", "Error while sending data 2")
                               : QCoreApplication::translate("Korvel_recorder", "Error while sending data");
    return {window,
            QStringLiteral("sending to %1:%2 failed: %3").arg(destination.host).arg(destination.port).arg(reason)};
}

QString PlaybackFailure::sendReason(int udpResult, int error)
{
    if (udpResult == UDP_TIMEOUT)
        return QStringLiteral("The datagram could not be sent within 5 s.");
    return qt_error_string(error);
}
