// quorvel-zovir-screenshots OUTDIR [SUFFIX]: shows the window, the message box, the About
// window and every wizard page in each state and variant, and writes one PNG of each.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <functional>

#include "ui/qt/dialogs.h"
#include "ui/qt/main_window.h"

namespace zovir::qt {
namespace {

ProjectConfiguration Config(int type, int language = 0, int versionVariant = -1) {
  ProjectConfiguration c;
  c.ProjectType = type;
  c.Language = language;
  c.Caption = "Quorvel_ZOVIR";
  c.Version = "ZV_MDM9x06_V2.0.4";
  if (versionVariant >= 0) c.VersionVariant[static_cast<size_t>(versionVariant)] = 1;
  return c;
}

class Shots {
 public:
  Shots(QString dir, QString suffix) : dir_(std::move(dir)), suffix_(std::move(suffix)) { QDir().mkpath(dir_); }

  void Take(QWidget& w, const QString& name) {
    if (!w.isVisible()) w.show();
    if (!QTest::qWaitForWindowExposed(&w)) qWarning("%s was not shown", qPrintable(name));
    QTest::qWait(150);  // let the animation and the window manager settle
    const QString path = dir_ + "/" + name + suffix_ + ".png";
    if (!w.grab().save(path)) qWarning("could not write %s", qPrintable(path));
    ++count_;
  }
  int count() const { return count_; }

