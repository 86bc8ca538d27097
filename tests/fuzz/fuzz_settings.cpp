// Reads arbitrary bytes as the user's settings file and applies them as the
// window does.
#include "fuzz_support.h"

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QDir>

using namespace FuzzSupport;

namespace {

void apply(const QDomElement &element)
{
    const int key = SettingsStore::keyOf(element);
    FUZZ_CHECK(key >= -1 && key < SettingsStore::KeyCount);
    if (key < 0)
        return;
    FUZZ_CHECK(element.tagName() == QLatin1String(SettingsStore::elementName(SettingsStore::Key(key))));
    const QString value = element.attribute(QLatin1String(SettingsStore::attributeName(SettingsStore::Key(key))));

    bool ok = false;
    const uint16_t recordPort = SettingsStore::recordPortFromText(value, &ok);
    FUZZ_CHECK(ok || recordPort == 0);
    const uint16_t playPort = SettingsStore::playPortFromText(value);
    bool unsignedOk = false;
    FUZZ_CHECK(playPort == value.toUShort(&unsignedOk));
    // Every unsigned reading is also a record port reading.
    FUZZ_CHECK(!unsignedOk || ok);
    const float frequency = SettingsStore::frequencyFromText(value);
    FUZZ_CHECK(frequency == float(value.toInt()));
    FUZZ_CHECK(SettingsStore::flagFromText(value) == (value != QLatin1String("false")));
}

}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The store falls back to the file beside the program, which needs the application's path.
    static int qtArgc = 1;
    static char *qtArgv[] = {(*argv)[0], nullptr};
    static QCoreApplication application(qtArgc, qtArgv);
    Q_UNUSED(argc);
    FUZZ_CHECK(QDir().mkpath(scratchDir().filePath(QStringLiteral("config"))));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString settingsDir = scratchDir().path();
    writeFile(SettingsStore::userFile(settingsDir), data, size);
    QDomDocument document;
    QString warning;
    if (!SettingsStore::read(settingsDir, document, warning)) {
        FUZZ_CHECK(!warning.isEmpty());
        return 0;
    }
    FUZZ_CHECK(document.documentElement().tagName() == QLatin1String("KORVEL_RECORDER"));
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling())
        apply(node.toElement());
    return 0;
}
