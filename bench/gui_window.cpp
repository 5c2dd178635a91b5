// zovir_bench_gui PACKET: the window's event loop during a whole update of a virtual modem.
// A timer asks to run every 2 ms; the longest gap between two of its runs, from just before
// the click on Start to the run's end, is the loop's longest stall. Prints "key value" lines.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "ui/qt/gui_session.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PACKET\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QTemporaryDir home;
  for (const char* var : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"})
    qputenv(var, (home.path() + "/" + var).toUtf8());
  QApplication app(argc, argv);
  zovir::qt::InstallFontSubstitutes();

  zovir::qt::GuiOptions options;
  options.virtualModem = true;
  options.packet = argv[1];
  options.watchIntervalMs = 500;
  zovir::qt::GuiSession session(options);
  if (session.Open() != 0 || !session.Start()) return 1;
  auto& w = session.window();
  bool questions = false;
  w.messageHook = [&](const std::string&, const std::string&) { questions = true; };
  w.askHook = [&](const std::string&, const std::string&, zovir::Question) {
    questions = true;
    return zovir::Answer::No;
  };
  w.show();
  if (!QTest::qWaitForWindowExposed(&w)) return 1;
  QElapsedTimer waited;
  waited.start();
  while (!w.StartEnabled() && waited.elapsed() < 60000) QTest::qWait(20);
  if (!w.StartEnabled()) return 1;

  bool finished = false, passed = false;
  QObject::connect(&w, &zovir::qt::TDudorIvoUiForm::RunFinished, [&](bool ok) {
    finished = true;
    passed = ok;
  });
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, stall = 0, ticks = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    stall = std::max(stall, now - last);
    if (qEnvironmentVariableIsSet("ZOVIR_BENCH_TRACE") && now - last > 30)
      std::fprintf(stderr, "stall %lld ms at %lld ms, status: %s\n", static_cast<long long>(now - last),
                   static_cast<long long>(now),
                   qPrintable(w.findChild<zovir::qt::StatusPanel*>("StatusBar")->text()));
    last = now;
    ++ticks;
  });
  probe.start(2);
  QWidget* start = w.findChild<QWidget*>("Image_start");
  QTest::mouseMove(start, QPoint(50, 12));
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(50, 12));
  while (!finished) QTest::qWait(5);
  probe.stop();
  std::printf("gui_event_loop_max_stall_ms %lld\n", static_cast<long long>(stall));
  std::printf("gui_update_seconds %.3f\n", clock.elapsed() / 1000.0);
  std::printf("gui_loop_ticks %lld\n", static_cast<long long>(ticks));
  std::printf("gui_update_passed %d\n", passed && !questions ? 1 : 0);
  return passed ? 0 : 1;
}