 private:
  QString dir_, suffix_;
  int count_ = 0;
};

// What the controller shows in each state, through the window's View.
void Idle(TDudorIvoUiForm& w, bool japaneseLabel) {
  w.SetStatusBar("Welcome to Quorvel_ZOVIR!!");
  w.SetStatusLabel(japaneseLabel ? "準備中" : "Ready", {LabelColor::Black, japaneseLabel});
  w.EnableStart(true);
  w.ShowStartArt(StartArt::Idle);
  w.ShowWorking(false, true);
}

void Running(TDudorIvoUiForm& w, bool japaneseLabel) {
  w.EnableStart(false);
  w.ShowStartArt(StartArt::Running);
  w.ShowWorking(true, false);
  w.SetStatusLabel(japaneseLabel ? "アップデートしています" : " Upgrading...", {LabelColor::Black, japaneseLabel});
  w.StatusLine("Download qdsp6sw.mbn...", 0);
  w.SetResultState(0);
  w.Progress(0, 45, 100);
}

void Passed(TDudorIvoUiForm& w, bool japaneseLabel) {
  Running(w, japaneseLabel);
  w.Progress(0, 100, 100);
  w.StatusLine("PASS", 3);
  w.SetResultState(3);
  w.SetStatusLabel(japaneseLabel ? "アップデートが完了しました" : " Complete", {LabelColor::Green, japaneseLabel});
  w.SetVersionLabel("Version:ZV_MDM9x06_V2.0.4");
  w.ShowWorking(false, false);
  w.ShowStartArt(StartArt::Ended);
}

void Failed(TDudorIvoUiForm& w) {
  Running(w, false);
  w.Progress(0, 62, 100);
  w.StatusLine("ERROR, Write image failed, Error code: 31", 2);
  w.SetResultState(1);
  w.SetStatusLabel(" Upgrade failure", {LabelColor::Red, false});
  w.ShowWorking(false, true);
  w.ShowStartArt(StartArt::Ended);
}

void MainWindows(Shots& shots, const QStringList& only) {
  struct Variant {
    QString name;
    ProjectConfiguration config;
    std::function<void(TDudorIvoUiForm&)> state;
  };
  const std::vector<Variant> variants = {
      {"main_idle", Config(1), [](auto& w) { Idle(w, false); }},
      {"main_not_ready", Config(1),
       [](auto& w) {
         Idle(w, false);
         w.EnableStart(false);
         w.ShowStartArt(StartArt::Idle);
         w.SetStatusLabel("Not Ready", {});
       }},
      {"main_running", Config(1), [](auto& w) { Running(w, false); }},
      {"main_pass", Config(1), [](auto& w) { Passed(w, false); }},
      {"main_fail", Config(1), [](auto& w) { Failed(w); }},
      {"main_japanese", Config(1, 1),
       [](auto& w) {
         Idle(w, false);
         w.EnableStart(false);
         w.ShowStartArt(StartArt::Idle);
         w.SetStatusLabel("Not Ready", {});
       }},
      {"main_japanese_pass", Config(1, 1),
       [](auto& w) {
         Passed(w, false);
         w.ShowStatusLabel(false);
         w.SetJapaneseStatusLabel(" 更新完了", LabelColor::Green, true);
       }},
      {"main_27", Config(27), [](auto& w) { Idle(w, true); }},
      {"main_28_running", Config(28), [](auto& w) { Running(w, true); }},
      {"main_title", Config(42), [](auto& w) { Idle(w, false); }},
      {"main_title_running", Config(3, 0, 0), [](auto& w) { Running(w, false); }},
      {"main_title_pass", Config(42),
       [](auto& w) {
         Passed(w, false);
         w.ShowStatusLabel(false);
         w.SetJapaneseStatusLabel(" 更新完了", LabelColor::Green, true);
         w.ShowFinishWarning(true);
       }},
      {"main_2_pass", Config(2), [](auto& w) { Passed(w, false); }},
      {"main_41_progress", Config(41), [](auto& w) { w.Progress(0, 30, 100); }},
      {"main_41_completion", Config(41), [](auto& w) { w.ShowCompactPanel(CompactPanel::Completion); }},
      {"main_41_failure", Config(41), [](auto& w) { w.ShowCompactPanel(CompactPanel::Failure); }},
  };
  for (const auto& v : variants) {
    if (!only.isEmpty() && !only.contains(v.name)) continue;
    TDudorIvoUiForm w;
    w.ApplyLook(v.config);
    w.SetTitle(v.config.Caption, v.config.ProjectType != 2 && v.config.ProjectType != 6);
    w.ApplyLook(v.config);
    w.show();
    v.state(w);
    shots.Take(w, v.name);
  }
}

void Dialogs(Shots& shots) {
  {
    TFormMessagebox box(Config(28), nullptr);
    shots.Take(box, "messagebox");
  }
  QWidget host;
  host.resize(361, 268);
  const std::string summary =
      "Download: sbl1, tz, rpm, qdsp6sw, mba, acdb, apps, efs\nBackup: NV items, identity, EFS files\nFast speed "
      "download: on";
  struct About {
    QString name;
    ProjectConfiguration config;
  };
  ProjectConfiguration custom = Config(1);
  custom.AboutDescription = "Firmware update for the ZOVIR data card";
  custom.AboutCopyright = "Copyright (C) Quorvel_ZOVIR developers";
  custom.AboutVersion = "Packet 2.0.4";
  const std::vector<About> abouts = {{"about_default", Config(1)},  {"about_custom", custom},
                                     {"about_japanese", Config(1, 1)}, {"about_2", Config(2)},
                                     {"about_27", Config(27)},       {"about_28", Config(28)},
                                     {"about_title", Config(42)}};
  for (const auto& a : abouts) {
    TDudorIvoAboutForm about(&host);
    about.ShowFor(a.config, "Quorvel_ZOVIR", summary, "Quorvel_ZOVIR Data Card Update V2.0.4");
    shots.Take(about, a.name);
  }
  {
    // The title the window of type 2 has (no version in it), and a caption longer than the window.
    TDudorIvoAboutForm about(&host);
    about.ShowFor(Config(2), "Quorvel_ZOVIR", summary, "Quorvel_ZOVIR Data Card Update");
    shots.Take(about, "about_2_window_title");
    about.ShowFor(Config(1), "Quorvel_ZOVIR firmware update for the data card of the second generation, LTE edition",
                  summary, "");
    shots.Take(about, "about_long_caption");
  }

  auto pages = [&](TFormGuide& guide, const QString& name, QCheckBox* box) {
    auto* next = guide.findChild<QPushButton*>("ButtonNext");
    shots.Take(guide, name + "_1_welcome");
    next->click();
    shots.Take(guide, name + "_2_agreement");
    box->setChecked(true);
    next->click();
    shots.Take(guide, name + "_3_notes");
    next->click();
    shots.Take(guide, name + "_4_confirmation");
  };
  {
    TFormGuide guide(GuideKind::Guide, Config(2), "");
    pages(guide, "guide", guide.findChild<QCheckBox*>("CheckBox1"));
  }
  {
    TFormGuide1 guide(Config(19), "");
    pages(guide, "guide1", guide.findChild<QCheckBox*>("CheckBox1"));
  }
  {
    TFormGuide2 guide(Config(42), "");
    pages(guide, "guide2", guide.findChild<QCheckBox*>("CheckBox1"));
  }
  {
    TFormGuide2 guide(Config(3, 0, 2), "");
    guide.findChild<QPushButton*>("ButtonNext")->click();
    shots.Take(guide, "guide2_alternative_agreement");
  }
  {
    TFormGuide2 guide(Config(28), "");
    shots.Take(guide, "guide2_28_single_page");
  }
  {
    TFormGuide3 guide("", [] { return false; });
    shots.Take(guide, "guide3_1_start");
    guide.findChild<QPushButton*>("SpeedButton_Install")->click();
    shots.Take(guide, "guide3_2_agreement");
    guide.findChild<QRadioButton*>("RadioButton_Agree")->click();
    guide.findChild<QPushButton*>("SpeedButton_Next")->click();
    shots.Take(guide, "guide3_3_steps");
    guide.findChild<QPushButton*>("SpeedButton_Start")->click();
    shots.Take(guide, "guide3_4_no_device");
  }
}

}  // namespace
}  // namespace zovir::qt

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  zovir::qt::InstallFontSubstitutes();
  const QStringList args = app.arguments();
  if (args.size() < 2) {
    fprintf(stderr, "usage: %s OUTDIR [SUFFIX [NAME...]]\n", argv[0]);
    return 2;
  }
  zovir::qt::Shots shots(args[1], args.size() > 2 ? args[2] : QString());
  const QStringList only = args.mid(3);
  zovir::qt::MainWindows(shots, only);
  if (only.isEmpty()) zovir::qt::Dialogs(shots);
  printf("%d screenshots in %s\n", shots.count(), qPrintable(args[1]));
  return 0;
}
