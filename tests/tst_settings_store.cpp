#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <sys/resource.h>

using namespace SettingsStore;

namespace {

QStringList sampleTexts()
{
    return {QStringLiteral("5000"), QStringLiteral("localhost"), QStringLiteral("5001"),
            QStringLiteral("192.168.1.20"), QStringLiteral("5002"), QStringLiteral("true"),
            QStringLiteral("4"), QStringLiteral("true"), QStringLiteral("false"),
            QStringLiteral("/home/user/recordings"), QStringLiteral("/home/user/open")};
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The attribute of each key's last element, as the window takes them in document order.
QStringList lastTexts(const QDomDocument &document)
{
    QStringList texts(KeyCount);
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling()) {
        const int key = keyOf(node.toElement());
        if (key >= 0)
            texts[key] = node.toElement().attribute(QLatin1String(attributeName(Key(key))));
    }
    return texts;
}

QByteArray element(Key key, const QString &text)
{
    return QByteArray("<") + elementName(key) + ' ' + attributeName(key) + "=\"" + text.toUtf8() + "\"/>";
}

}

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writtenFormIsExact();
    void roundTripKeepsEveryText();
    void readAcceptsOrderCommentsAndStrangers();
    void keysAreExactNames();
    void programFileIsTheFallback();
    void loadFailuresAreReportedExactly();
    void uncreatableConfigDirectory();
    void unopenableTarget();
    void failedWriteKeepsOldFile();
    void recordPort_data();
    void recordPort();
    void typedConversions();
    void badFilesAreReadOrRefused_data();
    void badFilesAreReadOrRefused();
    void nestingLimit();

private:
    QTemporaryDir home;
    QString settingsDir;
};

void TestSettingsStore::init()
{
    QVERIFY(home.isValid());
    settingsDir = home.path() + QLatin1String("/") + QTest::currentTestFunction();
    if (QTest::currentDataTag())
        settingsDir += QLatin1Char('_') + QString::number(qHash(QString::fromUtf8(QTest::currentDataTag())));
    QVERIFY(QDir().mkpath(settingsDir));
}

void TestSettingsStore::cleanup()
{
    QDir(QCoreApplication::applicationDirPath() + QLatin1String("/config")).removeRecursively();
}

void TestSettingsStore::writtenFormIsExact()
{
    QString warning;
    QVERIFY(write(settingsDir, sampleTexts(), warning));
    QVERIFY(warning.isEmpty());
    const QByteArray expected =
        "<KORVEL_RECORDER>\n"
        "    <RECORD_PORT PORT_NR=\"5000\"/>\n"
        "    <PLAY_HOST_1 HOST=\"localhost\"/>\n"
        "    <PLAY_PORT_1 PORT_NR=\"5001\"/>\n"
        "    <PLAY_HOST_2 HOST=\"192.168.1.20\"/>\n"
        "    <PLAY_PORT_2 PORT_NR=\"5002\"/>\n"
        "    <ACTIVE ACTIVE=\"true\"/>\n"
        "    <FREQUENCY FREQUENCY=\"4\"/>\n"
        "    <LOOP LOOP=\"true\"/>\n"
        "    <TIMESTAMP TIMESTAMP=\"false\"/>\n"
        "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"/home/user/recordings\"/>\n"
        "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"/home/user/open\"/>\n"
        "</KORVEL_RECORDER>\n";
    QCOMPARE(readFile(settingsDir + QLatin1String("/config/current-settings.xml")), expected);

    // Empty texts still give all eleven elements.
    QVERIFY(write(settingsDir, QStringList(KeyCount), warning));
    const QByteArray empty = readFile(userFile(settingsDir));
    QCOMPARE(empty.count("=\"\"/>"), qsizetype(KeyCount));
}

void TestSettingsStore::roundTripKeepsEveryText()
{
    QStringList texts = sampleTexts();
    texts[PlayHost1] = QStringLiteral("a&b<c>\"d' \te\nf");
    texts[SaveFileDir] = QStringLiteral("/home/jürgen/Messdaten Ω/東京");
    texts[OpenFileDir] = QString();
    QString warning;
    QVERIFY(write(settingsDir, texts, warning));

    // The directory is stored as UTF-8, not as character references or Latin-1.
    QVERIFY(readFile(userFile(settingsDir)).contains(texts[SaveFileDir].toUtf8()));

    QDomDocument document;
    QVERIFY2(read(settingsDir, document, warning), qPrintable(warning));
    QCOMPARE(lastTexts(document), texts);
}

