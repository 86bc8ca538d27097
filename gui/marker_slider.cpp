#include "gui/marker_slider.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

MarkerSlider::MarkerSlider(QWidget *parent)
    : QSlider(parent)
{
}

void MarkerSlider::setMarkers(std::vector<int> markerFrames)
{
    frames = std::move(markerFrames);
    update();
}

void MarkerSlider::setBand(int from, int to)
{
    banded = true;
    bandFrom = from;
    bandTo = to;
    update();
}

void MarkerSlider::clearBand()
{
    banded = false;
    update();
}

MarkerSlider::Scale MarkerSlider::scale() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    return {groove.left() + handle.width() / 2, groove.width() - handle.width()};
}

int MarkerSlider::xOf(const Scale &scale, int value) const
{
    return scale.left
         + QStyle::sliderPositionFromValue(minimum(), maximum(), std::clamp(value, minimum(), maximum()), scale.span);
}

void MarkerSlider::paintEvent(QPaintEvent *event)
{
    QSlider::paintEvent(event);
    if (!banded && frames.empty())
        return;
    QPainter painter(this);
    const Scale scale = this->scale();
    const int middle = height() / 2;
    if (banded) {
        QColor band = palette().color(QPalette::Highlight);
        band.setAlpha(90);
        const int left = xOf(scale, bandFrom);
        painter.fillRect(QRect(left, middle - 3, qMax(2, xOf(scale, bandTo) - left + 1), 6), band);
    }
    // One line per pixel column at most: ten thousand markers cost no more than the slider is wide.
    painter.setPen(QPen(palette().color(QPalette::Link), 1));
    int lastX = -1;
    const auto from = std::lower_bound(frames.begin(), frames.end(), minimum());
    const auto to = std::upper_bound(frames.begin(), frames.end(), maximum());
    for (auto it = from; it != to; ++it) {
        const int x = xOf(scale, *it);
        if (x == lastX)
            continue;
        lastX = x;
        painter.drawLine(x, 0, x, middle - 4);
        painter.drawLine(x, middle + 4, x, height() - 1);
    }
}
