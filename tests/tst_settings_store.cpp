#include "settings/settings_store.h"
#include "support/fixture.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <sys/resource.h>

using namespace SettingsStore;

namespace {

const QStringList sampleTexts = {"5000", "localhost", "5001", "a&b<c>\"d'", "5002", "true", "4", "true", "false",
                                 "/home/jürgen/Messdaten Ω/東京", "", "0.25", "true", "false",
                                 "true", "true", "1.5%", "100-102,200", "", "2:0.5", "7", "30",
                                 "5090", "::1", "http://rig:8080 http://lab",
                                 "lo", "239.1.2.3 192.0.2.7@232.1.1.1", "10.1.0.0/16 fe80::/10", "7", "lo", "false"};

// The directory is stored as UTF-8, not as character references or Latin-1.
const QByteArray sampleFile = R"(<KORVEL_RECORDER>
    <RECORD_PORT PORT_NR="5000"/>
    <PLAY_HOST_1 HOST="localhost"/>
    <PLAY_PORT_1 PORT_NR="5001"/>
    <PLAY_HOST_2 HOST="a&amp;b&lt;c>&quot;d'"/>
    <PLAY_PORT_2 PORT_NR="5002"/>
    <ACTIVE ACTIVE="true"/>
    <FREQUENCY FREQUENCY="4"/>
    <LOOP LOOP="true"/>
    <TIMESTAMP TIMESTAMP="false"/>
    <SAVE_FILE_DIR SAVE_FILE_DIR="/home/jürgen/Messdaten Ω/東京"/>
    <OPEN_FILE_DIR OPEN_FILE_DIR=""/>
    <SPEED SPEED="0.25"/>
    <EVERY_TIMESTAMP EVERY_TIMESTAMP="true"/>
    <CONTINUE_NUMBERS CONTINUE_NUMBERS="false"/>
    <REALTIME_PRIORITY REALTIME_PRIORITY="true"/>
    <FAULTS FAULTS="true"/>
    <FAULT_DROP FRAMES="1.5%"/>
    <FAULT_DUPLICATE FRAMES="100-102,200"/>
    <FAULT_REORDER FRAMES=""/>
    <FAULT_DELAY MS="2:0.5"/>
    <FAULT_SEED SEED="7"/>
    <PRE_TRIGGER SECONDS="30"/>
    <REMOTE_PORT PORT_NR="5090"/>
    <REMOTE_ADDRESS ADDRESS="::1"/>
    <REMOTE_ORIGINS ORIGINS="http://rig:8080 http://lab"/>
    <RECORD_LISTEN ADDRESS="lo"/>
    <RECORD_JOIN GROUPS="239.1.2.3 192.0.2.7@232.1.1.1"/>
    <RECORD_ALLOW SENDERS="10.1.0.0/16 fe80::/10"/>
    <PLAY_TTL TTL="7"/>
    <PLAY_INTERFACE INTERFACE="lo"/>
    <PLAY_MULTICAST_LOOP LOOP="false"/>
</KORVEL_RECORDER>)" "\n";

// The parser's own position and message, as an independent reader of the same text reports them.
QString parserSays(const QByteArray &content)
{
    QXmlStreamReader oracle(content);
    while (!oracle.atEnd())
        oracle.readNext();
    return QStringLiteral("Error while parsing %F (Line %1, Column %2) :\n%3.")
        .arg(QString::number(oracle.lineNumber()), QString::number(oracle.columnNumber()), oracle.errorString());
}

}

class TestSettingsStore : public QObject
{
    Q_OBJECT

    QTemporaryDir home;

private slots:
    void writeKeepsOldFileOnFailure()
    {
        // A '%' in the path must never be taken for a place marker of a message.
        const QString settingsDir = home.filePath(QStringLiteral("100%2 sure"));
        QString warning;
        QVERIFY(write(settingsDir, sampleTexts, warning));
        const QString file = settingsDir + QLatin1String("/config/current-settings.xml");

        // A file size limit makes the write fail the way a full disk does, also for root.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit tight{64, saved.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        const bool written = write(settingsDir, QStringList(KeyCount, QStringLiteral("6000")), warning);
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!written);
        QCOMPARE(warning, QStringLiteral("File %1 cannot be opened for writing.").arg(file));

