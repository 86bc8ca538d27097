#ifndef SPEED_BOX_H
#define SPEED_BOX_H

#include <QDoubleSpinBox>

// The playback speed factor on the tool bar, shown as e.g. "2×".
class SpeedBox : public QDoubleSpinBox
{
    Q_OBJECT

public:
    explicit SpeedBox(QWidget *parent = nullptr);

protected:
    QString textFromValue(double value) const override;
};

#endif
