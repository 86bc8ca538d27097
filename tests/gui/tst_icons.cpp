#include "gui/action_icons.h"

#include <QAction>
#include <QImage>
#include <QMainWindow>
#include <QTest>

class TestIcons : public QObject
{
    Q_OBJECT

private slots:
    void everyIconIsDrawnAtEverySize_data()
    {
        QTest::addColumn<QString>("action"); // empty: the window's own icon
        QTest::addColumn<int>("size");
        for (const char *name : {"actionOpen", "actionSave_as", "actionPlay", "actionPause", "actionRecord",
                                 "actionStop", "actionPreview", ""}) {
            for (int size : {16, 24, 32, 48})
                QTest::addRow("%s %d", *name ? name : "window", size) << QString::fromLatin1(name) << size;
        }
    }

    void everyIconIsDrawnAtEverySize()
    {
        QFETCH(QString, action);
        QFETCH(int, size);
        QMainWindow window;
        const QStringList names = {"actionOpen", "actionSave_as", "actionPlay", "actionPause",
                                   "actionRecord", "actionStop", "actionPreview"};
        for (const QString &name : names)
            (new QAction(&window))->setObjectName(name);
        applyScalableIcons(&window);

        const QIcon icon = action.isEmpty() ? window.windowIcon() : window.findChild<QAction *>(action)->icon();
        const QImage image = icon.pixmap(QSize(size, size)).toImage();
        // A 16 px image is never scaled up, so the full size shows that the SVG engine drew it.
        QCOMPARE(image.size(), QSize(size, size));
        int covered = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x)
                covered += qAlpha(image.pixel(x, y)) > 128;
        }
        // Each drawing fills a good part of its square; a blank or clipped one does not.
        QVERIFY2(covered * 5 >= size * size, qPrintable(QString::number(covered)));
    }
};

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
