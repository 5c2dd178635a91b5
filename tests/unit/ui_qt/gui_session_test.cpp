// The window inside the update session the command line uses: an update holds the desktop's
// services off while it runs, the firmware the modem reports afterwards is checked against the
// packet before anything of the run is cleaned up, every run goes to the history, and start-up
// unpacks what the program carries (a second packet, a USB boot loader) or ends when it cannot.
// This program carries a two-packet payload for the start-up cases; the updates read the test
// packet from its folder.
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/virtual_modem.h"
#include "support/fake_services.h"
#include "ui/controller.h"
#include "ui/qt/gui_session.h"

namespace fs = std::filesystem;

namespace zovir::qt {

namespace {

using test::FakeServices;
using Holds = test::ServiceHolds;

// The test packet, copied with its [Project] Version replaced (empty: as it is).
std::string PacketWithVersion(const QTemporaryDir& dir, const std::string& version) {
  const fs::path folder = fs::path(dir.path().toStdString()) / "packet";
  fs::create_directories(folder);
  for (const auto& entry : fs::directory_iterator(ZOVIR_TEST_PACKET_DIR))
    fs::copy_file(entry.path(), folder / entry.path().filename(), fs::copy_options::overwrite_existing);
  if (!version.empty()) {
    std::ifstream in(folder / "Config.ini");
    std::stringstream text;
    text << in.rdbuf();
    std::string ini = text.str();
    // The first Version= is the [Project] one.
    const auto at = ini.find("\nVersion=");
    const auto end = ini.find('\n', at + 1);
    ini.replace(at + 1, end - at - 1, "Version=" + version);
    in.close();
    std::ofstream(folder / "Config.ini", std::ios::trunc) << ini;
  }
  return folder.string();
}

// Gives the tool a home of its own (folders, backups, logs, history) for one test.
void UseHome(const QTemporaryDir& home) {
  for (const char* var : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"})
    qputenv(var, (home.path() + "/" + var).toUtf8());
  QDir().mkpath(home.path() + "/XDG_RUNTIME_DIR");
  QFile::setPermissions(home.path() + "/XDG_RUNTIME_DIR", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool HoldsFiles(const std::string& folder) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file(ec)) return true;
  return false;
}

}  // namespace

class GuiSessionTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutes(); }

  void updateIsGuardedCheckedAndRecorded_data() {
    QTest::addColumn<QString>("packetVersion");  // empty: the version the modem reports
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("same firmware") << "" << true << "verified: the modem reports firmware BTM9X06_V1.0.0_R01";
    QTest::newRow("other firmware") << "BTM9X06_V2.0.0_R01" << false
                                    << "version mismatch: the modem reports firmware BTM9X06_V1.0.0_R01, the "
                                       "packet is BTM9X06_V2.0.0_R01";
  }

