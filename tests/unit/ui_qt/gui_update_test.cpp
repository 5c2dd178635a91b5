// The whole window against a virtual modem on pseudo-terminals: a press and release on the
// start picture updates the modem to "PASS", and the modem still holds what it held before.
// The window's message boxes are shown with exec(), as in the product, and answered the way a
// user answers them.
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "config/preserved_paths.h"
#include "sim/virtual_modem.h"
#include "ui/session/virtual_factory.h"
#include "ui/controller.h"
#include "ui/qt/gui_session.h"
#include "guide3_driver.h"

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

// The modem holds every image as the packet has it, and what it held before; `leaveOut`
// removes what the packet's project does not keep from both sides.
void CheckModemKept(GuiSession& session, session::ModemData before,
                    const std::function<void(session::ModemData&)>& leaveOut = {}) {
  sim::VirtualModem& modem = *session.modem();
  for (const auto& [name, held] : modem.Partitions()) {
    const auto image = sim::SummarizeFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/" + name + ".mbn");
    QVERIFY2(image && image->size == held.size && image->crc == held.crc, name.c_str());
  }
  session::ModemData after = session::Snapshot(modem, *session.factory().nv, session.PreservedPaths());
  if (leaveOut) {
    leaveOut(before);
    leaveOut(after);
  }
  const session::Verification check = session::Compare(before, after);
  for (const auto& line : check.lines) qInfo("%s", line.c_str());
  QVERIFY(check.ok);
}

// With ZOVIR_SCREENSHOT_DIR set, the window as a run left it is kept there as a picture.
void Snap(QWidget* w, const QString& name) {
  const QString dir = qEnvironmentVariable("ZOVIR_SCREENSHOT_DIR");
  if (dir.isEmpty() || !w) return;
  QDir().mkpath(dir);
  w->grab().save(dir + "/" + name + ".png");
}

