#include "app/speed_box.h"

#include <QLocale>

namespace {

const double steps[] = {0.1, 0.25, 0.5, 1, 2, 4, 10};
// Typed values lie between the steps; a hair's difference must not count as a step.
constexpr double Tolerance = 1e-9;

}

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

double SpeedBox::faster(double speed)
{
    for (double step : steps)
        if (step > speed + Tolerance)
            return step;
    return speed;
}

double SpeedBox::slower(double speed)
{
    for (int i = int(std::size(steps)) - 1; i >= 0; --i)
        if (steps[i] < speed - Tolerance)
            return steps[i];
    return speed;
}

QString SpeedBox::textFromValue(double value) const
{
    // "2" rather than "2.00"; two decimals at most, as the box keeps.
    return locale().toString(value, 'g', 6);
}
