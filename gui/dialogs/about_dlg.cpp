#include "gui/dialogs/about_dlg.h"

#include "gui/dialogs/message_box.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

AboutDlg::AboutDlg(QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());

    const QChar fill(QLatin1Char(' '));
    ui.label_version->setText(QStringLiteral("%1 v%2.%3.%4 %5")
                                  .arg(ui.label_version->text())
                                  .arg(KORVEL_VERSION_MAJOR, 0, 10, fill)
                                  .arg(KORVEL_VERSION_MINOR, 0, 10, fill)
                                  .arg(KORVEL_VERSION_PATCH, 0, 10, fill)
                                  .arg(QString(), 0, fill));
    ui.label_date->setText(QStringLiteral("06.11.2015"));

    // "file://" needs a path that begins with a slash: Unix paths have one, drive paths get one.
    QString directory = QCoreApplication::applicationDirPath();
    if (!directory.startsWith(QLatin1Char('/')))
        directory.prepend(QLatin1Char('/'));
    ui.label_osd->setText(tr("This product uses third-party <a href=\"file://%1/%2\">Open-Source software</a>")
                              .arg(directory.toHtmlEscaped(), QStringLiteral("license/OSTRA_OSD.pdf")));
    ui.label_osd->setOpenExternalLinks(false);
    connect(ui.label_osd, &QLabel::linkActivated, this, &AboutDlg::processLink);
}

void AboutDlg::processLink(const QString &link)
{
    // Tolerant parsing: the program's directory may contain blanks and is not escaped.
    const QUrl url(link, QUrl::TolerantMode);
    if (!QDesktopServices::openUrl(url))
        showMessage(this, QMessageBox::Warning, tr("Error"),
                    tr("Failed to open ") + url.toString() + tr(" Do you have a PDF reader installed?"));
}
