#ifndef HELP_H
#define HELP_H

#include "ui_help.h"

#include <QDialog>

class Help : public QDialog
{
    Q_OBJECT

public:
    explicit Help(QWidget *parent);

private:
    Ui::d_help ui;
};

#endif
