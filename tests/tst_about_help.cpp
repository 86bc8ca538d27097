#include "dialogs/about_dlg.h"
#include "dialogs/help.h"
#include "support/modal_answerer.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QUrl>

// Stands in for the desktop's PDF handler so that no viewer is ever started.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class TestAboutHelp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void aboutTexts();
    void aboutLogoAndIcon();
    void aboutSizeIsFixed();
    void clickingTheLinkOpensTheNotice();
    void linkWithBlanksStillOpens();
    void failedOpenIsReported();
    void okClosesAbout();

    void helpTexts();
    void helpGeometry();
    void okClosesHelp();

private:
    QWidget *window = nullptr;
    AboutDlg *about = nullptr;
    Help *help = nullptr;
};

void TestAboutHelp::init()
{
    window = new QWidget;
    window->setWindowIcon(QIcon(QStringLiteral("://korvel_recorder.png")));
    about = new AboutDlg(window);
    help = new Help(window);
}

void TestAboutHelp::cleanup()
{
    delete window;
    window = nullptr;
}

template<typename T>
static T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

static QString noticeLink()
{
    return QStringLiteral("file://") + QCoreApplication::applicationDirPath()
           + QStringLiteral("/license/OSTRA_OSD.pdf");
}

void TestAboutHelp::aboutTexts()
{
    QCOMPARE(about->objectName(), QStringLiteral("AboutDialog"));
    QCOMPARE(about->windowTitle(), QStringLiteral("About"));
    QCOMPARE(child<QLabel>(about, "label_version")->text(), QStringLiteral("Korvel Recorder v1.1.4 "));
    QCOMPARE(child<QLabel>(about, "label_date")->text(), QStringLiteral("06.11.2015"));
    QVERIFY(child<QLabel>(about, "label_copy")->text().endsWith(QLatin1Char(' ')));
    QVERIFY(child<QLabel>(about, "label_phone")->text().startsWith(QStringLiteral("Phone: ")));
    QVERIFY(child<QLabel>(about, "label_url")->text().startsWith(QStringLiteral("URL: ")));
    QCOMPARE(child<QPushButton>(about, "pushButton")->text(), QStringLiteral("OK"));

    auto *osd = child<QLabel>(about, "label_osd");
    QCOMPARE(osd->text(), QStringLiteral("This product uses third-party <a href=\"%1\">Open-Source software</a>")
                              .arg(noticeLink()));
    QVERIFY(noticeLink().startsWith(QStringLiteral("file:///")));
    QVERIFY(!noticeLink().startsWith(QStringLiteral("file:////")));
    QVERIFY(!osd->openExternalLinks());
    // Rich text: only the two words are the link.
    QTextDocument shown;
    shown.setHtml(osd->text());
    QCOMPARE(shown.toPlainText(), QStringLiteral("This product uses third-party Open-Source software"));
}

void TestAboutHelp::aboutLogoAndIcon()
{
    QCOMPARE(about->windowIcon().cacheKey(), window->windowIcon().cacheKey());
    QCOMPARE(QImage(QStringLiteral(":/ostra-logo.png")).size(), QSize(2660, 1105));
    auto *logo = child<QLabel>(about, "label_logo");
    QCOMPARE(logo->maximumSize(), QSize(262, 108));
    QVERIFY(logo->hasScaledContents());
    QCOMPARE(logo->pixmap().size(), QSize(2660, 1105));
    QVERIFY(logo->text().isEmpty());
}