void TestSettingsStore::readAcceptsOrderCommentsAndStrangers()
{
    const QStringList texts = sampleTexts();
    QByteArray content = "<KORVEL_RECORDER>\n<!-- edited by hand -->\n<UNKNOWN PORT_NR=\"1\"/>\n";
    for (int key = KeyCount - 1; key >= 0; --key)
        content += element(Key(key), texts[key]) + "\n";
    content += "<record_port PORT_NR=\"7\"/>text<?pi x?></KORVEL_RECORDER>\n";
    QVERIFY(writeFile(userFile(settingsDir), content));

    QDomDocument document;
    QString warning;
    QVERIFY2(read(settingsDir, document, warning), qPrintable(warning));
    QCOMPARE(lastTexts(document), texts);
}

void TestSettingsStore::keysAreExactNames()
{
    QDomDocument document;
    QVERIFY(document.setContent(QByteArray("<KORVEL_RECORDER><RECORD_PORT/><record_port/><x:RECORD_PORT/>"
                                           "<OPEN_FILE_DIR/><RECORD_PORT_2/></KORVEL_RECORDER>"),
                                false));
    QList<int> keys;
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling())
        keys.append(keyOf(node.toElement()));
    QCOMPARE(keys, (QList<int>{RecordPort, -1, -1, OpenFileDir, -1}));
    QCOMPARE(keyOf(QDomElement()), -1);
    for (int key = 0; key < KeyCount; ++key)
        QCOMPARE(keyOf(document.createElement(QLatin1String(elementName(Key(key))))), key);
}

void TestSettingsStore::programFileIsTheFallback()
{
    const QByteArray program = "<KORVEL_RECORDER>" + element(RecordPort, QStringLiteral("6000")) + "</KORVEL_RECORDER>";
    QVERIFY(writeFile(programFile(), program));
    QDomDocument document;
    QString warning;
    QVERIFY2(read(settingsDir, document, warning), qPrintable(warning));
    QCOMPARE(lastTexts(document).at(RecordPort), QStringLiteral("6000"));

    // Once the user has a file, the one beside the program is no longer read.
    QVERIFY(write(settingsDir, sampleTexts(), warning));
    QVERIFY(read(settingsDir, document, warning));
    QCOMPARE(lastTexts(document), sampleTexts());
}

void TestSettingsStore::loadFailuresAreReportedExactly()
{
    QDomDocument document;
    QString warning;
    QVERIFY(!read(settingsDir, document, warning));
    QCOMPARE(warning, QLatin1String("Files not found :\n") + QCoreApplication::applicationDirPath()
                          + QLatin1String("/config/current-settings.xml"));

    const QString file = userFile(settingsDir);
    QVERIFY(QDir().mkpath(file));
    QVERIFY(!read(settingsDir, document, warning));
    QCOMPARE(warning, QStringLiteral("File %1 cannot be opened for reading.").arg(file));
    QVERIFY(QDir(file).removeRecursively());

    QVERIFY(writeFile(file, "<SETTINGS>" + element(RecordPort, QStringLiteral("1")) + "</SETTINGS>"));
    QVERIFY(!read(settingsDir, document, warning));
    QCOMPARE(warning,
             QStringLiteral("Error while parsing %1 :\nThe file doesn't look like a valid settings file.").arg(file));

    // The position and message are the parser's own; an independent reader says where it stops.
    const QByteArray broken = "<KORVEL_RECORDER>\n    <RECORD_PORT PORT_NR=\"5000\">\n</KORVEL_RECORDER>\n";
    QVERIFY(writeFile(file, broken));
    QXmlStreamReader oracle(broken);
    oracle.setNamespaceProcessing(false);
    while (!oracle.atEnd())
        oracle.readNext();
    QVERIFY(oracle.hasError());
    QVERIFY(!read(settingsDir, document, warning));
    QCOMPARE(warning, QStringLiteral("Error while parsing %1 (Line %2, Column %3) :\n%4.")
                          .arg(file)
                          .arg(oracle.lineNumber())
                          .arg(oracle.columnNumber())
                          .arg(oracle.errorString()));
    QCOMPARE(oracle.lineNumber(), 3);

    // A '%' in the path must not be taken for a place marker of the message.
    const QString odd = settingsDir + QStringLiteral("/100%2 sure");
    QVERIFY(writeFile(userFile(odd), "<KORVEL_RECORDER>\n<"));
    QVERIFY(!read(odd, document, warning));
    QVERIFY2(warning.startsWith(QStringLiteral("Error while parsing ") + userFile(odd) + QStringLiteral(" (Line 2, Column ")),
             qPrintable(warning));
}

