#ifndef SPEED_BOX_H
#define SPEED_BOX_H

#include <QDoubleSpinBox>

// The playback speed factor on the tool bar, shown as e.g. "2×"; the keys
// step it along the speeds players share.
class SpeedBox : public QDoubleSpinBox
{
    Q_OBJECT

public:
    explicit SpeedBox(QWidget *parent = nullptr);

    // The next step above or below `speed`, or `speed` itself at the end of the steps.
    static double faster(double speed);
    static double slower(double speed);

protected:
    QString textFromValue(double value) const override;
};

#endif
