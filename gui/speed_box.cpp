#include "gui/speed_box.h"

#include <QLocale>

SpeedBox::SpeedBox(QWidget *parent) : QDoubleSpinBox(parent)
{
    setAccessibleName(tr("Speed"));
    setToolTip(tr("Speed"));
    setRange(0.01, 100.0);
    setDecimals(2);
    setSingleStep(0.1);
    setValue(1.0);
    setSuffix(QStringLiteral("×"));
    setKeyboardTracking(false);
}

QString SpeedBox::textFromValue(double value) const
{
    // "2" rather than "2.00"; two decimals at most, as the box keeps.
    return locale().toString(value, 'g', 6);
}