  void updateIsGuardedCheckedAndRecorded() {
    QFETCH(QString, packetVersion);
    QFETCH(bool, passes);
    QFETCH(QString, shown);
    QTemporaryDir home;
    UseHome(home);
    auto holds = std::make_shared<Holds>();
    GuiOptions options;
    options.virtualModem = true;
    options.packet = PacketWithVersion(home, packetVersion.toStdString());
    options.watchIntervalMs = 200;
    options.makeServices = [holds] { return std::make_unique<FakeServices>(holds); };
    GuiSession session(options);
    TDudorIvoUiForm& w = session.window();
    std::vector<std::string> messages;
    w.messageHook = [&](const std::string& text, const std::string&) { messages.push_back(text); };
    w.askHook = [](const std::string&, const std::string&, Question) { return Answer::No; };
    QCOMPARE(session.Open(), 0);
    QVERIFY(session.Start());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY_WITH_TIMEOUT(w.StartEnabled(), 30000);
    QCOMPARE(holds->sleepAsked.load(), 0);

    bool finished = false, passed = !passes;
    bool heldWhileRunning = false;
    connect(&w, &TDudorIvoUiForm::RunFinished, this, [&](bool ok) {
      finished = true;
      passed = ok;
    });
    auto* start = w.findChild<QWidget*>("Image_start");
    QTest::mouseMove(start, QPoint(50, 12));
    QTest::mousePress(start, Qt::LeftButton, {}, QPoint(50, 12));
    QTest::mouseRelease(start, Qt::LeftButton, {}, QPoint(50, 12));
    QTRY_VERIFY_WITH_TIMEOUT((heldWhileRunning = heldWhileRunning || (session.controller().Running() &&
                                                                      holds->sleepHeld.load() == 1)) &&
                                 finished,
                             240000);
    QCOMPARE(passed, passes);
    QVERIFY2(messages.empty(), messages.empty() ? "" : messages.front().c_str());
    // The guard is given back with the run's end; a virtual modem has no USB device to keep
    // the modem manager away from.
    QCOMPARE(holds->sleepAsked.load(), 1);
    QCOMPARE(holds->sleepHeld.load(), 0);
    QCOMPARE(holds->modemManagerAsked.load(), 0);
    QCOMPARE(w.findChild<StatusPanel*>("StatusBar")->text(), shown);
    QCOMPARE(w.ResultState(), passes ? 3 : 1);

    const auto history = session.updateSession().history().Read();
    QCOMPARE(history.size(), size_t(1));
    const session::RunResult& r = history.back().result;
    QCOMPARE(history.back().device, std::string("virtual COM20"));
    QCOMPARE(r.result, std::string(passes ? "PASS" : "FAIL"));
    QCOMPARE(r.errorCode, passes ? 0 : session::kErrVersionMismatch);
    QCOMPARE(r.verification, std::string(passes ? "verified" : "version mismatch"));
    QCOMPARE(r.firmwareAfter, std::string("BTM9X06_V1.0.0_R01"));
    QVERIFY(!r.serialNumber.empty());
    // A PASS cleans up after itself; a mismatch keeps the run log and the backup, as any failure.
    QCOMPARE(!r.logPath.empty() && fs::exists(r.logPath), !passes);
    QCOMPARE(!r.backupFolder.empty() && HoldsFiles(r.backupFolder), !passes);
    const std::string kept = (fs::path(session.updateSession().folders().BackupFolder()) /
                              ("SN[" + r.serialNumber + "]")).string();
    QCOMPARE(HoldsFiles(kept), !passes);
    if (!passes) {
      std::ifstream log(r.logPath);
      std::stringstream text;
      text << log.rdbuf();
      QVERIFY(text.str().find("PASS") != std::string::npos);
      QVERIFY(text.str().find(shown.toStdString()) != std::string::npos);
    }
  }

  // The payload this program carries names a second packet and a USB boot loader: start-up
  // unpacks both packets and starts the boot download, as the command line does.
  void startUpUnpacksTheSecondPacketAndStartsTheBootDownload() {
    QTemporaryDir home;
    UseHome(home);
    GuiOptions options;
    options.virtualModem = true;
    GuiSession session(options);
    TDudorIvoUiForm& w = session.window();
    std::vector<std::string> messages;
    w.messageHook = [&](const std::string& text, const std::string&) { messages.push_back(text); };
    w.askHook = [](const std::string&, const std::string&, Question) { return Answer::No; };
    QCOMPARE(session.Open(), 0);
    const bool started = session.Start();
    for (const auto& text : messages) qInfo("%s", text.c_str());
    QVERIFY(started);
    for (const auto& text : messages) QVERIFY2(text.find("configuration") == std::string::npos, text.c_str());
    const std::string second = session.updateSession().folders().SecondPacketFolder();
    QVERIFY(fs::is_regular_file(second + "/Config.ini"));
    QVERIFY(fs::is_regular_file(second + "/NPRG9x06.mbn"));
    QVERIFY(fs::is_regular_file(session.updateSession().folders().WorkFolder() + "/xload.bin"));
    QVERIFY(session.updateSession().UsbBootRunning());
  }

  // A packet that cannot be written into the work folder ends the program, its reason shown.
  void aPacketThatCannotBeUnpackedEndsTheProgram() {
    QTemporaryDir home;
    UseHome(home);
    GuiOptions options;
    options.virtualModem = true;
    GuiSession session(options);
    TDudorIvoUiForm& w = session.window();
    std::vector<std::string> messages;
    w.messageHook = [&](const std::string& text, const std::string&) { messages.push_back(text); };
    w.askHook = [](const std::string&, const std::string&, Question) { return Answer::No; };
    QCOMPARE(session.Open(), 0);
    // A folder where the boot loader's file must go: it cannot be created.
    fs::create_directories(session.updateSession().folders().WorkFolder() + "/xload.bin/in");
    QVERIFY(!session.Start());
    QVERIFY(std::any_of(messages.begin(), messages.end(),
                        [](const std::string& text) { return text.find("xload.bin") != std::string::npos; }));
    QVERIFY(!session.updateSession().UsbBootRunning());
  }
};

}  // namespace zovir::qt

QTEST_MAIN(zovir::qt::GuiSessionTest)
#include "gui_session_test.moc"
