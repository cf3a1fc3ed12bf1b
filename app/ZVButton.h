// The enable switch: a check box button that can be told to ignore mouse presses for a while,
// so that a second click right after the first does not switch the add-on back.
#pragma once

#include <QCheckBox>

class ZVButton : public QCheckBox {
 public:
  explicit ZVButton(QWidget* parent = nullptr);
  explicit ZVButton(const QString& text, QWidget* parent = nullptr);

  bool disableMouseDown = false;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};
