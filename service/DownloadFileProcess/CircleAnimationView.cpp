#include "DownloadFileProcess/CircleAnimationView.h"

#include <QPainter>
#include <QPainterPath>

const QColor CircleAnimationView::kSystemGreen(52, 199, 89);
const QColor CircleAnimationView::kSystemRed(255, 59, 48);

CircleAnimationView::CircleAnimationView(QWidget* parent) : QWidget(parent) {
  CircleLayer layer;
  layer.strokeColor = kSystemGreen;
  circleLayer_ = layer;
  setAttribute(Qt::WA_TranslucentBackground);
}

QPointF CircleAnimationView::center() const { return QPointF(width() * 0.5, height() * 0.5); }

double CircleAnimationView::radius() const { return (width() - 10) * 0.5; }

void CircleAnimationView::paintEvent(QPaintEvent*) {
  if (!circleLayer_ || circleLayer_->strokeEnd <= 0.0) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(circleLayer_->strokeColor, circleLayer_->lineWidth);
  pen.setCapStyle(Qt::FlatCap);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  const double r = radius();
  const QRectF box(center().x() - r, center().y() - r, 2 * r, 2 * r);
  // From three o'clock, clockwise on screen, as far as the stroke end.
  QPainterPath path;
  path.arcMoveTo(box, 0);
  path.arcTo(box, 0, -360.0 * circleLayer_->strokeEnd);
  painter.drawPath(path);
}
