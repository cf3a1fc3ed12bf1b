#include "ZVButton.h"

#include <QMouseEvent>

ZVButton::ZVButton(QWidget* parent) : QCheckBox(parent) {}

ZVButton::ZVButton(const QString& text, QWidget* parent) : QCheckBox(text, parent) {}

void ZVButton::mousePressEvent(QMouseEvent* event) {
  // Without the press the release is no click either.
  if (disableMouseDown) {
    event->ignore();
    return;
  }
  QCheckBox::mousePressEvent(event);
}
