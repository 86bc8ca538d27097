#include "gui/window_settings.h"

#include "platform/host_lookup.h"
#include "gui/dialogs/settings_play.h"
#include "gui/dialogs/settings_record.h"
#include "play/multicast_options.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QDomElement>

#include <cerrno>

using namespace SettingsStore;

WindowSettings::WindowSettings(const QString &home) : texts(defaultTexts())
{
    texts[SaveFileDir] = home;
    texts[OpenFileDir] = home;
}

bool WindowSettings::load(const QString &settingsDir, QString &warning)
{
    QDomDocument document;
    if (!read(settingsDir, document, warning))
        return false;
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling())
        apply(node.toElement());
    return true;
}

void WindowSettings::apply(const QDomElement &element)
{
    if (element.isNull())
        return;
    const int key = keyOf(element);
    if (key < 0)
        return;
    const QString attribute = QLatin1String(attributeName(Key(key)));
    // A directory without its attribute keeps the one the window starts from.
    if ((key == SaveFileDir || key == OpenFileDir) && !element.hasAttribute(attribute))
        return;
    texts[key] = element.attribute(attribute);
}

bool WindowSettings::save(const QString &settingsDir, QString &warning) const
{
    return write(settingsDir, texts, warning);
}

void WindowSettings::takeDialogs(const Settings_play &play, const Settings_record &record)
{
    texts[PlayHost1] = play.host1();
    texts[PlayPort1] = play.port1Text();
    texts[PlayHost2] = play.host2();
    texts[PlayPort2] = play.port2Text();
    texts[Frequency] = play.frequencyText();
    texts[Timestamp] = play.timestampText();
    texts[Loop] = play.loopText();
    texts[Active] = play.activeText();
    texts[EveryTimestamp] = play.everyTimestampText();
    texts[ContinueNumbers] = play.continueNumbersText();
    const QStringList faults = play.faultTexts();
    texts[RealtimePriority] = play.realtimeText();
    texts[Faults] = play.faultsText();
    for (int i = 0; i < faults.size(); ++i)
        texts[FaultDrop + i] = faults[i];
    texts[RecordPort] = record.portText();
    texts[PreTriggerSeconds] = record.preTriggerText();
    texts[RecordListen] = record.listenText();
    texts[RecordJoin] = record.joinText();
    texts[RecordAllow] = record.allowText();
    texts[PlayTtl] = play.ttlText();
    texts[PlayInterface] = play.interfaceText();
    texts[PlayMulticastLoop] = play.multicastLoopText();
}

void WindowSettings::fillDialogs(Settings_play &play, Settings_record &record) const
{
    // A negative frequency from a hand-edited file must not wrap round to a huge number.
    const float hertz = frequency();
    const unsigned int shownFrequency = hertz > 0.0f ? static_cast<unsigned int>(hertz) : 0u;
    record.setValues(text(RecordPort), recordPort(), preTriggerSeconds());
    // The dialog checks the hosts itself on OK: the addresses passed in are only a start.
    play.setValues(text(PlayHost1), NetAddress(), playPort1(), shownFrequency, text(PlayHost2), NetAddress(), playPort2(), flag(Loop),
                   flag(Timestamp), flag(Active), flag(EveryTimestamp), flag(ContinueNumbers));
    play.setInstrumentValues(flag(RealtimePriority), flag(Faults),
                             texts.mid(FaultDrop, FaultSeed - FaultDrop + 1));
    record.setNetworkValues(text(RecordListen), text(RecordJoin), text(RecordAllow));
    play.setMulticastValues(text(PlayTtl), text(PlayInterface), flag(PlayMulticastLoop));
}

Player::Options WindowSettings::playerOptions() const
{
    Player::Options options;
    options.pace = !flag(Timestamp)       ? Player::FixedRate
                   : flag(EveryTimestamp) ? Player::EveryTimestamp
                                          : Player::FirstTwoTimestamps;
    options.frequency = frequency();
    options.loop = flag(Loop);
    options.renumber = flag(ContinueNumbers);
    options.realtime = flag(RealtimePriority);
    // A hand-edited fault that does not parse is left out, as the dialog refuses it.
    if (flag(Faults)) {
        QString reason;
        const std::pair<Key, FaultChoice *> choices[] = {{FaultDrop, &options.faults.drop},
                                                     {FaultDuplicate, &options.faults.duplicate},
                                                     {FaultReorder, &options.faults.reorder}};
        for (const auto &[key, choice] : choices) {
            if (!text(key).trimmed().isEmpty())
                FaultChoice::parse(text(key), *choice, reason);
        }
        if (!text(FaultDelay).trimmed().isEmpty())
            FaultOptions::parseDelay(text(FaultDelay), options.faults, reason);
        options.faults.seed = text(FaultSeed).toULongLong();
    }
    return options;
}

bool WindowSettings::receiveOptions(ReceiveOptions &options, QString &problem) const
{
    ReceiveOptionsError wrong;
    if (parseReceiveOptions(text(RecordListen), listFromText(text(RecordJoin)), listFromText(text(RecordAllow)),
                            options, &wrong))
        return true;
    problem = Settings_record::problemText(wrong);
    return false;
}

bool WindowSettings::multicast(Player::Multicast &multicast, QString &problem) const
{
    MulticastOptionsError wrong;
    const QString loop = flag(PlayMulticastLoop) ? QStringLiteral("on") : QStringLiteral("off");
    if (parseMulticastOptions(text(PlayTtl), text(PlayInterface), loop, multicast, &wrong))
        return true;
    problem = Settings_play::problemText(wrong);
    return false;
}

bool WindowSettings::preparePlayer(Player &player, QString &problem)
{
    QList<Destination> list;
    QString unresolved;
    if (!destinations(list, unresolved)) {
        problem = QCoreApplication::translate("Korvel_recorder", "The play host \"%1\" cannot be resolved. Nothing is "
                                                                 "sent.\nPlease check the play settings.")
                      .arg(unresolved);
        return false;
    }
    Player::Multicast chosen;
    QString wrong;
    if (!multicast(chosen, wrong) || !player.setMulticast(chosen)) {
        problem = QCoreApplication::translate("Korvel_recorder", "The multicast choice cannot be used: %1. Nothing is "
                                                                 "sent.\nPlease check the play settings.")
                      .arg(wrong.isEmpty() ? qt_error_string(errno) : wrong);
        return false;
    }
    player.setDestinations(list);
    player.setOptions(playerOptions());
    return true;
}

void WindowSettings::resolveHostsLater(QObject *context)
{
    for (int i : {0, 1}) {
        const QString host = playHost(i);
        // Answered after the user confirmed another host, it must not replace that one's address.
        HostLookup::lookUpLater(host, context, [this, i, host](NetAddress address) {
            if (playHost(i) == host)
                setAddress(i, host, address);
        });
    }
}

void WindowSettings::setAddress(int slot, const QString &host, const NetAddress &address)
{
    if (address.family != NET_NONE)
        resolved[slot] = {host, address};
}

bool WindowSettings::destinations(QList<Destination> &out, QString &unresolved)
{
    out.clear();
    for (int i = 0; i < (flag(Active) ? 2 : 1); ++i) {
        const QString host = playHost(i);
        NetAddress address = resolved[i].host == host ? resolved[i].address : NetAddress();
        if (address.family == NET_NONE) {
            address = HostLookup::lookUpWithin(host);
            setAddress(i, host, address);
        }
        if (address.family == NET_NONE) {
            unresolved = host;
            return false;
        }
        out.append({host, address, i ? playPort2() : playPort1()});
    }
    return true;
}
