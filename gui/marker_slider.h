#ifndef MARKER_SLIDER_H
#define MARKER_SLIDER_H

#include <QSlider>

#include <vector>

// The play slider with the markers as ticks on its groove and the play range as a band.
class MarkerSlider : public QSlider
{
    Q_OBJECT

public:
    explicit MarkerSlider(QWidget *parent = nullptr);

    // Frame numbers, in order.
    void setMarkers(std::vector<int> frames);
    const std::vector<int> &markers() const { return frames; }
    void setBand(int from, int to);
    void clearBand();
    bool hasBand() const { return banded; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Scale {
        int left;  // x of the minimum, at the handle's middle
        int span;  // pixels from the minimum to the maximum
    };
    Scale scale() const;
    int xOf(const Scale &scale, int value) const;

    std::vector<int> frames;
    bool banded = false;
    int bandFrom = 0;
    int bandTo = 0;
};

#endif