void TestSettingsStore::uncreatableConfigDirectory()
{
    // A plain file where the settings directory should be: even root cannot create below it.
    const QString blocked = settingsDir + QLatin1String("/blocked");
    QVERIFY(writeFile(blocked, "not a directory"));
    QString warning;
    QVERIFY(!write(blocked, sampleTexts(), warning));
    QCOMPARE(warning, QStringLiteral("Directory %1/config doesn't exist and cannot be created.").arg(blocked));
    QCOMPARE(readFile(blocked), QByteArray("not a directory"));
}

void TestSettingsStore::unopenableTarget()
{
    const QString file = userFile(settingsDir);
    QVERIFY(QDir().mkpath(file));
    QString warning;
    QVERIFY(!write(settingsDir, sampleTexts(), warning));
    QCOMPARE(warning, QStringLiteral("File %1 cannot be opened for writing.").arg(file));
    QVERIFY(QFileInfo(file).isDir());
}

void TestSettingsStore::failedWriteKeepsOldFile()
{
    QString warning;
    QVERIFY(write(settingsDir, sampleTexts(), warning));
    const QString file = userFile(settingsDir);
    const QByteArray old = readFile(file);

    // A file size limit makes the write fail the way a full disk does, also for root.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    QStringList texts = sampleTexts();
    texts[RecordPort] = QStringLiteral("6000");
    const bool written = write(settingsDir, texts, warning);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!written);
    QCOMPARE(warning, QStringLiteral("File %1 cannot be opened for writing.").arg(file));
    QCOMPARE(readFile(file), old);
    // No half-written temporary file is left beside it.
    QCOMPARE(QDir(settingsDir + QLatin1String("/config")).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("current-settings.xml")});
}

void TestSettingsStore::recordPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("port");
    QTest::newRow("5000") << "5000" << true << 5000;
    QTest::newRow("0") << "0" << true << 0;
    QTest::newRow("-1 wraps") << "-1" << true << 65535;
    QTest::newRow("-32768") << "-32768" << true << 32768;
    QTest::newRow("32767") << "32767" << true << 32767;
    QTest::newRow("32768 unsigned") << "32768" << true << 32768;
    QTest::newRow("40000 unsigned") << "40000" << true << 40000;
    QTest::newRow("65535") << "65535" << true << 65535;
    QTest::newRow("65536") << "65536" << false << 0;
    QTest::newRow("70000") << "70000" << false << 0;
    QTest::newRow("-32769") << "-32769" << false << 0;
    QTest::newRow("letters") << "5a" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("fraction") << "50.5" << false << 0;
}

void TestSettingsStore::recordPort()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(int, port);
    bool ok = !accepted;
    QCOMPARE(int(recordPortFromText(text, &ok)), port);
    QCOMPARE(ok, accepted);
}

void TestSettingsStore::typedConversions()
{
    QCOMPARE(playPortFromText(QStringLiteral("40000")), uint16_t(40000));
    QCOMPARE(playPortFromText(QStringLiteral("65535")), uint16_t(65535));
    QCOMPARE(playPortFromText(QStringLiteral("-1")), uint16_t(0));
    QCOMPARE(playPortFromText(QStringLiteral("70000")), uint16_t(0));
    QCOMPARE(playPortFromText(QStringLiteral("port")), uint16_t(0));

    QCOMPARE(frequencyFromText(QStringLiteral("4")), 4.0f);
    QCOMPARE(frequencyFromText(QStringLiteral("60")), 60.0f);
    QCOMPARE(frequencyFromText(QStringLiteral("60.5")), 0.0f);
    QCOMPARE(frequencyFromText(QStringLiteral("fast")), 0.0f);

    QCOMPARE(flagFromText(QStringLiteral("false")), false);
    for (const char *text : {"true", "False", "FALSE", "0", "", "no"})
        QVERIFY2(flagFromText(QString::fromLatin1(text)), text);
}

