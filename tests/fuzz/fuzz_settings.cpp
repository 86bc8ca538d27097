// Reads arbitrary bytes as the user's settings file and applies them as the
// window does.
#include "fuzz_support.h"

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QDir>

using namespace FuzzSupport;

static void apply(const QDomElement &element)
{
    const int key = SettingsStore::keyOf(element);
    if (key < 0)
        return;
    FUZZ_CHECK(element.tagName() == QLatin1String(SettingsStore::elementName(SettingsStore::Key(key))));
    const QString value = element.attribute(QLatin1String(SettingsStore::attributeName(SettingsStore::Key(key))));

    bool ok = false, unsignedOk = false;
    FUZZ_CHECK(SettingsStore::playPortFromText(value) == value.toUShort(&unsignedOk));
    const uint16_t recordPort = SettingsStore::recordPortFromText(value, &ok);
    // A refused port is 0, and every unsigned reading is also a record port reading.
    FUZZ_CHECK((ok || recordPort == 0) && (!unsignedOk || ok));
    FUZZ_CHECK(SettingsStore::frequencyFromText(value) == float(value.toInt()));
    FUZZ_CHECK(SettingsStore::flagFromText(value) == (value != QLatin1String("false")));
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    // The store falls back to the file beside the program, which needs the application's path;
    // libFuzzer's own options are no business of Qt's.
    static int qtArgc = 1;
    static QCoreApplication application(qtArgc, *argv);
    FUZZ_CHECK(QDir().mkpath(scratchDir().filePath(QStringLiteral("config"))));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeFile(SettingsStore::userFile(scratchDir().path()), data, size);
    QDomDocument document;
    QString warning;
    // A failed read must say why, and a successful one must not warn.
    const bool read = SettingsStore::read(scratchDir().path(), document, warning);
    FUZZ_CHECK(read == warning.isEmpty());
    if (!read)
        return 0;
    FUZZ_CHECK(document.documentElement().tagName() == QLatin1String("KORVEL_RECORDER"));
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling())
        apply(node.toElement());
    return 0;
}
