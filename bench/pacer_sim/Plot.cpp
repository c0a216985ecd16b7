#include "pacer_sim/Plot.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace caldrovex::bench {
namespace {

const QColor kColours[] = {QColor(0, 114, 178), QColor(213, 94, 0), QColor(0, 158, 115)};

struct Panel {
    QRectF area;
    double yMax;
    QPointF at(double t, double y) const {
        double x = area.left() + area.width() * t / kDuration;
        double clamped = std::clamp(y, 0.0, yMax);
        return {x, area.bottom() - area.height() * clamped / yMax};
    }
};

void drawAxes(QPainter& p, const Panel& panel, const QString& unit) {
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(panel.area);
    for (int i = 0; i <= 4; ++i) {
        double y = panel.yMax * i / 4;
        QPointF left = panel.at(0, y);
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(left, panel.at(kDuration, y));
        p.setPen(Qt::black);
        p.drawText(QRectF(left.x() - 70, left.y() - 8, 64, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(y, 'g', 3));
    }
    for (int s = 0; s <= kDuration; s += 10) {
        QPointF bottom = panel.at(s, 0);
        p.drawText(QRectF(bottom.x() - 20, bottom.y() + 4, 40, 16), Qt::AlignCenter,
                   QString::number(s) + " s");
    }
    p.save();
    p.translate(panel.area.left() - 70, panel.area.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-100, -20, 200, 16), Qt::AlignCenter, unit);
    p.restore();
}

void drawSeries(QPainter& p, const Panel& panel, const std::vector<double>& times,
                const std::vector<double>& values, double scale, const QPen& pen) {
    QPainterPath path;
    bool drawing = false;
    for (size_t i = 0; i < times.size(); ++i) {
        if (std::isnan(values[i])) {
            drawing = false;
            continue;
        }
        QPointF point = panel.at(times[i], values[i] * scale);
        if (drawing) {
            path.lineTo(point);
        } else {
            path.moveTo(point);
            drawing = true;
        }
    }
    p.setPen(pen);
    p.drawPath(path);
}

}  // namespace

bool plotScenario(const std::string& path, const std::string& title,
                  const std::vector<RunResult>& runs) {
    QImage image(1200, 800, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    double rateMax = 1;
    double delayMax = 100;
    for (const auto& run : runs) {
        for (double v : run.binCapacity) rateMax = std::max(rateMax, v / 1e6);
        for (double v : run.binTarget) rateMax = std::max(rateMax, v / 1e6);
        for (double v : run.binDelayP95) {
            if (!std::isnan(v)) delayMax = std::max(delayMax, v);
        }
    }
    Panel rates{QRectF(100, 60, 1060, 380), rateMax * 1.1};
    Panel delays{QRectF(100, 500, 1060, 250), std::min(delayMax * 1.1, 5000.0)};

    p.setPen(Qt::black);
    p.drawText(QRectF(0, 10, 1200, 24), Qt::AlignCenter, QString::fromStdString(title));
    drawAxes(p, rates, "Mbit/s");
    drawAxes(p, delays, "queueing delay p95 (ms)");

    const auto& first = runs.front();
    drawSeries(p, rates, first.binTime, first.binCapacity, 1e-6, QPen(Qt::gray, 3));
    for (size_t i = 0; i < runs.size(); ++i) {
        QColor colour = kColours[i % 3];
        const auto& run = runs[i];
        drawSeries(p, rates, run.binTime, run.binGoodput, 1e-6, QPen(colour, 1.5));
        drawSeries(p, rates, run.binTime, run.binTarget, 1e-6, QPen(colour, 1.5, Qt::DashLine));
        drawSeries(p, delays, run.binTime, run.binDelayP95, 1, QPen(colour, 1.5));
        p.setPen(colour);
        p.drawText(QRectF(110 + 260 * i, 35, 250, 20), Qt::AlignLeft,
                   QString(regimeName(run.regime)) + ": goodput — target - -");
    }
    p.setPen(Qt::gray);
    p.drawText(QRectF(900, 35, 250, 20), Qt::AlignRight, "link capacity");
    p.end();
    return image.save(QString::fromStdString(path), "PNG");
}

}  // namespace caldrovex::bench
