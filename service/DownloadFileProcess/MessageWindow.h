// The small floating window of a bring-online request: the progress ring, one line of text and
// two buttons. Its layout comes from the "MessageWindow" interface resource of a bundle.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "DownloadFileProcess/CircleAnimationView.h"
#include "bundle/Bundle.h"

class MessageWindow : public QWidget {
 public:
  struct Settings {
    // A folder that gets a picture of the window at every new text and when the ring passes
    // half way: how the window looks where no one can see it (the demo, headless machines).
    // Empty: no pictures.
    std::string snapshotFolder;
  };

  explicit MessageWindow(QWidget* parent = nullptr);

  // The first MessageWindow in the bundle's Resources/MessageWindow.ui, outlets connected and
  // buttons styled; nothing when the resource is missing or holds none.
  static std::shared_ptr<MessageWindow> loadFromNib(const platform::bundle::Bundle& bundle);
  static std::shared_ptr<MessageWindow> loadFromNib(const platform::bundle::Bundle& bundle,
                                                    Settings settings);

  QPointer<CircleAnimationView> circleAnimationView;
  QPointer<QLabel> mainLabel;
  QPointer<QPushButton> mainButton;
  QPointer<QPushButton> secondaryButton;

  QString text() const;
  void setText(const QString& text);
  QString mainButtonText() const;
  void setMainButtonText(const QString& text);
  QString secondaryButtonText() const;
  void setSecondaryButtonText(const QString& text);

  void setMainButton(std::function<void()> action);
  void setSecondaryButton(std::function<void()> action);
  // Moves the ring forward to progress (0 to 1); lower or larger values are ignored.
  void updateProgress(double progress);
  // The ring as a new window shows it: empty, in green. For a new batch in the same window.
  void resetProgress();
  void markError();
  // Shows the window above the others and gives it the focus.
  void makeKeyAndOrderFront();

  void awakeFromNib();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void snapshot();

  Settings settings_;
  QPoint dragOffset_;
  QMetaObject::Connection mainConnection_;
  QMetaObject::Connection secondaryConnection_;
};
