// The chart control of the benchmark windows: a thin layer over Qt Charts.
//
// Numeric bottom and left axes that follow the data, line series that are redrawn with the
// first n points of given arrays, single-bar series placed at an x position, a colour and a
// legend name per series. The legend is laid out horizontally and floats at (50, 20) from
// the chart's top-left corner; a series without a name has no legend entry. Window thread
// only.
#pragma once

#include <QChartView>
#include <QColor>
#include <QList>
#include <QPointF>
#include <optional>
#include <vector>

class QAreaSeries;
class QLineSeries;
class QValueAxis;

namespace sorvanta::chart {

class ChartCtrl : public QChartView {
  Q_OBJECT
 public:
  explicit ChartCtrl(QWidget* parent = nullptr);

  // Adds a series and returns its index among the series of its kind (0, 1, ...).
  // width 0 draws the thinnest line the screen shows.
  // A dashed line or a hatched bar tells series apart where colours alone may not.
  int AddLineSeries(const QString& name, const QColor& color, qreal width, Qt::PenStyle style = Qt::SolidLine);
  int AddBarSeries(const QString& name, const QColor& color, Qt::BrushStyle fill = Qt::SolidPattern);

  // Replaces the points of a line by (x[i], y[i]) for i < count, in one step; count 0 clears.
  void SetLinePoints(int line, const double* x, const double* y, int count);
  void ClearLine(int line);
  // Shows the one bar of a bar series at x with height y; ClearBar removes it.
  void SetBar(int bar, double x, double y);
  void ClearBar(int bar);

  // What the chart shows, for tests.
  QList<QPointF> LinePoints(int line) const;
  std::optional<QPointF> Bar(int bar) const;
  QLineSeries* LineSeries(int line) const;
  QAreaSeries* BarSeries(int bar) const;
  QValueAxis* AxisX() const { return axisX_; }
  QValueAxis* AxisY() const { return axisY_; }
  // Legend names in their order (series without a name left out).
  QStringList LegendNames() const;

  // The legend's offset from the chart's top-left corner.
  static constexpr qreal kLegendX = 50;
  static constexpr qreal kLegendY = 20;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct BarSlot {
    QAreaSeries* area = nullptr;
    QLineSeries* top = nullptr;
    QLineSeries* bottom = nullptr;
    std::optional<QPointF> bar;
  };
  void Attach(QAbstractSeries* series, const QString& name);
  // Scales both axes to what the series hold and redraws the bars at the width the x range gives.
  void Rescale();
  void PlaceBar(BarSlot& slot, double halfWidth);
  void PlaceLegend();

  QValueAxis* axisX_;
  QValueAxis* axisY_;
  std::vector<QLineSeries*> lines_;
  std::vector<BarSlot> bars_;
};

}  // namespace sorvanta::chart
