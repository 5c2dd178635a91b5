// The whole window against a virtual modem on pseudo-terminals: a press and release on the
// start picture updates the modem to "PASS", and the modem still holds what it held before.
// The window's message boxes are shown with exec(), as in the product, and answered the way a
// user answers them.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "sim/virtual_modem.h"
#include "ui/session/virtual_factory.h"
#include "ui/controller.h"
#include "ui/qt/gui_session.h"

namespace zovir::qt {

namespace {

// Presses OK (No to a question) on each message box the window shows, noting its text.
class BoxAnswerer : public QObject {
 public:
  BoxAnswerer() {
    connect(&timer_, &QTimer::timeout, this, [this] { Answer(); });
    timer_.start(30);
  }
  std::vector<std::string> texts;

 private:
  void Answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    texts.push_back(box->text().toStdString());
    QAbstractButton* button = box->button(QMessageBox::Ok);
    if (!button) button = box->button(QMessageBox::No);
    if (button) button->click();
  }
  QTimer timer_;
};

void ClickStart(TDudorIvoUiForm& w) {
  auto* start = w.findChild<QWidget*>("Image_start");
  QTest::mouseMove(start, QPoint(50, 12));
  QTest::mousePress(start, Qt::LeftButton, {}, QPoint(50, 12));
  QTest::mouseRelease(start, Qt::LeftButton, {}, QPoint(50, 12));
}

GuiOptions VirtualOptions(const QString& state = {}) {
  GuiOptions options;
  options.virtualModem = true;
  options.packet = ZOVIR_TEST_PACKET_DIR;
  options.watchIntervalMs = 200;
  options.state = state.toStdString();
  return options;
}

// The modem holds every image as the packet has it, and what it held before.
void CheckModemKept(GuiSession& session, const session::ModemData& before) {
  sim::VirtualModem& modem = *session.modem();
  for (const auto& [name, held] : modem.Partitions()) {
    const auto image = sim::SummarizeFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/" + name + ".mbn");
    QVERIFY2(image && image->size == held.size && image->crc == held.crc, name.c_str());
  }
  const session::ModemData after = session::Snapshot(modem, *session.factory().nv, session.PreservedPaths());
  const session::Verification check = session::Compare(before, after);
  for (const auto& line : check.lines) qInfo("%s", line.c_str());
  QVERIFY(check.ok);
}

// Waits for `n` more device polls of the window's watcher.
bool PollsPass(Controller& c, int n) {
  const int until = c.Polls() + n;
  return QTest::qWaitFor([&] { return c.Polls() >= until; }, 30000);
}

}  // namespace

class GuiUpdateTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    for (const char* var : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"})
      qputenv(var, (home_.path() + "/" + var).toUtf8());
    QDir().mkpath(home_.path() + "/XDG_RUNTIME_DIR");
    QFile::setPermissions(home_.path() + "/XDG_RUNTIME_DIR", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    InstallFontSubstitutes();
  }

  void clickOnStartUpdatesTheModemToPass() {
    GuiOptions options;
    options.virtualModem = true;
    options.packet = ZOVIR_TEST_PACKET_DIR;
    options.watchIntervalMs = 200;
    GuiSession session(options);
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    std::vector<std::string> messages;
    w.messageHook = [&](const std::string& text, const std::string&) { messages.push_back(text); };
    w.askHook = [](const std::string&, const std::string&, Question) { return Answer::No; };
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.findChild<StatusPanel*>("StatusBar")->text(), QString("Welcome to Quorvel_ZOVIR!!"));

    // The watcher finds the modem and enables Start.
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    QCOMPARE(w.StartArtShown(), ButtonArt::Idle);
    sim::VirtualModem& modem = *session.modem();
    const auto paths = session.PreservedPaths();
    const session::ModemData before = session::Snapshot(modem, *session.factory().nv, paths);
    QVERIFY(!before.nv.empty());

    bool finished = false, passed = false;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) {
      finished = true;
      passed = ok;
    });
    auto* start = w.findChild<QWidget*>("Image_start");
    QTest::mouseMove(start, QPoint(50, 12));
    QCOMPARE(w.StartArtShown(), ButtonArt::Hover);
    QTest::mousePress(start, Qt::LeftButton, {}, QPoint(50, 12));
    QTest::mouseRelease(start, Qt::LeftButton, {}, QPoint(50, 12));
    QCOMPARE(w.StartArtShown(), ButtonArt::Disabled);  // running: StartButton is off
    QTRY_VERIFY_WITH_TIMEOUT(finished, 240000);
    QVERIFY2(messages.empty(), messages.empty() ? "" : messages.front().c_str());
    QVERIFY(passed);

    auto* bar = w.findChild<StatusPanel*>("StatusBar");
    QCOMPARE(bar->text(), QString("verified: the modem reports firmware BTM9X06_V1.0.0_R01"));
    QCOMPARE(bar->color(), QColor(0, 128, 0));
    QCOMPARE(w.ResultState(), 3);

    // What the modem holds: every image as the packet has it, and its own data restored.
    for (const auto& [name, held] : modem.Partitions()) {
      const auto image = sim::SummarizeFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/" + name + ".mbn");
      QVERIFY2(image && image->size == held.size && image->crc == held.crc, name.c_str());
    }
    const session::ModemData after = session::Snapshot(modem, *session.factory().nv, paths);
    const session::Verification check = session::Compare(before, after);
    for (const auto& line : check.lines) qInfo("%s", line.c_str());
    QVERIFY(check.ok);
  }

  // A batch: after PASS the finished modem is not offered again; once it is unplugged and the
  // next one plugged in, START updates that one too, without a restart.
  void twoModemsOneAfterTheOtherWithoutARestart() {
    GuiSession session(VirtualOptions());
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Controller& c = session.controller();
    std::vector<bool> results;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) { results.push_back(ok); });
    auto* status = w.findChild<QLabel*>("Label_status");
    for (const int slot : {0, 1}) {
      QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
      const session::ModemData before = session::Snapshot(*session.modem(), *session.factory().nv, session.PreservedPaths());
      ClickStart(w);
      QTRY_COMPARE_WITH_TIMEOUT(results.size(), size_t(slot + 1), 240000);
      QVERIFY(results.back());
      CheckModemKept(session, before);
      if (QTest::currentTestFailed()) return;

      // Still attached: its result stays and it is not started again by accident.
      QVERIFY(PollsPass(c, 3));
      QVERIFY(!w.StartEnabled());
      QCOMPARE(status->text(), QString(" Complete"));
      session.UnplugVirtualModem();
      QVERIFY(PollsPass(c, 2));
      QVERIFY(!w.StartEnabled());
      session.PlugVirtualModem(slot + 1);
    }
    QCOMPARE(boxes.texts, std::vector<std::string>{});
  }

  // A re-update this session cannot do is refused without touching the selection: the next
  // START backs up, writes and restores as always.
  void refusedReupdateThenStartUpdates() {
    GuiSession session(VirtualOptions());
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    const session::ModemData before = session::Snapshot(*session.modem(), *session.factory().nv, session.PreservedPaths());
    // The milestone an interrupted earlier run left behind; its backup is unknown here.
    session.controller().AddStatusLine("Bootloader succssfully", mtProgress);
    auto* reupdate = w.findChild<QAction*>("Reupdate1");
    QVERIFY(!reupdate->isVisible());
    reupdate->trigger();
    QCOMPARE(boxes.texts, std::vector<std::string>{kNoReupdateBackupText});
    QVERIFY(w.StartEnabled());

    bool finished = false, passed = false;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) {
      finished = true;
      passed = ok;
    });
    ClickStart(w);
    QTRY_VERIFY_WITH_TIMEOUT(finished, 240000);
    QVERIFY2(boxes.texts.size() == 1, boxes.texts.back().c_str());
    QVERIFY(passed);
    CheckModemKept(session, before);
  }

  // An update stopped while it wrote the modem leaves it without its identity and keeps the
  // backup. Started again (the program too), the window asks for the serial number; typed in,
  // START restores the modem from that backup.
  void identityLostSerialNumberTypedStartRestores() {
    QTemporaryDir state;
    session::ModemData before;
    std::string sn;
    {
      GuiSession session(VirtualOptions(state.path()));
      QCOMPARE(session.Open(), 0);
      QVERIFY(session.Start());
      TDudorIvoUiForm& w = session.window();
      BoxAnswerer boxes;
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
      sim::VirtualModem& modem = *session.modem();
      before = session::Snapshot(modem, *session.factory().nv, session.PreservedPaths());
      sn = modem.State().Identity("SN").value_or("");
      QVERIFY(!sn.empty());
      bool finished = false;
      connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool) { finished = true; });
      ClickStart(w);
      // The firmware forgets the identity once images are written.
      QTRY_VERIFY_WITH_TIMEOUT(session.factory().identity->Losses() > 0, 120000);
      session.controller().StopClick();
      QTRY_VERIFY_WITH_TIMEOUT(finished, 240000);
    }
    GuiSession session(VirtualOptions(state.path()));
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int finished = 0;
    bool passed = false;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) {
      ++finished;
      passed = ok;
    });
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    ClickStart(w);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 240000);
    QVERIFY(!passed);
    QCOMPARE(boxes.texts, (std::vector<std::string>{"Test info is lost!", "input SN and start!"}));
    auto* entry = w.findChild<QLineEdit*>("Edit2");
    QVERIFY(entry->isVisible() && entry->isEnabled());
    QVERIFY(PollsPass(session.controller(), 2));
    QVERIFY(!w.StartEnabled());
    QTest::keyClicks(entry, QString::fromStdString(sn));
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    ClickStart(w);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 2, 240000);
    QVERIFY2(boxes.texts.size() == 2, boxes.texts.back().c_str());
    QVERIFY(passed);
    CheckModemKept(session, before);
  }

 private:
  QTemporaryDir home_;
};

}  // namespace zovir::qt

QTEST_MAIN(zovir::qt::GuiUpdateTest)
#include "gui_update_test.moc"
