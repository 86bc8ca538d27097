#ifndef SETTINGS_STORE_H
#define SETTINGS_STORE_H

#include <QDomDocument>
#include <QString>
#include <QStringList>

#include <cstdint>

// The settings file "current-settings.xml": where it lives, how it is read and
// written, and how its texts become typed values. Shows nothing: failures come
// back as the warning text the window shows.
namespace SettingsStore {

enum Key {
    RecordPort, PlayHost1, PlayPort1, PlayHost2, PlayPort2, Active,
    Frequency, Loop, Timestamp, SaveFileDir, OpenFileDir,
    // Later additions: files written before them simply lack these elements.
    Speed, EveryTimestamp, ContinueNumbers,
    // The player as a test instrument: real-time priority and seeded faults.
    RealtimePriority, Faults, FaultDrop, FaultDuplicate, FaultReorder, FaultDelay, FaultSeed,
    // Pre-trigger buffer: seconds Preview keeps for Record.
    PreTriggerSeconds,
    // The remote control: its port (0: off), its address, and the Origins it accepts
    // beside its own (separated by blanks).
    RemotePort, RemoteAddress, RemoteOrigins,
    // Network reach: where Record listens, the groups it joins and whom it lets in
    // (lists of entries separated by spaces); how Play sends to multicast groups.
    RecordListen, RecordJoin, RecordAllow, PlayTtl, PlayInterface, PlayMulticastLoop,
    KeyCount
};

// Element and attribute name of each key, in the order they are written.
const char *elementName(Key key);
const char *attributeName(Key key);
// The key of one of the known elements, or -1 for any other node.
int keyOf(const QDomElement &element);

// The texts a first run starts from, in key order; the directories are empty,
// because their start is the user's home, which the caller knows.
QStringList defaultTexts();
// The same defaults as a settings document without the directories, to be taken
// element by element like a file before the file itself is read, so that a
// missing or broken file never leaves empty texts to be written back.
QDomDocument defaultDocument();

// The user's settings folder, in the home folder.
QString defaultFolder();
QString userFile(const QString &settingsDir);
QString programFile();

// Finds the user's file, else the one beside the program, and parses it.
// False with the warning text ("Error loading settings") on any failure.
bool read(const QString &settingsDir, QDomDocument &document, QString &warning);

// Writes the texts, given in key order, to the user's file: UTF-8, through
// a temporary file renamed into place, so a failure keeps the old file.
// False with the warning text ("Error writing settings") on any failure.
bool write(const QString &settingsDir, const QStringList &texts, QString &warning);

// Signed 16-bit text (so "-1" is 65535) or unsigned 16-bit text; 0 and *ok false otherwise.
uint16_t recordPortFromText(const QString &text, bool *ok = nullptr);
// Unsigned 16-bit text; 0 otherwise.
uint16_t playPortFromText(const QString &text);
// Signed 32-bit integer text as a float; 0 otherwise ("60.5" gives 0).
float frequencyFromText(const QString &text);
// False exactly for "false".
bool flagFromText(const QString &text);
// The entries of a stored list, split at commas and white space.
QStringList listFromText(const QString &text);
// A playback speed factor within 0.01..100; 1 for text that is no number or out of range.
double speedFromText(const QString &text);
// Whole seconds from 0 to 600; 0 (nothing kept) for anything else.
int preTriggerFromText(const QString &text);

}

#endif
