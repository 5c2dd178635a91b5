#pragma once
#include <QFont>
#include <QString>
#include <QSvgRenderer>
#include <QWidget>
#include <functional>
#include <string>

#include "platform/clock.h"

class QLabel;

namespace zovir::qt {

inline QString Q(const std::string& text) { return QString::fromStdString(text); }

// The controller's clock in the window: a wait on the window's thread keeps serving the
// window's events (without letting the controller in twice: see ControllerBusy), a wait on any
// other thread sleeps.
class GuiClock final : public Clock {
 public:
  uint64_t NowMs() override { return steady_.NowMs(); }
  int64_t WallSeconds() override { return steady_.WallSeconds(); }
  void SleepMs(uint32_t ms) override;

 private:
  SteadyClock steady_;
};

// Runs `work` on a thread of its own while the window's thread keeps serving paints, timers
// and the window system (not input: the controller is inside a handler). Elsewhere it runs
// `work` in place. For the controller's blocking port scans.
void RunServingWindow(const std::function<void()>& work);

// Maps the form fonts onto the free fonts Debian ships: the Japanese ones on Noto Sans CJK,
// the Latin ones on Liberation and DejaVu. Call once after the application object exists.
void InstallFontSubstitutes();

// Fonts by the form's names; sizes are the form's points at 96 dpi.
QFont FormFont(const char* family, int points, bool bold = false);
QFont JapaneseFont(int points, bool bold = false);  // "MS PGothic"
QFont ChineseFont(int points, bool bold = false);

// A picture of our skin (":/skin/<name>.svg"), drawn from its vector source at every paint,
// so it is sharp at any scale. An empty name draws nothing.
class Picture : public QWidget {
  Q_OBJECT
 public:
  explicit Picture(QWidget* parent, const QString& objectName, const QString& name = QString());
  void SetPicture(const QString& name);
  const QString& PictureName() const { return name_; }
  // Where the picture is drawn inside the widget (a pressed picture sits a little lower).
  void SetOffset(QPoint offset) { offset_ = offset; update(); }

 signals:
  void Pressed(Qt::MouseButton button);
  void Released(Qt::MouseButton button);
  void Moved();
  void Left();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void leaveEvent(QEvent*) override;

 private:
  QString name_;
  QSvgRenderer renderer_;
  QPoint offset_;
};

// A label that reports presses and releases (the About word, the message box's buttons).
class ClickLabel : public QWidget {
  Q_OBJECT
 public:
  ClickLabel(QWidget* parent, const QString& objectName);
  void setText(const QString& text) { text_ = text; update(); }
  const QString& text() const { return text_; }
  void setAlignment(Qt::Alignment a) { align_ = a; update(); }
  void setColor(const QColor& c) { color_ = c; update(); }
  void setWordWrap(bool on) { wrap_ = on; update(); }

 signals:
  void Pressed();
  void Released();
  void Moved();
  void Left();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void leaveEvent(QEvent*) override;

 private:
  QString text_;
  Qt::Alignment align_ = Qt::AlignLeft | Qt::AlignVCenter;
  QColor color_ = Qt::black;
  bool wrap_ = false;
};

// The engine's gauge: a bar in the fore colour with the percentage in its middle.
class Gauge : public QWidget {
  Q_OBJECT
 public:
  Gauge(QWidget* parent, const QString& objectName, const QColor& fore);
  void SetRange(int maximum);
  void SetPosition(int position);
  int Position() const { return position_; }
  int Maximum() const { return maximum_; }
  int Percent() const;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor fore_;
  int maximum_ = 100;
  int position_ = 0;
};

// The animated "working" picture: blocks running along a track while shown.
class WorkingAnimation : public QWidget {
  Q_OBJECT
 public:
  WorkingAnimation(QWidget* parent, const QString& objectName);

 protected:
  void paintEvent(QPaintEvent*) override;
  void showEvent(QShowEvent*) override;
  void hideEvent(QHideEvent*) override;
  void timerEvent(QTimerEvent*) override;

 private:
  int timer_ = 0;
  int phase_ = 0;
};

// `text` as rich text whose lines sit closer: the CJK fonts Debian ships have far taller lines
// than the forms were laid out for, and a wrapped label must keep to its height.
QString TightLines(const QString& text, int percent = 80);
// `font` (a form font, sized in pixels) made smaller, a pixel at a time down to `minPixels`,
// until `text` fits `width` on one line.
QFont FittingFont(QFont font, const QString& text, int width, int minPixels);
// Sets a one-line label's text, elided at its width; the whole text is its tool tip then.
void SetElidedText(QLabel* label, const QString& text);

// The text of a resource a packet may replace: `folder`/`file` when the packet carries it,
// else the built-in ":/texts/`file`".
QString ReplaceableText(const std::string& folder, const QString& file);

}  // namespace zovir::qt