void TestAboutHelp::aboutSizeIsFixed()
{
    QCOMPARE(about->size(), QSize(560, 220));
    QCOMPARE(about->minimumSize(), QSize(560, 220));
    QCOMPARE(about->maximumSize(), QSize(560, 221));
    QCOMPARE(about->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    about->resize(900, 600);
    QCOMPARE(about->size(), QSize(560, 221));
    about->resize(100, 100);
    QCOMPARE(about->size(), QSize(560, 220));
}

void TestAboutHelp::clickingTheLinkOpensTheNotice()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto restore = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });

    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    auto *osd = child<QLabel>(about, "label_osd");
    QSignalSpy activated(osd, &QLabel::linkActivated);

    // Click the middle of the link words, as a user would.
    const QFontMetrics metrics(osd->font());
    const int start = metrics.horizontalAdvance(QStringLiteral("This product uses third-party "));
    const int width = metrics.horizontalAdvance(QStringLiteral("Open-Source software"));
    const QPoint onLink(osd->contentsRect().left() + start + width / 2, osd->contentsRect().center().y());
    QTest::mouseClick(osd, Qt::LeftButton, Qt::NoModifier, onLink);

    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.first().first().toString(), noticeLink());
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toLocalFile(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/license/OSTRA_OSD.pdf"));
    QVERIFY(about->isVisible());
}

void TestAboutHelp::linkWithBlanksStillOpens()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto restore = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });
    // The program's directory goes into the link unescaped; strict parsing would refuse it.
    about->processLink(QStringLiteral("file:///opt/Korvel Recorder/license/OSTRA_OSD.pdf"));
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toLocalFile(), QStringLiteral("/opt/Korvel Recorder/license/OSTRA_OSD.pdf"));
}

void TestAboutHelp::failedOpenIsReported()
{
    // No handler exists for this scheme, so the desktop services must report failure.
    const QString link = QStringLiteral("korvel-unhandled:///opt/Korvel Recorder/license/OSTRA_OSD.pdf");
    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    auto box = Modal::answerNextBox();
    about->processLink(link);
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->title, QStringLiteral("Error"));
    QCOMPARE(box->text, QStringLiteral("Failed to open korvel-unhandled:///opt/Korvel Recorder/license/OSTRA_OSD.pdf"
                                       " Do you have a PDF reader installed?"));
    QVERIFY(box->hadParent);
    QVERIFY(about->isVisible());
}

void TestAboutHelp::okClosesAbout()
{
    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    QTest::mouseClick(child<QPushButton>(about, "pushButton"), Qt::LeftButton);
    QVERIFY(!about->isVisible());
}

void TestAboutHelp::helpTexts()
{
    QCOMPARE(help->objectName(), QStringLiteral("d_help"));
    QCOMPARE(help->windowTitle(), QStringLiteral("Help"));
    QCOMPARE(help->windowIcon().cacheKey(), window->windowIcon().cacheKey());
    auto *label = child<QLabel>(help, "l_help");
    const QString tested = QStringLiteral("If you can see this text you successfully testet the help function. ");
    QCOMPARE(label->statusTip(), tested);
    QCOMPARE(label->whatsThis(), tested);
    QCOMPARE(label->text(),
             QStringLiteral("Please switch off any SpeedStep (Intel)  or PowerNow! (AMD) functionality of your computer "
                            "when using this software on a notebook.\n\nYou will get further help using the "
                            "\"What's this?\" information provided for most GUI elements within this program. "));
    QVERIFY(label->wordWrap());
    auto *ok = child<QPushButton>(help, "pb_ok");
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(ok->whatsThis(), QStringLiteral("close this help window "));
}

void TestAboutHelp::helpGeometry()
{
    help->show();
    QVERIFY(QTest::qWaitForWindowExposed(help));
    QCOMPARE(help->size(), QSize(408, 160));
    help->resize(600, 400);
    QCOMPARE(help->size(), QSize(408, 160));
    QVERIFY(!help->layout());
    QCOMPARE(child<QLabel>(help, "l_help")->geometry(), QRect(30, 0, 351, 121));
    auto *line = child<QFrame>(help, "line");
    QCOMPARE(line->geometry(), QRect(20, 110, 361, 16));
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);
    QCOMPARE(child<QPushButton>(help, "pb_ok")->geometry(), QRect(290, 130, 81, 22));
}

void TestAboutHelp::okClosesHelp()
{
    help->show();
    QVERIFY(QTest::qWaitForWindowExposed(help));
    QTest::mouseClick(child<QPushButton>(help, "pb_ok"), Qt::LeftButton);
    QVERIFY(!help->isVisible());
}

QTEST_MAIN(TestAboutHelp)
#include "tst_about_help.moc"