// The test packet as another project: its Config.ini's [Project] Project set to `project`.
bool PacketOf(const QString& folder, const QString& project) {
  const QDir from(ZOVIR_TEST_PACKET_DIR);
  for (const QString& name : from.entryList(QDir::Files))
    if (!QFile::copy(from.filePath(name), folder + "/" + name)) return false;
  QFile config(folder + "/Config.ini");
  if (!config.open(QIODevice::ReadOnly)) return false;
  QString text = QString::fromUtf8(config.readAll());
  config.close();
  text.replace(QRegularExpression("(?m)^Project=.*$"), "Project=" + project);
  return config.open(QIODevice::WriteOnly | QIODevice::Truncate) && config.write(text.toUtf8()) > 0;
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
    InstallFontSubstitutes();
  }

  // Each function in a home of its own: the backups and kept values one leaves (all virtual
  // modems of slot 0 have the same serial number) never meet the next one's modem.
  void init() {
    const QString home = home_.path() + "/" + QTest::currentTestFunction();
    for (const char* var : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"})
      qputenv(var, (home + "/" + var).toUtf8());
    QDir().mkpath(home + "/XDG_RUNTIME_DIR");
    QFile::setPermissions(home + "/XDG_RUNTIME_DIR", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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

  // The compact variant: its wizard, shown with exec() from start-up and walked from its first
  // screen, starts the update at once; the compact window shows progress and then completion.
  void compactVariantFromItsFirstWizardScreenToPass() {
    QTemporaryDir packet;
    QVERIFY(PacketOf(packet.path(), "Rathel"));
    GuiOptions options = VirtualOptions();
    options.packet = packet.path().toStdString();
    GuiSession session(options);
    QCOMPARE(session.Open(), 0);
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    Guide3Driver wizard;
    wizard.onScreen = [](QWidget* guide, const std::string& screen) {
      Snap(guide, "run_41_wizard_" + QString::fromStdString(screen));
    };
    session::ModemData before;
    wizard.beforeStart = [&] {
      // The modem's own data, in place before the update begins.
      const ProjectConfiguration& config = session.controller().config();
      session.factory().Seed(*session.modem(), 0, PreservedEfsPaths(config.UserDataFilesList),
                             PreservedEfsPaths(config.UserDataDirList));
      before = session::Snapshot(*session.modem(), *session.factory().nv, session.PreservedPaths());
    };
    bool finished = false, passed = false;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) {
      finished = true;
      passed = ok;
    });
    QVERIFY(session.Start());
    QCOMPARE(wizard.screens, (std::vector<std::string>{"GroupBox1", "GroupBox2", "GroupBox3"}));
    QCOMPARE(session.controller().config().ProjectType, 41);
    w.show();  // as the program does once start-up went on
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.Panel(), CompactPanel::Progress);
    QVERIFY(w.findChild<QWidget*>("GroupBox1")->isVisible());
    auto* gauge = w.findChild<Gauge*>("CGauge1");
    QTRY_VERIFY_WITH_TIMEOUT(finished || gauge->Position() > 0, 240000);
    Snap(&w, "run_41_progress");
    QTRY_VERIFY_WITH_TIMEOUT(finished, 240000);
    Snap(&w, "run_41_completion");
    QVERIFY2(boxes.texts.empty(), boxes.texts.empty() ? "" : boxes.texts.front().c_str());
    QVERIFY(passed);
    QCOMPARE(w.Panel(), CompactPanel::Completion);
    QVERIFY(w.findChild<QWidget*>("GroupBox2")->isVisible());
    QCOMPARE(w.size(), QSize(510, 395));
    QVERIFY(!before.nv.empty());
    // This project backs up its NV items only, and never reads the IMEI.
    CheckModemKept(session, before, [](session::ModemData& d) {
      d.rf.clear();
      d.identity.erase("IMEI");
    });
    QVERIFY(!w.EndRequested());
  }

  // A packet for another platform: START stays off, the window names the mismatch once, and
  // nothing is written to the modem.
  void wrongPlatformPacketKeepsStartDisabled() {
    QTemporaryDir packet;
    QVERIFY(PacketOf(packet.path(), "DEMO9X06"));
    {
      QFile config(packet.path() + "/Config.ini");
      QVERIFY(config.open(QIODevice::ReadOnly));
      QString text = QString::fromUtf8(config.readAll());
      config.close();
      text.replace(QRegularExpression("(?m)^Platform=.*$"), "Platform=MDM9200 (9200)");
      QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate) && config.write(text.toUtf8()) > 0);
    }
    GuiOptions options = VirtualOptions();
    options.packet = packet.path().toStdString();
    GuiSession session(options);
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto partitions = session.modem()->Partitions();
    auto* status = w.findChild<QLabel*>("Label_status");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Plantform type is not matched"), 30000);
    QVERIFY(PollsPass(session.controller(), 3));
    QVERIFY(!w.StartEnabled());
    QCOMPARE(w.StartArtShown(), ButtonArt::Disabled);
    QCOMPARE(boxes.texts,
             std::vector<std::string>{"Plantform type is not matched (the modem reports 8, the packet is for 0)"});
    Snap(&w, "run_wrong_platform");
    // A press on the grey START does nothing.
    ClickStart(w);
    QVERIFY(!session.controller().Running());
    QCOMPARE(session.modem()->Partitions().size(), partitions.size());
    QCOMPARE(session.modem()->Mode(), sim::ModemMode::Normal);
  }

  // Closing the window during the backup: one question, shown while the update goes on; OK
  // stops the update before the modem is switched to its boot loader, and the window says
  // where the log and the backups are before it closes. The modem keeps its firmware and data.
  void closingDuringTheBackupLeavesTheModemAsItWas() {
    GuiSession session(VirtualOptions());
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    sim::VirtualModem& modem = *session.modem();
    const session::ModemData before = session::Snapshot(modem, *session.factory().nv, session.PreservedPaths());
    const auto partitions = modem.Partitions();

    // Each box the window shows is noted; the close question is answered OK once the modem was
    // seen to be read on while it stood open.
    std::vector<std::string> texts;
    std::vector<bool> wentOn;
    bool answering = false;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (answering || !box || !box->isVisible()) return;
      answering = true;
      texts.push_back(box->text().toStdString());
      Snap(box, texts.size() == 1 ? "run_close_question" : "run_close_stopped");
      if (QAbstractButton* ok = box->button(QMessageBox::Ok); ok && box->button(QMessageBox::Cancel)) {
        const uint32_t reads = modem.CommandCount("diag:26");
        wentOn.push_back(QTest::qWaitFor([&] { return modem.CommandCount("diag:26") > reads + 20; }, 60000));
      }
      if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
      answering = false;
    });
    answerer.start(30);

    ClickStart(w);
    QTRY_VERIFY_WITH_TIMEOUT(modem.CommandCount("diag:26") > 20, 120000);  // the backup reads NV items
    auto* close = w.findChild<QWidget*>("Image_close");
    QTest::mousePress(close, Qt::LeftButton, {}, QPoint(9, 9));
    QTest::mouseRelease(close, Qt::LeftButton, {}, QPoint(9, 9));
    QTRY_VERIFY_WITH_TIMEOUT(w.EndRequested(), 120000);
    QVERIFY(!session.controller().Running());

    QCOMPARE(wentOn, std::vector<bool>{true});
    QVERIFY2(texts.size() == 2, texts.empty() ? "" : texts.back().c_str());
    QCOMPARE(texts[0], std::string("There are tasks still downloading, do you want to terminate?"));
    const std::string log = session.controller().log().LogFilePath();
    QVERIFY(!log.empty());
    QVERIFY2(texts[1].find(log) != std::string::npos, texts[1].c_str());
    QVERIFY2(QString::fromStdString(texts[1]).contains("backup", Qt::CaseInsensitive), texts[1].c_str());

    QCOMPARE(modem.ModeEntries(sim::ModemMode::BootSahara), 0u);
    QCOMPARE(modem.ModeEntries(sim::ModemMode::Programmer), 0u);
    QVERIFY(modem.WaitForMode(sim::ModemMode::Normal, std::chrono::seconds(30)));
    QCOMPARE(modem.Partitions().size(), partitions.size());
    const session::ModemData after = session::Snapshot(modem, *session.factory().nv, session.PreservedPaths());
    const session::Verification check = session::Compare(before, after);
    for (const auto& line : check.lines) qInfo("%s", line.c_str());
    QVERIFY(check.ok);
  }

  // An update stopped while it wrote the modem leaves it in its download mode, where its one
  // port is listed twice: Re_update takes it as the one modem it is and begins.
  void reupdateAfterAStoppedWriteTakesTheOneModem() {
    GuiSession session(VirtualOptions());
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    TDudorIvoUiForm& w = session.window();
    BoxAnswerer boxes;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    std::vector<bool> results;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) { results.push_back(ok); });
    ClickStart(w);
    QTRY_VERIFY_WITH_TIMEOUT(session.factory().identity->Losses() > 0, 120000);
    session.controller().StopClick();
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), size_t(1), 240000);
    QVERIFY(!results[0]);
    QVERIFY(session.modem()->Mode() != sim::ModemMode::Normal);
    auto* reupdate = w.findChild<QAction*>("Reupdate1");
    QVERIFY(reupdate->isVisible());
    reupdate->trigger();
    for (const auto& text : boxes.texts) QVERIFY2(text != "Two or more devices were found", text.c_str());
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), size_t(2), 240000);
    QFile log(QString::fromStdString(session.controller().log().LogFilePath()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY2(log.readAll().contains("Syncing......"), "the re-update began");
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
