// quorvel-zovir: the window of the tool. --virtual runs it against a virtual modem in this
// process, as zovir-cli run --virtual does.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include <zovir_build_info.h>

#include "ui/controller.h"
#include "ui/qt/gui_session.h"

namespace {

class FirstPaintReport final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !seen_) {
      seen_ = true;
      std::printf("first_paint\n");
      std::fflush(stdout);
      QTimer::singleShot(0, qApp, &QApplication::quit);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool seen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  // Answered before the application object exists, so that it works without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::printf("quorvel-zovir %s (build %s)\n", ZOVIR_TOOL_VERSION, ZOVIR_BUILD_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvel-zovir");
  QApplication::setWindowIcon(QIcon(":/skin/icon.svg"));
  zovir::qt::InstallFontSubstitutes();

  QCommandLineParser parser;
  parser.setApplicationDescription("Firmware update of USB LTE modems");
  parser.addHelpOption();
  QCommandLineOption virtualModem("virtual", "Update a virtual modem on pseudo-terminals (no hardware).");
  QCommandLineOption packet("packet", "Use the firmware packet in <folder> instead of the one the program carries.",
                            "folder");
  QCommandLineOption state("state", "Keep the virtual modem's state in <folder> between runs.", "folder");
  parser.addOptions({virtualModem, packet, state});
  parser.process(app);

  zovir::qt::GuiOptions options;
  options.virtualModem = parser.isSet(virtualModem);
  options.packet = parser.value(packet).toStdString();
  options.state = parser.value(state).toStdString();

  zovir::qt::GuiSession session(options);
  if (const int code = session.Open()) return code;
  QObject::connect(&session.window(), &zovir::qt::TDudorIvoUiForm::EndRequestedSignal, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  if (!session.Start()) return 0;
  // Benchmarks ask when the window was first drawn: one line on stdout, then the program ends.
  FirstPaintReport firstPaint;
  if (qEnvironmentVariableIsSet("QUORVEL_ZOVIR_FIRST_PAINT")) session.window().installEventFilter(&firstPaint);
  session.window().show();
  QTimer timer1;
  // Timer1: the title variant ends when no modem became ready within 20 s.
  if (session.controller().Timer1Enabled()) {
    timer1.setSingleShot(true);
    QObject::connect(&timer1, &QTimer::timeout, &app, [&session] {
      session.window().RunInController([&session] { session.controller().Timer1Timer(); });
    });
    timer1.start(20000);
  }
  return app.exec();
}
