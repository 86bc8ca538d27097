#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamReader>

namespace SettingsStore {

namespace {

struct Entry {
    const char *element;
    const char *attribute;
};

const Entry entries[KeyCount] = {
    {"RECORD_PORT", "PORT_NR"},
    {"PLAY_HOST_1", "HOST"},
    {"PLAY_PORT_1", "PORT_NR"},
    {"PLAY_HOST_2", "HOST"},
    {"PLAY_PORT_2", "PORT_NR"},
    {"ACTIVE", "ACTIVE"},
    {"FREQUENCY", "FREQUENCY"},
    {"LOOP", "LOOP"},
    {"TIMESTAMP", "TIMESTAMP"},
    {"SAVE_FILE_DIR", "SAVE_FILE_DIR"},
    {"OPEN_FILE_DIR", "OPEN_FILE_DIR"},
    {"SPEED", "SPEED"},
    {"EVERY_TIMESTAMP", "EVERY_TIMESTAMP"},
    {"CONTINUE_NUMBERS", "CONTINUE_NUMBERS"},
    {"REALTIME_PRIORITY", "REALTIME_PRIORITY"},
    {"FAULTS", "FAULTS"},
    {"FAULT_DROP", "FRAMES"},
    {"FAULT_DUPLICATE", "FRAMES"},
    {"FAULT_REORDER", "FRAMES"},
    {"FAULT_DELAY", "MS"},
    {"FAULT_SEED", "SEED"},
    // Pre-trigger buffer.
    {"PRE_TRIGGER", "SECONDS"},
    // The remote control.
    {"REMOTE_PORT", "PORT_NR"},
    {"REMOTE_ADDRESS", "ADDRESS"},
    {"REMOTE_ORIGINS", "ORIGINS"},
    // Network reach.
    {"RECORD_LISTEN", "ADDRESS"},
    {"RECORD_JOIN", "GROUPS"},
    {"RECORD_ALLOW", "SENDERS"},
    {"PLAY_TTL", "TTL"},
    {"PLAY_INTERFACE", "INTERFACE"},
    {"PLAY_MULTICAST_LOOP", "LOOP"},
};

// The values the settings dialogs show before anything was chosen.
const char *const defaults[KeyCount] = {"5000", "localhost", "5001", "localhost", "5001", "false", "4", "true",
                                        "true", "", "", "1", "false", "false",
                                        "false", "false", "", "", "", "", "0",
                                        "0",
                                        // The remote control: off.
                                        "0", "127.0.0.1", "",
                                        // Network reach: everywhere, no group, everyone, hop limit 1, loop on.
                                        "", "", "", "1", "", "true"};

const char rootName[] = "KORVEL_RECORDER";
const char fileTail[] = "/config/current-settings.xml";

// The file has depth 2. The document model frees its nodes recursively, so a
// deeply nested file would overflow the stack long after parsing succeeded.
constexpr int maxDepth = 64;

// Finds nesting beyond maxDepth before the document model sees the file.
// Other faults are left to the document parser, which reports them itself.
bool tooDeep(const QByteArray &content, qint64 &line, qint64 &column)
{
    QXmlStreamReader reader(content);
    reader.setNamespaceProcessing(false);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maxDepth) {
            line = reader.lineNumber();
            column = reader.columnNumber();
            return true;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    return false;
}

QString parseError(const QString &fileName, qint64 line, qint64 column, const QString &message)
{
    // One pass, so a '%' in the file name or the message is never taken for a marker.
    return QCoreApplication::translate("SettingsStore", "Error while parsing %1 (Line %2, Column %3) :\n%4.")
        .arg(fileName, QString::number(line), QString::number(column), message);
}

QDomDocument buildDocument(const QStringList &texts, bool withDirectories)
{
    QDomDocument document;
    QDomElement root = document.createElement(QLatin1String(rootName));
    document.appendChild(root);
    for (int key = 0; key < KeyCount; ++key) {
        if (!withDirectories && (key == SaveFileDir || key == OpenFileDir))
            continue;
        QDomElement element = document.createElement(QLatin1String(entries[key].element));
        element.setAttribute(QLatin1String(entries[key].attribute), texts.value(key));
        root.appendChild(element);
    }
    return document;
}

}

const char *elementName(Key key)
{
    return entries[key].element;
}

const char *attributeName(Key key)
{
    return entries[key].attribute;
}

int keyOf(const QDomElement &element)
{
    if (element.isNull())
        return -1;
    const QString name = element.tagName();
    for (int key = 0; key < KeyCount; ++key) {
        if (name == QLatin1String(entries[key].element))
            return key;
    }
    return -1;
}

QStringList defaultTexts()
{
    QStringList texts;
    for (const char *text : defaults)
        texts += QLatin1String(text);
    return texts;
}

QDomDocument defaultDocument()
{
    return buildDocument(defaultTexts(), false);
}

QString defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + QLatin1String("/.Ostra/Korvel_Recorder");
}

