#include "gui/dialogs/about_dlg.h"
#include "gui/dialogs/help.h"
#include "support/modal_answerer.h"

#include <QDesktopServices>
#include <QTest>
#include <QUrl>

// Stands in for the desktop's PDF handler so that no viewer is ever started.
class FileCatcher : public QObject
{
    Q_OBJECT

public:
    QStringList files;

public slots:
    void open(const QUrl &url) { files.append(url.toLocalFile()); }
};

class TestAboutHelp : public QObject
{
    Q_OBJECT

private slots:
    void textsAndFixedSizes()
    {
        AboutDlg about(nullptr);
        Help help(nullptr);
        QCOMPARE(about.windowTitle() + '|' + help.windowTitle(), QStringLiteral("About|Help"));
        // The version line is filled in from the build's version numbers.
        QCOMPARE(about.findChild<QLabel *>("label_version")->text(), QStringLiteral("Korvel Recorder v1.1.4 "));
        QCOMPARE(about.findChild<QLabel *>("label_date")->text(), QStringLiteral("06.11.2015"));
        QCOMPARE(about.findChild<QLabel *>("label_osd")->text(),
                 QStringLiteral("This product uses third-party <a href=\"file://%1/license/OSTRA_OSD.pdf\">"
                                "Open-Source software</a>").arg(QCoreApplication::applicationDirPath()));
        QCOMPARE(help.findChild<QLabel *>("l_help")->text(),
                 QStringLiteral("Please switch off any SpeedStep (Intel)  or PowerNow! (AMD) functionality of your "
                                "computer when using this software on a notebook.\n\nYou will get further help "
                                "using the \"What's this?\" information provided for most GUI elements within this "
                                "program. "));

        about.show();
        help.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about) && QTest::qWaitForWindowExposed(&help));
        QCOMPARE(about.size(), QSize(560, 220));
        about.resize(900, 600);
        QCOMPARE(about.size(), QSize(560, 221));
        about.resize(100, 100);
        QCOMPARE(about.size(), QSize(560, 220));
        help.resize(600, 400);
        QCOMPARE(help.size(), QSize(408, 160));
    }

    void noticeLinkOpensOrExplains()
    {
        FileCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        const auto restore = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });
        AboutDlg about(nullptr);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));

        auto *osd = about.findChild<QLabel *>("label_osd");
        // Opening the link itself, the label would bypass the tolerant parsing and the failure box.
        QVERIFY(!osd->openExternalLinks());
        // Click the middle of the link words, as a user would: the notice opens once.
        const int x = osd->contentsRect().x() + osd->fontMetrics().horizontalAdvance("This product uses third-party ")
                      + osd->fontMetrics().horizontalAdvance("Open-Source software") / 2;
        QTest::mouseClick(osd, Qt::LeftButton, Qt::NoModifier, QPoint(x, osd->height() / 2));
        // The program's directory goes into the link unescaped; strict parsing would refuse blanks.
        about.processLink(QStringLiteral("file:///opt/Korvel Recorder/license/OSTRA_OSD.pdf"));
        QCOMPARE(catcher.files, QStringList({QCoreApplication::applicationDirPath() + "/license/OSTRA_OSD.pdf",
                                             "/opt/Korvel Recorder/license/OSTRA_OSD.pdf"}));

        // Nothing handles this scheme, so opening fails and the user is told.
        const auto box = Modal::answerNextBox();
        about.processLink(QStringLiteral("korvel-unhandled:///opt/Korvel Recorder/license/OSTRA_OSD.pdf"));
        QCOMPARE(box->icon, QMessageBox::Warning);
        QCOMPARE(box->title, QStringLiteral("Error"));
        QCOMPARE(box->text, QStringLiteral("Failed to open korvel-unhandled:///opt/Korvel Recorder/license/"
                                           "OSTRA_OSD.pdf Do you have a PDF reader installed?"));
    }
};

QTEST_MAIN(TestAboutHelp)
#include "tst_about_help.moc"
