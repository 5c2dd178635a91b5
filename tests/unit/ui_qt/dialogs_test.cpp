// The message box, the About window and the wizards, each driven with real mouse and key
// events on the offscreen platform.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "ui/qt/dialogs.h"
#include "guide3_driver.h"

namespace zovir::qt {

namespace {

ProjectConfiguration Config(int type) {
  ProjectConfiguration c;
  c.ProjectType = type;
  c.Caption = "Quorvel_TEST";
  return c;
}

// Runs `drive` once the dialog is shown, then returns exec()'s result.
template <typename D, typename F>
int ExecDriven(D& dialog, F drive) {
  QTimer::singleShot(0, &dialog, [&] {
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    drive();
  });
  return dialog.exec();
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutes(); }

  void messageBoxKeys_data() {
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("result");
    QTest::newRow("Enter at once") << QList<int>{Qt::Key_Return} << 2;
    QTest::newRow("Esc") << QList<int>{Qt::Key_Left, Qt::Key_Escape} << 2;
    QTest::newRow("Left Enter") << QList<int>{Qt::Key_Left, Qt::Key_Return} << 1;
    QTest::newRow("Tab Enter") << QList<int>{Qt::Key_Tab, Qt::Key_Return} << 1;
    QTest::newRow("Tab Tab Enter") << QList<int>{Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return} << 2;
  }
  void messageBoxKeys() {
    QFETCH(QList<int>, keys);
    QFETCH(int, result);
    TFormMessagebox box(Config(27), nullptr);
    QCOMPARE(box.size(), QSize(293, 138));
    const int r = ExecDriven(box, [&] {
      for (int k : keys) QTest::keyClick(&box, static_cast<Qt::Key>(k));
    });
    QCOMPARE(r, result);
  }

  void messageBoxMouse() {
    TFormMessagebox box(Config(28), nullptr);
    const int r = ExecDriven(box, [&] {
      auto* ok = box.findChild<QWidget*>("Label_OK");
      QTest::mouseMove(ok, QPoint(30, 10));
      QCOMPARE(box.choice().highlight(), int(MessageBoxChoice::Ok));
      // Off OK onto the background: nothing highlighted, so Enter does nothing.
      QTest::mouseMove(&box, QPoint(20, 125));
      QCOMPARE(box.choice().highlight(), int(MessageBoxChoice::None));
      QTest::keyClick(&box, Qt::Key_Return);
      QVERIFY(box.isVisible());
      QTest::mouseMove(ok, QPoint(30, 10));
      QTest::mouseClick(ok, Qt::LeftButton, {}, QPoint(30, 10));
    });
    QCOMPARE(r, 1);
  }

  void aboutShowsCaptionAndDoesNotBlock() {
    QWidget main;
    main.resize(361, 268);
    main.show();
    TDudorIvoAboutForm about(&main);
    ProjectConfiguration c = Config(1);
    about.ShowFor(c, "Handed Caption", "Option summary", "App");
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QVERIFY(!about.isModal());
    QCOMPARE(about.size(), QSize(300, 194));
    QCOMPARE(about.findChild<QLabel*>("DescriptionLabel")->text(), QString("Handed Caption"));
    QCOMPARE(about.findChild<QLabel*>("SettingLable")->text(), QString("Option summary"));
    c.AboutDescription = "Configured description";
    about.ShowFor(c, "Handed Caption", "Option summary", "App");
    QCOMPARE(about.findChild<QLabel*>("DescriptionLabel")->text(), QString("Configured description"));
    QVERIFY(!about.findChild<QLabel*>("SettingLable")->isVisible());
    // Dragged by its picture; closed by its close picture.
    auto* image = about.findChild<QWidget*>("Image1");
    const QPoint before = about.pos();
    QTest::mousePress(image, Qt::LeftButton, {}, QPoint(150, 120));
    QCursor::setPos(QCursor::pos());  // the drag reads the cursor
    QTest::mouseRelease(image, Qt::LeftButton, {}, QPoint(150, 120));
    QCOMPARE(about.pos(), before);
    QTest::mouseClick(about.findChild<QWidget*>("Image_AboutClose0"), Qt::LeftButton, {}, QPoint(8, 8));
    QVERIFY(!about.isVisible());
  }

  // A caption or version longer than the window ends in "…" and keeps the whole as its tip.
  void aboutEndsLongTextsItCannotShow() {
    QWidget main;
    main.resize(361, 268);
    TDudorIvoAboutForm about(&main);
    const QString caption = "Quorvel_ZOVIR firmware update for the data card of the second generation, LTE edition";
    about.ShowFor(Config(1), caption.toStdString(), "Option summary", "App");
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    auto* description = about.findChild<QLabel*>("DescriptionLabel");
    QVERIFY(description->text().endsWith(QChar(0x2026)));
    QVERIFY(caption.startsWith(description->text().chopped(1)));
    QVERIFY(description->fontMetrics().horizontalAdvance(description->text()) <= description->width());
    QCOMPARE(description->toolTip(), caption);
    about.ShowFor(Config(1), "Short", "Option summary", "App");
    QCOMPARE(description->text(), QString("Short"));
    QVERIFY(description->toolTip().isEmpty());
  }

