#ifndef ABOUT_DLG_H
#define ABOUT_DLG_H

#include "ui_about_dlg.h"

#include <QDialog>
#include <QString>

class AboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDlg(QWidget *parent);

public slots:
    void processLink(const QString &link);

private:
    Ui::AboutDialog ui;
};

#endif
