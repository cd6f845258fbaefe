#include "chart/chart_ctrl.h"

#include <QAreaSeries>
#include <QChart>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <limits>

namespace sorvanta::chart {
namespace {

// A bar is this share of the x range wide.
constexpr double kBarShare = 0.05;

}  // namespace

ChartCtrl::ChartCtrl(QWidget* parent) : QChartView(parent), axisX_(new QValueAxis), axisY_(new QValueAxis) {
  auto* chart = new QChart;
  chart->setAnimationOptions(QChart::NoAnimation);  // a redraw per percent must stay cheap
  chart->setBackgroundRoundness(0);
  chart->layout()->setContentsMargins(0, 0, 0, 0);
  for (QValueAxis* axis : {axisX_, axisY_}) {
    axis->setLabelFormat(QStringLiteral("%g"));
    axis->setRange(0, 1);
  }
  chart->addAxis(axisX_, Qt::AlignBottom);
  chart->addAxis(axisY_, Qt::AlignLeft);
  QLegend* legend = chart->legend();
  legend->setVisible(true);
  legend->setAlignment(Qt::AlignTop);  // items side by side
  legend->detachFromChart();
  legend->setBackgroundVisible(false);
  // The view made a default chart of its own and only lets go of it here: delete it.
  QChart* previous = this->chart();
  setChart(chart);
  delete previous;
  setRenderHint(QPainter::Antialiasing);
  setMinimumSize(200, 120);
}

void ChartCtrl::Attach(QAbstractSeries* series, const QString& name) {
  series->setName(name);
  chart()->addSeries(series);
  series->attachAxis(axisX_);
  series->attachAxis(axisY_);
  const QList<QLegendMarker*> markers = chart()->legend()->markers(series);
  for (QLegendMarker* marker : markers) marker->setVisible(!name.isEmpty());
  PlaceLegend();
}

int ChartCtrl::AddLineSeries(const QString& name, const QColor& color, qreal width, Qt::PenStyle style) {
  auto* series = new QLineSeries;
  QPen pen(color);
  pen.setWidthF(width);
  pen.setStyle(style);
  pen.setCosmetic(true);
  series->setPen(pen);
  Attach(series, name);
  lines_.push_back(series);
  return static_cast<int>(lines_.size()) - 1;
}

int ChartCtrl::AddBarSeries(const QString& name, const QColor& color, Qt::BrushStyle fill) {
  // A filled rectangle between two short horizontal lines: a bar at any numeric x.
  BarSlot slot;
  slot.top = new QLineSeries(this);
  slot.bottom = new QLineSeries(this);
  slot.area = new QAreaSeries(slot.top, slot.bottom);
  slot.area->setBrush(QBrush(color, fill));
  QPen border(color);
  border.setWidthF(1.5);
  border.setCosmetic(true);
  slot.area->setPen(border);
  Attach(slot.area, name);
  bars_.push_back(slot);
  return static_cast<int>(bars_.size()) - 1;
}

void ChartCtrl::SetLinePoints(int line, const double* x, const double* y, int count) {
  if (line < 0 || line >= static_cast<int>(lines_.size())) return;
  QList<QPointF> points;
  points.reserve(std::max(count, 0));
  for (int i = 0; i < count; ++i) points.append(QPointF(x[i], y[i]));
  lines_[static_cast<size_t>(line)]->replace(points);
  Rescale();
}

void ChartCtrl::ClearLine(int line) { SetLinePoints(line, nullptr, nullptr, 0); }

void ChartCtrl::SetBar(int bar, double x, double y) {
  if (bar < 0 || bar >= static_cast<int>(bars_.size())) return;
  bars_[static_cast<size_t>(bar)].bar = QPointF(x, y);
  Rescale();
}

void ChartCtrl::ClearBar(int bar) {
  if (bar < 0 || bar >= static_cast<int>(bars_.size())) return;
  BarSlot& slot = bars_[static_cast<size_t>(bar)];
  if (!slot.bar) return;
  slot.bar.reset();
  Rescale();
}

void ChartCtrl::Rescale() {
  double minX = std::numeric_limits<double>::infinity(), maxX = -minX;
  double minY = 0, maxY = 0;
  for (const QLineSeries* series : lines_) {
    for (const QPointF& p : series->points()) {
      minX = std::min(minX, p.x());
      maxX = std::max(maxX, p.x());
      minY = std::min(minY, p.y());
      maxY = std::max(maxY, p.y());
    }
  }
  for (const BarSlot& slot : bars_) {
    if (!slot.bar) continue;
    minX = std::min(minX, slot.bar->x());
    maxX = std::max(maxX, slot.bar->x());
    minY = std::min(minY, slot.bar->y());
    maxY = std::max(maxY, slot.bar->y());
  }
  if (minX > maxX) minX = 0, maxX = 1;
  double halfWidth = (maxX > minX ? maxX - minX : 1.0) * kBarShare / 2;
  for (BarSlot& slot : bars_) PlaceBar(slot, halfWidth);
  // Bars at the ends of the range stay whole.
  for (const BarSlot& slot : bars_) {
    if (!slot.bar) continue;
    minX = std::min(minX, slot.bar->x() - halfWidth);
    maxX = std::max(maxX, slot.bar->x() + halfWidth);
  }
  if (maxY <= minY) maxY = minY + 1;
  axisX_->setRange(minX, maxX);
  axisY_->setRange(minY, maxY * 1.05);
  axisY_->applyNiceNumbers();
}

void ChartCtrl::PlaceBar(BarSlot& slot, double halfWidth) {
  if (!slot.bar) {
    slot.top->clear();
    slot.bottom->clear();
    return;
  }
  const double left = slot.bar->x() - halfWidth, right = slot.bar->x() + halfWidth;
  slot.top->replace(QList<QPointF>{{left, slot.bar->y()}, {right, slot.bar->y()}});
  slot.bottom->replace(QList<QPointF>{{left, 0}, {right, 0}});
}

void ChartCtrl::PlaceLegend() {
  // One row of entries; the legend box spans the chart from its offset to the right edge.
  QLegend* legend = chart()->legend();
  const qreal rowHeight = QFontMetricsF(legend->font()).height() * 1.5;
  const qreal width = std::max<qreal>(chart()->size().width() - 2 * kLegendX, 100);
  legend->setGeometry(QRectF(kLegendX, kLegendY, width, rowHeight));
  legend->update();
  // The plot starts below the legend, so that the legend never hides a curve.
  QMargins margins = chart()->margins();
  margins.setTop(static_cast<int>(kLegendY + rowHeight));
  chart()->setMargins(margins);
}

void ChartCtrl::resizeEvent(QResizeEvent* event) {
  QChartView::resizeEvent(event);
  PlaceLegend();
}

QList<QPointF> ChartCtrl::LinePoints(int line) const {
  if (line < 0 || line >= static_cast<int>(lines_.size())) return {};
  return lines_[static_cast<size_t>(line)]->points();
}

std::optional<QPointF> ChartCtrl::Bar(int bar) const {
  if (bar < 0 || bar >= static_cast<int>(bars_.size())) return std::nullopt;
  return bars_[static_cast<size_t>(bar)].bar;
}

QLineSeries* ChartCtrl::LineSeries(int line) const {
  return line >= 0 && line < static_cast<int>(lines_.size()) ? lines_[static_cast<size_t>(line)] : nullptr;
}

QAreaSeries* ChartCtrl::BarSeries(int bar) const {
  return bar >= 0 && bar < static_cast<int>(bars_.size()) ? bars_[static_cast<size_t>(bar)].area : nullptr;
}

QStringList ChartCtrl::LegendNames() const {
  QStringList names;
  const QList<QLegendMarker*> markers = chart()->legend()->markers();
  for (QLegendMarker* marker : markers)
    if (marker->isVisible()) names << marker->label();
  return names;
}

}  // namespace sorvanta::chart