  void guideNeedsTheTickAndAsksBeforeLeaving() {
    TFormGuide1 guide(Config(19), "");
    int questions = 0;
    bool answer = false;
    guide.askExit = [&](const ExitQuestion& q) {
      ++questions;
      if (q.caption != "Exit") qFatal("wrong caption");
      return answer;
    };
    const int r = ExecDriven(guide, [&] {
      auto* next = guide.findChild<QPushButton*>("ButtonNext");
      auto* back = guide.findChild<QPushButton*>("ButtonBack");
      QTest::mouseClick(next, Qt::LeftButton);
      QVERIFY(!next->isEnabled());
      auto* box = guide.findChild<QCheckBox*>("CheckBox1");
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
      QVERIFY(next->isEnabled());
      QTest::mouseClick(next, Qt::LeftButton);
      QVERIFY(guide.findChild<QWidget*>("GroupBox4")->isVisible());
      QTest::mouseClick(back, Qt::LeftButton);
      QVERIFY(guide.findChild<QWidget*>("GroupBox3")->isVisible());
      QVERIFY(next->isEnabled());  // Back kept the tick
      // Closing by the frame before Finish asks; No keeps the wizard open.
      guide.close();
      QCOMPARE(questions, 1);
      QVERIFY(guide.isVisible());
      QTest::mouseClick(next, Qt::LeftButton);
      QTest::mouseClick(next, Qt::LeftButton);
      auto* finish = guide.findChild<QPushButton*>("ButtonFinish");
      QVERIFY(finish->isVisible());
      QTest::mouseClick(finish, Qt::LeftButton);
    });
    QCOMPARE(r, 1);
    QCOMPARE(questions, 1);  // after Finish nothing more is asked
  }

  void guide2AlternativeAgreementAndCancel() {
    ProjectConfiguration c = Config(3);
    c.VersionVariant[2] = 1;
    TFormGuide2 guide(c, "");
    QCOMPARE(guide.size(), QSize(445, 326));
    guide.askExit = [](const ExitQuestion& q) { return q.caption == "終了"; };
    const int r = ExecDriven(guide, [&] {
      auto* next = guide.findChild<QPushButton*>("ButtonNext");
      QTest::mouseClick(next, Qt::LeftButton);
      QVERIFY(guide.findChild<QWidget*>("GroupBox8")->isVisible());
      QVERIFY(!guide.findChild<QWidget*>("GroupBox3")->isVisible());
      auto* box2 = guide.findChild<QCheckBox*>("CheckBox2");
      QTest::mouseClick(box2, Qt::LeftButton, {}, QPoint(5, box2->height() / 2));
      QVERIFY(next->isEnabled());
      QTest::mouseClick(guide.findChild<QPushButton*>("ButtonCancel"), Qt::LeftButton);
    });
    QCOMPARE(r, 2);
  }

  void guide2SinglePageNeverAsks() {
    TFormGuide2 guide(Config(28), "");
    int questions = 0;
    guide.askExit = [&](const ExitQuestion&) { return ++questions, true; };
    const int r = ExecDriven(guide, [&] {
      QVERIFY(guide.findChild<QWidget*>("GroupBox10")->isVisible());
      QVERIFY(!guide.findChild<QPushButton*>("ButtonNext")->isVisible());
      QCOMPARE(guide.findChild<QPushButton*>("ButtonFinish")->text(), QString("OK"));
      QTest::keyClick(&guide, Qt::Key_Escape);
    });
    QCOMPARE(r, 2);
    QCOMPARE(questions, 0);
  }

  void guide3WithoutModemShowsTheNoDeviceScreen() {
    int checks = 0;
    TFormGuide3 guide("", [&] { return ++checks, false; });
    const int r = ExecDriven(guide, [&] {
      QCOMPARE(guide.size(), QSize(480, 250));
      QTest::mouseClick(guide.findChild<QPushButton*>("SpeedButton_Install"), Qt::LeftButton);
      QTRY_COMPARE(guide.size(), QSize(510, 395));
      QVERIFY(!guide.findChild<QPushButton*>("SpeedButton_Next")->isVisible());
      auto* agree = guide.findChild<QRadioButton*>("RadioButton_Agree");
      QTest::mouseClick(agree, Qt::LeftButton, {}, QPoint(5, agree->height() / 2));
      QVERIFY(guide.findChild<QPushButton*>("SpeedButton_Next")->isVisible());
      QTest::mouseClick(guide.findChild<QPushButton*>("SpeedButton_Next"), Qt::LeftButton);
      QTest::mouseClick(guide.findChild<QPushButton*>("SpeedButton_Start"), Qt::LeftButton);
      QCOMPARE(checks, 1);
      QTRY_COMPARE(guide.size(), QSize(300, 165));
      QCOMPARE(guide.findChild<QLabel*>("Label_nodevice")->text(), QString("请检查上网卡是否已经插入电脑相应接口！"));
      QTest::mouseClick(guide.findChild<QPushButton*>("SpeedButton1"), Qt::LeftButton);
    });
    QCOMPARE(r, 2);
  }

  // Shown with exec() and walked a step at a time: the screens change their frame and size
  // while the wizard stays open, and Start with a modem present accepts it.
  void guide3WithModemWalksEveryScreenToAccepted() {
    int checks = 0;
    TFormGuide3 guide("", [&] { return ++checks, true; });
    Guide3Driver driver;
    QCOMPARE(guide.exec(), 1);
    QCOMPARE(checks, 1);
    QCOMPARE(driver.screens, (std::vector<std::string>{"GroupBox1", "GroupBox2", "GroupBox3"}));
  }
};

}  // namespace zovir::qt

QTEST_MAIN(zovir::qt::DialogsTest)
#include "dialogs_test.moc"
