#include "settings/settings_store.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <sys/resource.h>

using namespace SettingsStore;

namespace {

const QStringList sampleTexts = {"5000", "localhost", "5001", "a&b<c>\"d'", "5002", "true", "4", "true", "false",
                                 "/home/jürgen/Messdaten Ω/東京", ""};

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
</KORVEL_RECORDER>
)";

// Content that stands for a folder in the file's place, which not even root can open for reading.
const QByteArray folder = "(folder)";

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
        const auto readFile = [&file] { QFile in(file); return in.open(QIODevice::ReadOnly) ? in.readAll() : ""; };
        QCOMPARE(readFile(), sampleFile);

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
        QCOMPARE(readFile(), sampleFile);
    }

    void readsOrRefusesEachFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<QString>("expected"); // the warning, "%F" for the user's file; empty when read
        QTest::addColumn<QStringList>("texts"); // empty when refused

        const QList<QByteArray> lines = sampleFile.split('\n');
        QByteArray reordered = "<KORVEL_RECORDER><!-- edited by hand --><UNKNOWN PORT_NR=\"1\"/>";
        for (int line = KeyCount; line > 0; --line)
            reordered += lines.at(line);
        // Names are exact: the lower-case element must not overwrite the port.
        reordered += "<record_port PORT_NR=\"7\"/>text</KORVEL_RECORDER>";
        // Exponential entity expansion: the parser must give up instead of eating memory and time.
        QByteArray laughs = "<!DOCTYPE KORVEL_RECORDER [<!ENTITY a \"lol\">";
        for (char e = 'b'; e <= 'm'; ++e)
            laughs += QByteArray("<!ENTITY ") + e + " \"" + QByteArray("&?;").replace('?', e - 1).repeated(10) + "\">";
        laughs += "]><KORVEL_RECORDER><PLAY_HOST_1 HOST=\"&m;\"/></KORVEL_RECORDER>";
        const QByteArray deep = QByteArray("<a>").repeated(99999) + QByteArray("</a>").repeated(99999);
        const QString host(10 * 1024 * 1024, QLatin1Char('h'));

        QTest::newRow("as written") << sampleFile << "" << sampleTexts;
        QTest::newRow("reordered") << reordered << "" << sampleTexts;
        QTest::newRow("10 MB attribute") << QByteArray(sampleFile).replace("localhost", host.toLatin1()) << ""
            << QStringList(sampleTexts).replaceInStrings(QLatin1String("localhost"), host);
        QTest::newRow("no file") << QByteArray() << "Files not found :\n" + programFile() << QStringList();
        QTest::newRow("folder") << folder << "File %F cannot be opened for reading." << QStringList();
        QTest::newRow("other root") << QByteArray("<SETTINGS><RECORD_PORT PORT_NR=\"1\"/></SETTINGS>")
            << "Error while parsing %F :\nThe file doesn't look like a valid settings file." << QStringList();
        QTest::newRow("truncated") << sampleFile.left(60) << parserSays(sampleFile.left(60)) << QStringList();
        QTest::newRow("binary") << qCompress(sampleFile) << parserSays(qCompress(sampleFile)) << QStringList();
        QTest::newRow("billion laughs") << laughs << parserSays(laughs) << QStringList();
        // The document model frees nodes recursively, so deep files would overflow the stack.
        // The 65th start tag ends after the root and 64 "<a>", at column 17 + 3 * 64.
        QTest::newRow("100000 levels") << "<KORVEL_RECORDER>" + deep + "</KORVEL_RECORDER>"
            << "Error while parsing %F (Line 1, Column 209) :\nelements nested too deeply." << QStringList();
    }

    void readsOrRefusesEachFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString settingsDir = home.filePath(QStringLiteral("100%2 sure/") + QTest::currentDataTag());
        const QString file = userFile(settingsDir);
        QVERIFY(QDir().mkpath(content == folder ? file : settingsDir + QLatin1String("/config")));
        QFile out(file);
        if (!content.isNull() && content != folder)
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size() && out.flush());
        QDomDocument doc;
        QString warning;
        QCOMPARE(read(settingsDir, doc, warning), expected.isEmpty());
        QCOMPARE(warning, expected.replace(QLatin1String("%F"), file));
        // The attribute of each key's last element, as the window takes them in document order.
        QStringList texts;
        for (int key = 0; key < KeyCount && !doc.isNull(); ++key)
            texts += doc.documentElement().lastChildElement(elementName(Key(key))).attribute(attributeName(Key(key)));
        QTEST(texts, "texts");
    }

    void conversions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("recordPort"); // -1: refused
        QTest::addColumn<float>("frequency");
        QTest::addColumn<bool>("flag");
        QTest::newRow("-1 wraps") << "-1" << 65535 << -1.0f << true;
        QTest::newRow("40000 unsigned") << "40000" << 40000 << 40000.0f << true;
        QTest::newRow("70000") << "70000" << -1 << 70000.0f << true;
        QTest::newRow("5a") << "5a" << -1 << 0.0f << true;
        QTest::newRow("60.5") << "60.5" << -1 << 0.0f << true;
        QTest::newRow("empty") << "" << -1 << 0.0f << true;
        QTest::newRow("0") << "0" << 0 << 0.0f << true;
        QTest::newRow("False") << "False" << -1 << 0.0f << true;
        QTest::newRow("false") << "false" << -1 << 0.0f << false;
    }

    void conversions()
    {
        QFETCH(QString, text);
        QFETCH(int, recordPort);
        bool ok = recordPort < 0;
        QCOMPARE(int(recordPortFromText(text, &ok)), qMax(recordPort, 0));
        QCOMPARE(ok, recordPort >= 0);
        QTEST(frequencyFromText(text), "frequency");
        QTEST(flagFromText(text), "flag");
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
