#include "ui/qt/qt_support.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <future>
#include <thread>

namespace zovir::qt {

void GuiClock::SleepMs(uint32_t ms) {
  if (!qApp || QThread::currentThread() != qApp->thread()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  // Input that arrives meanwhile waits for the loop: the controller is in the middle of a
  // handler and must not see a second one. Paints, timers and the window system go on.
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void RunServingWindow(const std::function<void()>& work) {
  if (!qApp || QThread::currentThread() != qApp->thread()) {
    work();
    return;
  }
  auto done = std::async(std::launch::async, work);
  while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
  done.get();
}

void InstallFontSubstitutes() {
  QFont::insertSubstitutions("MS PGothic", {"Noto Sans CJK JP", "Noto Sans JP", "DejaVu Sans"});
  QFont::insertSubstitutions("MS Gothic", {"Noto Sans Mono CJK JP", "Noto Sans CJK JP", "DejaVu Sans Mono"});
  QFont::insertSubstitutions("Chinese UI", {"Noto Sans CJK SC", "Noto Sans CJK JP", "DejaVu Sans"});
  QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Verdana", {"DejaVu Sans", "Liberation Sans"});
  QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "DejaVu Sans"});
}

QFont FormFont(const char* family, int points, bool bold) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(points * 96 / 72);
  f.setBold(bold);
  return f;
}

QFont JapaneseFont(int points, bool bold) { return FormFont("MS PGothic", points, bold); }
QFont ChineseFont(int points, bool bold) { return FormFont("Chinese UI", points, bold); }

Picture::Picture(QWidget* parent, const QString& objectName, const QString& name) : QWidget(parent) {
  setObjectName(objectName);
  setAttribute(Qt::WA_TranslucentBackground);
  SetPicture(name);
}

void Picture::SetPicture(const QString& name) {
  if (name == name_) return;
  name_ = name;
  if (!name.isEmpty()) renderer_.load(":/skin/" + name + ".svg");
  update();
}

void Picture::paintEvent(QPaintEvent*) {
  if (name_.isEmpty() || !renderer_.isValid()) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QSize size = renderer_.defaultSize().scaled(this->size() - QSize(offset_.x(), offset_.y()), Qt::IgnoreAspectRatio);
  renderer_.render(&p, QRectF(offset_, size));
}

void Picture::mousePressEvent(QMouseEvent* e) { emit Pressed(e->button()); }
void Picture::mouseReleaseEvent(QMouseEvent* e) { emit Released(e->button()); }
void Picture::mouseMoveEvent(QMouseEvent*) { emit Moved(); }
void Picture::leaveEvent(QEvent*) { emit Left(); }

ClickLabel::ClickLabel(QWidget* parent, const QString& objectName) : QWidget(parent) {
  setObjectName(objectName);
  setAttribute(Qt::WA_TranslucentBackground);
}

void ClickLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setFont(font());
  p.setPen(color_);
  int flags = static_cast<int>(align_);
  if (wrap_) flags |= Qt::TextWordWrap;
  p.drawText(rect(), flags, text_);
}

void ClickLabel::mousePressEvent(QMouseEvent*) { emit Pressed(); }
void ClickLabel::mouseReleaseEvent(QMouseEvent*) { emit Released(); }
void ClickLabel::mouseMoveEvent(QMouseEvent*) { emit Moved(); }
void ClickLabel::leaveEvent(QEvent*) { emit Left(); }

Gauge::Gauge(QWidget* parent, const QString& objectName, const QColor& fore) : QWidget(parent), fore_(fore) {
  setObjectName(objectName);
}

void Gauge::SetRange(int maximum) {
  maximum_ = maximum > 0 ? maximum : 100;
  update();
}

void Gauge::SetPosition(int position) {
  if (position == position_) return;
  position_ = position;
  update();
}

int Gauge::Percent() const {
  const int clamped = std::clamp(position_, 0, maximum_);
  return static_cast<int>(static_cast<int64_t>(clamped) * 100 / maximum_);
}

void Gauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect().adjusted(0, 0, -1, -1);
  p.fillRect(r, Qt::white);
  const int filled = static_cast<int>(static_cast<int64_t>(r.width()) * Percent() / 100);
  p.fillRect(QRect(r.left(), r.top(), filled, r.height()), fore_);
  p.setPen(QColor(0x6f, 0x8f, 0xb3));
  p.drawRect(r);
  p.setPen(Qt::black);
  p.setFont(FormFont("Arial", 8, true));
  p.drawText(rect(), Qt::AlignCenter, QString::number(Percent()) + "%");
}

WorkingAnimation::WorkingAnimation(QWidget* parent, const QString& objectName) : QWidget(parent) {
  setObjectName(objectName);
}

void WorkingAnimation::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  p.setPen(QColor(0x9d, 0xb8, 0xd6));
  p.setBrush(QColor(0xee, 0xf3, 0xf8));
  p.drawRoundedRect(r, 4, 4);
  const int blocks = 5;
  for (int i = 0; i < blocks; ++i) {
    const int lit = (phase_ + blocks - i) % 8;
    QColor c(0x2b, 0x6c, 0xb0);
    c.setAlpha(lit < 4 ? 255 - lit * 55 : 40);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    const qreal w = (r.width() - 12) / blocks;
    p.drawRoundedRect(QRectF(r.left() + 6 + i * w + 2, r.top() + 6, w - 4, r.height() - 12), 2, 2);
  }
}

void WorkingAnimation::showEvent(QShowEvent*) {
  if (!timer_) timer_ = startTimer(120);
}

void WorkingAnimation::hideEvent(QHideEvent*) {
  if (timer_) killTimer(timer_);
  timer_ = 0;
}

void WorkingAnimation::timerEvent(QTimerEvent*) {
  phase_ = (phase_ + 1) % 8;
  update();
}

QString TightLines(const QString& text, int percent) {
  return QString("<div style=\"line-height:%1%\">%2</div>").arg(percent).arg(text.toHtmlEscaped());
}

QFont FittingFont(QFont font, const QString& text, int width, int minPixels) {
  // Measured unrounded: the same text drawn at another scale must still fit.
  while (font.pixelSize() > minPixels && QFontMetricsF(font).horizontalAdvance(text) > width)
    font.setPixelSize(font.pixelSize() - 1);
  return font;
}

void SetElidedText(QLabel* label, const QString& text) {
  const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, label->width());
  label->setText(shown);
  label->setToolTip(shown == text ? QString() : text);
}

QString ReplaceableText(const std::string& folder, const QString& file) {
  QFile own(QDir(QString::fromStdString(folder)).filePath(file));
  if (!folder.empty() && own.open(QIODevice::ReadOnly)) return QString::fromUtf8(own.readAll());
  QFile builtIn(":/texts/" + file);
  if (builtIn.open(QIODevice::ReadOnly)) return QString::fromUtf8(builtIn.readAll());
  return QString();
}

}  // namespace zovir::qt