void TestSettingsStore::badFilesAreReadOrRefused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("readable");

    QString warning;
    QTemporaryDir scratch;
    write(scratch.path(), sampleTexts(), warning);
    const QByteArray good = readFile(userFile(scratch.path()));
    QTest::newRow("truncated") << good.left(good.size() / 2) << false;
    QTest::newRow("empty") << QByteArray() << false;

    QByteArray garbage(64 * 1024, '\0');
    QRandomGenerator random(20151106);
    for (char &byte : garbage)
        byte = char(random.bounded(256));
    QTest::newRow("binary garbage") << garbage << false;
    QTest::newRow("garbage after root") << good + garbage << false;

    QTest::newRow("10 MB attribute")
        << "<KORVEL_RECORDER>" + element(PlayHost1, QString(10 * 1024 * 1024, QLatin1Char('h'))) + "</KORVEL_RECORDER>"
        << true;

    // Exponential entity expansion: the parser must give up instead of eating memory and time.
    QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE KORVEL_RECORDER [\n<!ENTITY l0 \"lol\">\n";
    for (int level = 1; level <= 12; ++level)
        laughs += QStringLiteral("<!ENTITY l%1 \"%2\">\n")
                      .arg(level)
                      .arg(QStringLiteral("&l%1;").arg(level - 1).repeated(10))
                      .toLatin1();
    laughs += "]>\n<KORVEL_RECORDER><PLAY_HOST_1 HOST=\"&l12;\"/></KORVEL_RECORDER>\n";
    QTest::newRow("billion laughs") << laughs << false;

    constexpr int levels = 100000;
    QTest::newRow("100000 levels") << "<KORVEL_RECORDER>" + QByteArray("<a>").repeated(levels)
                                          + QByteArray("</a>").repeated(levels) + "</KORVEL_RECORDER>"
                                   << false;
    // Without the depth guard this one takes minutes in the document model.
    QTest::newRow("1000000 levels") << "<KORVEL_RECORDER>" + QByteArray("<a>").repeated(10 * levels)
                                           + QByteArray("</a>").repeated(10 * levels) + "</KORVEL_RECORDER>"
                                    << false;
    QTest::newRow("100000 open levels") << QByteArray("<KORVEL_RECORDER>").repeated(levels) << false;
}

void TestSettingsStore::badFilesAreReadOrRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, readable);
    const QString file = userFile(settingsDir);
    QVERIFY(writeFile(file, content));

    QDomDocument document;
    QString warning;
    QElapsedTimer clock;
    clock.start();
    const bool ok = read(settingsDir, document, warning);
    qInfo("read in %lld ms", clock.elapsed());
    QCOMPARE(ok, readable);
    if (ok) {
        QVERIFY(warning.isEmpty());
        QCOMPARE(lastTexts(document).at(PlayHost1).size(), 10 * 1024 * 1024);
    } else {
        QVERIFY2(warning.startsWith(QStringLiteral("Error while parsing %1 (Line ").arg(file)), qPrintable(warning));
        QVERIFY(warning.endsWith(QLatin1Char('.')));
    }
}

void TestSettingsStore::nestingLimit()
{
    // Our own file has depth 2; nesting up to the limit is still parsed, one more level is refused.
    auto nested = [](int depth) {
        return "<KORVEL_RECORDER>" + QByteArray("<a>").repeated(depth - 1) + QByteArray("</a>").repeated(depth - 1)
               + element(RecordPort, QStringLiteral("5000")) + "</KORVEL_RECORDER>";
    };
    const QString file = userFile(settingsDir);
    QDomDocument document;
    QString warning;
    QVERIFY(writeFile(file, nested(64)));
    QVERIFY2(read(settingsDir, document, warning), qPrintable(warning));
    QCOMPARE(lastTexts(document).at(RecordPort), QStringLiteral("5000"));

    QVERIFY(writeFile(file, nested(65)));
    QVERIFY(!read(settingsDir, document, warning));
    QCOMPARE(warning, QStringLiteral("Error while parsing %1 (Line 1, Column %2) :\nelements nested too deeply.")
                          .arg(file)
                          .arg(17 + 3 * 64));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