QString userFile(const QString &settingsDir)
{
    return settingsDir + QLatin1String(fileTail);
}

QString programFile()
{
    return QCoreApplication::applicationDirPath() + QLatin1String(fileTail);
}

bool read(const QString &settingsDir, QDomDocument &document, QString &warning)
{
    QString fileName = userFile(settingsDir);
    if (!QFileInfo::exists(fileName)) {
        fileName = programFile();
        if (!QFileInfo::exists(fileName)) {
            warning = QCoreApplication::translate("SettingsStore", "Files not found :\n%1").arg(fileName);
            return false;
        }
    }

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        warning = QCoreApplication::translate("SettingsStore", "File %1 cannot be opened for reading.").arg(fileName);
        return false;
    }
    const QByteArray content = file.readAll();
    file.close();

    qint64 line = 0;
    qint64 column = 0;
    if (tooDeep(content, line, column)) {
        warning = parseError(fileName, line, column,
                             QCoreApplication::translate("SettingsStore", "elements nested too deeply"));
        return false;
    }

    QDomDocument parsed;
    QString message;
    int errorLine = 0;
    int errorColumn = 0;
    if (!parsed.setContent(content, false, &message, &errorLine, &errorColumn)) {
        warning = parseError(fileName, errorLine, errorColumn, message);
        return false;
    }
    if (parsed.documentElement().tagName() != QLatin1String(rootName)) {
        warning = QCoreApplication::translate(
                      "SettingsStore", "Error while parsing %1 :\nThe file doesn't look like a valid settings file.")
                      .arg(fileName);
        return false;
    }
    document = parsed;
    return true;
}

bool write(const QString &settingsDir, const QStringList &texts, QString &warning)
{
    const QDomDocument document = buildDocument(texts, true);
    const QString configDir = settingsDir + QLatin1String("/config");
    if (!QDir().mkpath(configDir)) {
        warning = QCoreApplication::translate("SettingsStore", "Directory %1 doesn't exist and cannot be created.")
                      .arg(configDir);
        return false;
    }

    // A failed write or rename leaves the previous file untouched. The explicit flush
    // matters: commit() alone renames a file whose buffered tail failed to reach the disk.
    const QString fileName = userFile(settingsDir);
    QSaveFile file(fileName);
    const QByteArray content = document.toByteArray(4);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush()
        || !file.commit()) {
        warning = QCoreApplication::translate("SettingsStore", "File %1 cannot be opened for writing.").arg(fileName);
        return false;
    }
    return true;
}

uint16_t recordPortFromText(const QString &text, bool *ok)
{
    bool converted = false;
    uint16_t port = static_cast<uint16_t>(text.toShort(&converted));
    // Ports above 32767 are common receive ports; they do not fit the signed reading.
    if (!converted)
        port = text.toUShort(&converted);
    if (ok)
        *ok = converted;
    return converted ? port : 0;
}

uint16_t playPortFromText(const QString &text)
{
    return text.toUShort();
}

float frequencyFromText(const QString &text)
{
    return static_cast<float>(text.toInt());
}

bool flagFromText(const QString &text)
{
    return text != QLatin1String("false");
}

int preTriggerFromText(const QString &text)
{
    bool converted = false;
    const int seconds = text.toInt(&converted);
    return converted && seconds >= 0 && seconds <= 600 ? seconds : 0;
}

QStringList listFromText(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

double speedFromText(const QString &text)
{
    bool converted = false;
    const double speed = text.toDouble(&converted);
    return converted && speed >= 0.01 && speed <= 100.0 ? speed : 1.0;
}

}
