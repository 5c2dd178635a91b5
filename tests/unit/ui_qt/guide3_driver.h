#pragma once
// Walks the compact variant's wizard the way a user does while it runs modally: one step per
// tick of a timer, each step on the screen that shows then. Nothing is done from inside the
// dialog's own handlers, so a screen change that ends exec() early is seen as such.
#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace zovir::qt {

class Guide3Driver : public QObject {
 public:
  Guide3Driver() {
    connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_.start(40);
  }
  // The screens seen, in order, one entry per change ("GroupBox1" ... "GroupBox4").
  std::vector<std::string> screens;
  // Called just before Start is pressed.
  std::function<void()> beforeStart;
  // Called once each time another screen shows.
  std::function<void(QWidget* guide, const std::string& screen)> onScreen;

 private:
  void Step() {
    QWidget* guide = QApplication::activeModalWidget();
    if (!guide || guide->objectName() != "FormGuide3" || !guide->isVisible()) return;
    const char* names[] = {"GroupBox1", "GroupBox2", "GroupBox3", "GroupBox4"};
    QWidget* shown = nullptr;
    for (const char* name : names) {
      auto* box = guide->findChild<QWidget*>(name);
      if (box && box->isVisible()) shown = box;
    }
    if (!shown) return;
    const std::string name = shown->objectName().toStdString();
    if (screens.empty() || screens.back() != name) {
      screens.push_back(name);
      if (onScreen) onScreen(guide, name);
    }
    auto click = [](QAbstractButton* b, QPoint at = {}) {
      if (b && b->isVisible()) QTest::mouseClick(b, Qt::LeftButton, {}, at.isNull() ? b->rect().center() : at);
    };
    if (name == "GroupBox1") {
      click(guide->findChild<QPushButton*>("SpeedButton_Install"));
    } else if (name == "GroupBox2") {
      auto* agree = guide->findChild<QRadioButton*>("RadioButton_Agree");
      if (!agree->isChecked())
        click(agree, QPoint(5, agree->height() / 2));
      else
        click(guide->findChild<QPushButton*>("SpeedButton_Next"));
    } else if (name == "GroupBox3") {
      if (beforeStart) beforeStart();
      click(guide->findChild<QPushButton*>("SpeedButton_Start"));
    } else {
      click(guide->findChild<QPushButton*>("SpeedButton1"));
    }
  }
  QTimer timer_;
};

}  // namespace zovir::qt