        // A plain file where the settings directory should be: even root cannot create below it.
        QVERIFY(!write(file, sampleTexts, warning));
        QCOMPARE(warning, QStringLiteral("Directory %1/config doesn't exist and cannot be created.").arg(file));
        // Written as it should be at first, and kept through both failures.
        QCOMPARE(Fixture::readFile(file), sampleFile);
    }

    void readsOrRefusesEachFile_data()
    {
        // Null: no file; empty: a folder in the file's place, which not even root can open for reading.
        QTest::addColumn<QByteArray>("content");
        // The texts read, or the one warning with "%F" for the user's file.
        QTest::addColumn<QStringList>("expected");

        // The written file with a 10 MB host, its elements in reverse order, among a comment, an unknown element
        // and text. Names are exact: the lower-case element must not overwrite the port.
        const QString host(10 * 1024 * 1024, QLatin1Char('h'));
        const QList<QByteArray> lines = QByteArray(sampleFile).replace("localhost", host.toLatin1()).split('\n');
        QByteArray reordered = "<KORVEL_RECORDER><!-- edited by hand --><UNKNOWN PORT_NR=\"1\"/>";
        for (int line = KeyCount; line > 0; --line)
            reordered += lines.at(line);
        // Exponential entity expansion: the parser must give up instead of eating memory and time.
        QByteArray laughs = "<!DOCTYPE KORVEL_RECORDER [<!ENTITY a \"lol\">";
        for (char e = 'b'; e <= 'm'; ++e)
            laughs += QByteArray("<!ENTITY ") + e + " \"" + QByteArray("&?;").replace('?', e - 1).repeated(10) + "\">";
        laughs += "]><KORVEL_RECORDER><PLAY_HOST_1 HOST=\"&m;\"/></KORVEL_RECORDER>";
        const QByteArray deep = QByteArray("<a>").repeated(99999) + QByteArray("</a>").repeated(99999);

        QTest::newRow("reordered, 10 MB host") << reordered + "<record_port PORT_NR=\"7\"/>text</KORVEL_RECORDER>"
            << QStringList(sampleTexts).replaceInStrings(QLatin1String("localhost"), host);
        // A file from before the later elements existed: those keep what the caller held.
        QByteArray older = sampleFile;
        older.remove(older.indexOf("    <SPEED"), older.indexOf("</KORVEL") - older.indexOf("    <SPEED"));
        QTest::newRow("older file") << older << sampleTexts.mid(0, OpenFileDir + 1) + QStringList(KeyCount - Speed);
        QTest::newRow("no file") << QByteArray() << QStringList{"Files not found :\n" + programFile()};
        QTest::newRow("folder") << QByteArray("") << QStringList{"File %F cannot be opened for reading."};
        QTest::newRow("other root") << QByteArray("<SETTINGS><RECORD_PORT PORT_NR=\"1\"/></SETTINGS>")
            << QStringList{"Error while parsing %F :\nThe file doesn't look like a valid settings file."};
        QTest::newRow("billion laughs") << laughs << QStringList{parserSays(laughs)};
        // The document model frees nodes recursively, so deep files would overflow the stack.
        // The 65th start tag ends after the root and 64 "<a>", at column 17 + 3 * 64.
        QTest::newRow("100000 levels") << "<KORVEL_RECORDER>" + deep + "</KORVEL_RECORDER>"
            << QStringList{"Error while parsing %F (Line 1, Column 209) :\nelements nested too deeply."};
    }

    void readsOrRefusesEachFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        const QString settingsDir = home.filePath(QStringLiteral("100%2 sure/") + QTest::currentDataTag());
        const QString file = userFile(settingsDir);
        QVERIFY(QDir().mkpath(content.isEmpty() && !content.isNull() ? file : settingsDir + QLatin1String("/config")));
        if (!content.isEmpty())
            QVERIFY(Fixture::writeFile(file, content));
        QDomDocument doc;
        QString warning;
        const bool wasRead = read(settingsDir, doc, warning);
        QCOMPARE(wasRead, warning.isEmpty());
        // The attribute of each key's last element, as the window takes them in document order.
        QStringList texts;
        for (int key = 0; key < KeyCount; ++key)
            texts += doc.documentElement().lastChildElement(elementName(Key(key))).attribute(attributeName(Key(key)));
        QCOMPARE(wasRead ? texts : QStringList{warning}, expected.replaceInStrings(QLatin1String("%F"), file));
    }

    void defaultsWorkWithoutAnyFile()
    {
        // A first run without a file used to write empty texts, so the next run listened on port 0.
        const QString settingsDir = home.filePath(QStringLiteral("defaults"));
        QString warning;
        QVERIFY(write(settingsDir, defaultTexts(), warning));
        QDomDocument written;
        QVERIFY(read(settingsDir, written, warning));
        // The defaults document is taken before any file, so it must never blank the directories.
        const QDomDocument defaults = defaultDocument();
        QStringList texts;
        for (int key = 0; key < KeyCount; ++key) {
            const QString attribute = attributeName(Key(key));
            const QDomElement element = written.documentElement().firstChildElement(elementName(Key(key)));
            const QDomElement fallback = defaults.documentElement().firstChildElement(elementName(Key(key)));
            QCOMPARE(fallback.isNull(), key == SaveFileDir || key == OpenFileDir);
            if (!fallback.isNull())
                QCOMPARE(fallback.attribute(attribute), element.attribute(attribute));
            texts += element.attribute(attribute);
        }
        QCOMPARE(texts.size(), int(KeyCount));
        QCOMPARE((QList<int>{recordPortFromText(texts[RecordPort]), playPortFromText(texts[PlayPort1]),
                             playPortFromText(texts[PlayPort2]), int(frequencyFromText(texts[Frequency]))}),
                 (QList<int>{5000, 5001, 5001, 4}));
        QCOMPARE((QList<bool>{flagFromText(texts[Active]), flagFromText(texts[Loop]), flagFromText(texts[Timestamp]),
                              flagFromText(texts[EveryTimestamp]), flagFromText(texts[ContinueNumbers])}),
                 (QList<bool>{false, true, true, false, false}));
        QCOMPARE(speedFromText(texts[Speed]), 1.0);
        // Listening everywhere, joining nothing and letting everyone in is what a file of before them meant.
        QCOMPARE(texts.mid(RecordListen), QStringList({"", "", "", "1", "", "true"}));
    }

    void conversions()
    {
        // Text, record port (-1: refused), frequency, flag, speed.
        const struct { const char *text; int recordPort; float frequency; bool flag; double speed; } rows[] = {
            {"-1", 65535, -1, true, 1}, {"40000", 40000, 40000, true, 1}, {"70000", -1, 70000, true, 1},
            {"0", 0, 0, true, 1}, {"60.5", -1, 0, true, 60.5}, {"0.01", -1, 0, true, 0.01}, {"100.5", -1, 0, true, 1},
            {"", -1, 0, true, 1}, {"False", -1, 0, true, 1}, {"false", -1, 0, false, 1}};
        for (const auto &[text, recordPort, frequency, flag, speed] : rows) {
            bool ok = recordPort < 0; // the opposite of the answer, so that a flag left unset shows
            QCOMPARE(int(recordPortFromText(text, &ok)), qMax(recordPort, 0));
            QCOMPARE(ok, recordPort >= 0);
            QCOMPARE(std::make_pair(frequencyFromText(text), flagFromText(text)), std::make_pair(frequency, flag));
            QCOMPARE(speedFromText(text), speed);
        }
        // Lists as typed into a dialog: commas, spaces and tabs all separate, none makes an empty entry.
        QCOMPARE(listFromText(QStringLiteral(" 239.1.2.3, ,192.0.2.7@232.1.1.1\tff12::7 ")),
                 QStringList({"239.1.2.3", "192.0.2.7@232.1.1.1", "ff12::7"}));
        QCOMPARE(listFromText(QStringLiteral(" , ")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
