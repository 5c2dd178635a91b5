// The main window's own behaviour: dragging, the picture buttons, the label sets and the
// status bar, with real mouse events on the offscreen platform.
#include <QAction>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>

#include "ui/controller.h"
#include "ui/qt/main_window.h"

namespace zovir::qt {

namespace {

class NoPorts final : public ControllerPorts {
 public:
  int RefreshPortLists() override { return 0; }
  PortLists Lists() override { return {}; }
  ModemFacts Facts() override { return {}; }
  void CloseProbePort() override {}
  bool IsSameDiagPort(int) override { return false; }
};

// One modem: a diagnostic and an AT port, so that the device poll turns the window ready.
class OneModem final : public ControllerPorts {
 public:
  int RefreshPortLists() override { return 1; }
  PortLists Lists() override {
    PortLists l;
    l.PortCBox.items = {"COM5"};
    l.PortCBox.selected = 0;
    l.SerialPortCBox.items = {"COM6"};
    l.SerialPortCBox.selected = 0;
    return l;
  }
  ModemFacts Facts() override { return {}; }
  void CloseProbePort() override {}
  bool IsSameDiagPort(int) override { return false; }
};

ProjectConfiguration Config(int type, int language = 0) {
  ProjectConfiguration c;
  c.ProjectType = type;
  c.Language = language;
  c.Caption = "Quorvel_TEST";
  return c;
}

void Send(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button, Qt::MouseButtons buttons) {
  const QPointF local = w->mapFromGlobal(QPointF(global));
  QMouseEvent e(type, local, local, QPointF(global), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutes(); }

  void dragMovesByTheCursorsTravelAndStopsOnReleaseOutside() {
    TDudorIvoUiForm w;
    w.move(200, 150);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();
    const QPoint grab = w.mapToGlobal(QPoint(250, 60));  // background, no control there
    Send(&w, QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
    Send(&w, QEvent::MouseMove, grab + QPoint(37, -21), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(w.pos(), start + QPoint(37, -21));
    // Far outside the window: the implicit grab still delivers the move and the release.
    Send(&w, QEvent::MouseMove, grab + QPoint(-900, 700), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(w.pos(), start + QPoint(-900, 700));
    Send(&w, QEvent::MouseButtonRelease, grab + QPoint(-900, 700), Qt::LeftButton, Qt::NoButton);
    const QPoint after = w.pos();
    Send(&w, QEvent::MouseMove, grab + QPoint(5, 5), Qt::NoButton, Qt::NoButton);
    QCOMPARE(w.pos(), after);
  }

  void startButtonRunsStartOnceAndFollowsStartButton() {
    TDudorIvoUiForm w;
    NoPorts ports;
    SteadyClock clock;
    ControllerOptions options;
    Controller controller(w, ports, clock, options);
    controller.SetConfiguration(Config(1), true);
    w.Bind(controller, clock);
    int messages = 0;
    w.messageHook = [&](const std::string& text, const std::string&) {
      ++messages;
      QCOMPARE(QString::fromStdString(text), QString("No Image File Loaded!"));
    };
    w.ApplyLook(controller.config());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* start = w.findChild<QWidget*>("Image_start");
    QVERIFY(start);

    w.EnableStart(false);
    w.ShowStartArt(StartArt::Idle);
    QTest::mouseMove(start, QPoint(50, 12));
    QCOMPARE(w.StartArtShown(), ButtonArt::Disabled);  // disabled: hovering changes nothing
    QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(50, 12));
    QCOMPARE(messages, 0);

    w.EnableStart(true);
    w.ShowStartArt(StartArt::Idle);
    QTest::mouseMove(w.findChild<QWidget*>("Image_Big"), QPoint(20, 100));
    QTest::mouseMove(start, QPoint(52, 12));
    QCOMPARE(w.StartArtShown(), ButtonArt::Hover);
    QTest::mousePress(start, Qt::LeftButton, {}, QPoint(52, 12));
    QCOMPARE(w.StartArtShown(), ButtonArt::Pressed);
    QTest::mouseRelease(start, Qt::LeftButton, {}, QPoint(52, 12));
    // Start ran once; the validation failed and left StartButton enabled: the idle picture.
    QCOMPARE(messages, 1);
    QVERIFY(w.StartEnabled());
    QCOMPARE(w.StartArtShown(), ButtonArt::Idle);
    w.Unbind();
  }

  // The device poll repaints the idle picture under a pointer resting on START; the click
  // that follows still starts (here the validation answers, having no images).
  void clickAfterThePointerRestedOnStartStarts() {
    TDudorIvoUiForm w;
    OneModem ports;
    SteadyClock clock;
    Controller controller(w, ports, clock, ControllerOptions{});
    controller.SetConfiguration(Config(1), true);
    w.Bind(controller, clock);
    std::vector<std::string> messages;
    w.messageHook = [&](const std::string& text, const std::string&) { messages.push_back(text); };
    w.ApplyLook(controller.config());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* start = w.findChild<QWidget*>("Image_start");

    controller.CheckDevice();
    QVERIFY(w.StartEnabled());
    QTest::mouseMove(start, QPoint(40, 10));
    QCOMPARE(w.StartArtShown(), ButtonArt::Hover);
    controller.CheckDevice();  // the two-second poll while the pointer rests
    controller.CheckDevice();
    QTest::mousePress(start, Qt::LeftButton, {}, QPoint(40, 10));
    QCOMPARE(w.StartArtShown(), ButtonArt::Pressed);
    QTest::mouseRelease(start, Qt::LeftButton, {}, QPoint(40, 10));
    QCOMPARE(messages, std::vector<std::string>{"No Image File Loaded!"});
    w.Unbind();
  }

  void finishedPictureOfType2IsStatic() {
    TDudorIvoUiForm w;
    w.ApplyLook(Config(2));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.ShowStartArt(StartArt::Running);
    w.ShowStartArt(StartArt::Ended);
    QCOMPARE(w.FinishArtShown(), ButtonArt::Disabled);
    QCOMPARE(w.StartArtShown(), ButtonArt::Hidden);
    auto* finish = w.findChild<QWidget*>("Image_finish");
    QTest::mouseMove(finish, QPoint(50, 12));
    QTest::mouseClick(finish, Qt::LeftButton, {}, QPoint(50, 12));
    QCOMPARE(w.FinishArtShown(), ButtonArt::Disabled);
    QVERIFY(w.isVisible());  // no close
  }

  // Types 2 and 6 hide the About word: the background's menu opens the About window, which
  // shows a version, never part of the product's name.
  void aboutOfTypes2And6OpensFromTheMenu() {
    for (const int type : {2, 6}) {
      TDudorIvoUiForm w;
      const ProjectConfiguration c = Config(type);
      w.ApplyLook(c);
      w.SetTitle("Quorvel_ZOVIR Data Card Update", false);
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QVERIFY(!w.findChild<QWidget*>("Label_about")->isVisible());
      auto* item = w.findChild<QAction*>("AboutFlashZovir1");
      QVERIFY(item && item->isVisible() && item->isEnabled());
      QCOMPARE(item->text(), QString("About"));
      item->trigger();
      QWidget* about = w.findChild<QWidget*>("DudorIvoAboutForm");
      QVERIFY(about && about->isVisible());
      auto* version = about->findChild<QLabel*>("Label_Version");
      QVERIFY(version->isVisible());
      QCOMPARE(version->text(), QString("Ver 1.3.5.0"));
      about->close();
    }
  }

  // The title variant's warnings show whole on one line, at 1x as the window is drawn.
  void titleVariantWarningsShowWhole() {
    TDudorIvoUiForm w;
    w.ApplyLook(Config(42));
    for (const char* name : {"Label_warning_start_japanese", "Label_warning_finish_japanese"}) {
      auto* label = w.findChild<ClickLabel*>(name);
      QVERIFY(!label->text().isEmpty());
      QVERIFY2(QFontMetricsF(label->font()).horizontalAdvance(label->text()) <= label->width(), name);
      QVERIFY(label->y() >= 166 && label->y() + label->height() <= 194);  // between the panel and START
    }
  }

  void statusBarColours_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("color");
    QTest::newRow("neutral") << 0 << QColor(0, 0, 0);
    QTest::newRow("failure") << 1 << QColor(255, 0, 0);
    QTest::newRow("info") << 2 << QColor(0, 0, 0);
    QTest::newRow("success") << 3 << QColor(0, 128, 0);
  }
  void statusBarColours() {
    QFETCH(int, state);
    QFETCH(QColor, color);
    TDudorIvoUiForm w;
    w.SetStatusBar("PASS");
    w.SetResultState(state);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* bar = w.findChild<StatusPanel*>("StatusBar");
    QCOMPARE(bar->color(), color);
    // The text is really drawn in that colour and bold.
    const QImage image = bar->grab().toImage();
    bool found = false;
    for (int y = 0; y < image.height() && !found; ++y)
      for (int x = 0; x < image.width() && !found; ++x) found = image.pixelColor(x, y) == color;
    QVERIFY(found);
  }

  void labelSets_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("visibleLabel");
    QTest::addColumn<QString>("hiddenLabel");
    QTest::addColumn<QString>("startPicture");
    QTest::addColumn<int>("startTop");
    QTest::newRow("default") << 1 << 0 << "Label_warning" << "Label_warning_7921" << "start3" << 194;
    QTest::newRow("27") << 27 << 0 << "Label_warning_7921" << "Label_warning" << "start3_second" << 212;
    QTest::newRow("28") << 28 << 0 << "Label_warning_7921" << "Image_warning" << "start3_second" << 212;
    QTest::newRow("japanese") << 1 << 1 << "Label_warning" << "Image_warning" << "start3_second" << 194;
    QTest::newRow("title variant") << 42 << 0 << "Label_title_japannese" << "Label_title" << "start3_second" << 194;
    QTest::newRow("2") << 2 << 0 << "Image_start" << "Label_title" << "start3_second" << 194;
  }
  void labelSets() {
    QFETCH(int, type);
    QFETCH(int, language);
    QFETCH(QString, visibleLabel);
    QFETCH(QString, hiddenLabel);
    QFETCH(QString, startPicture);
    QFETCH(int, startTop);
    TDudorIvoUiForm w;
    w.ApplyLook(Config(type, language));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.findChild<QWidget*>(visibleLabel)->isVisible());
    QVERIFY(!w.findChild<QWidget*>(hiddenLabel)->isVisible());
    auto* start = w.findChild<Picture*>("Image_start");
    QCOMPARE(start->PictureName(), startPicture);
    QCOMPARE(start->y(), startTop);
  }

  void compactPanels() {
    TDudorIvoUiForm w;
    ProjectConfiguration c = Config(41);
    c.Version = "V1.2.3";
    w.ApplyLook(c);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(480, 185));
    QVERIFY(w.findChild<QWidget*>("GroupBox1")->isVisible());
    const QPoint centre = w.geometry().center();
    w.ShowCompactPanel(CompactPanel::Completion);
    QCOMPARE(w.size(), QSize(510, 395));
    QVERIFY(!w.findChild<QWidget*>("GroupBox1")->isVisible());
    QCOMPARE(w.findChild<QLabel*>("Label_CustomVersion")->text(), QString("V1.2.3"));
    QVERIFY(qAbs(w.geometry().center().x() - centre.x()) <= 1);
    w.ShowCompactPanel(CompactPanel::Failure);
    QCOMPARE(w.size(), QSize(300, 165));
    QCOMPARE(w.windowTitle(), QString("上网卡固件升级失败"));
    QVERIFY(w.findChild<QWidget*>("GroupBox4")->isVisible());
  }
};

}  // namespace zovir::qt

QTEST_MAIN(zovir::qt::MainWindowTest)
#include "main_window_test.moc"
