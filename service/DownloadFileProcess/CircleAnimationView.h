// The progress ring: an arc around the view's centre that grows with the progress and shifts
// from red to green. It only moves forward.
#pragma once

#include <QColor>
#include <QPointF>
#include <QWidget>
#include <optional>

class CircleAnimationView : public QWidget {
 public:
  // What the ring is drawn with.
  struct CircleLayer {
    double lineWidth = 4.0;
    QColor strokeColor;
    QColor fillColor = Qt::transparent;
    double strokeEnd = 0.0;
  };

  static const QColor kSystemGreen;
  static const QColor kSystemRed;

  explicit CircleAnimationView(QWidget* parent = nullptr);

  // Centre at half the frame's size; radius (width - 10) / 2.
  QPointF center() const;
  double radius() const;

  std::optional<CircleLayer>& circleLayer() { return circleLayer_; }
  const std::optional<CircleLayer>& circleLayer() const { return circleLayer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<CircleLayer> circleLayer_;
};
