// The whole window against a virtual modem on pseudo-terminals: a press and release on the
// start picture updates the modem to "PASS", and the modem still holds what it held before.
#include <QTemporaryDir>
#include <QTest>

#include "sim/virtual_modem.h"
#include "ui/cli/virtual_factory.h"
#include "ui/controller.h"
#include "ui/qt/gui_session.h"

namespace zovir::qt {

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
    const cli::ModemData before = cli::Snapshot(modem, *session.factory().nv, paths);
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
    QCOMPARE(bar->text(), QString("PASS"));
    QCOMPARE(bar->color(), QColor(0, 128, 0));
    QCOMPARE(w.ResultState(), 3);

    // What the modem holds: every image as the packet has it, and its own data restored.
    for (const auto& [name, held] : modem.Partitions()) {
      const auto image = sim::SummarizeFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/" + name + ".mbn");
      QVERIFY2(image && image->size == held.size && image->crc == held.crc, name.c_str());
    }
    const cli::ModemData after = cli::Snapshot(modem, *session.factory().nv, paths);
    const cli::Verification check = cli::Compare(before, after);
    for (const auto& line : check.lines) qInfo("%s", line.c_str());
    QVERIFY(check.ok);
  }

 private:
  QTemporaryDir home_;
};

}  // namespace zovir::qt

QTEST_MAIN(zovir::qt::GuiUpdateTest)
#include "gui_update_test.moc"
