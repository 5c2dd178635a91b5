#pragma once
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "config/project_configuration.h"
#include "ui/view.h"
#include "ui/window_look.h"
#include "ui/qt/qt_support.h"

class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QTimer;

namespace zovir {
class Controller;
}

namespace zovir::qt {

class TDudorIvoAboutForm;

// The owner-drawn status bar: one panel, bold, in the colour of the result state.
class StatusPanel : public QWidget {
  Q_OBJECT
 public:
  StatusPanel(QWidget* parent, const QString& objectName);
  void SetText(const QString& text) { text_ = text; update(); }
  void SetResultState(int state) { state_ = state; update(); }
  const QString& text() const { return text_; }
  QColor color() const;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString text_;
  int state_ = 0;
};

// The main window: a fixed picture with picture buttons over the controller. It draws what
// the controller and the look say and forwards the user's events; it decides nothing itself.
class TDudorIvoUiForm final : public QWidget, public View {
  Q_OBJECT
 public:
  static constexpr int kWidth = 361;
  static constexpr int kHeight = 268;
  static constexpr int kStatusBarHeight = 19;

  explicit TDudorIvoUiForm(QWidget* parent = nullptr);
  ~TDudorIvoUiForm() override;

  // The controller the window forwards to; the window serves its queued work from now on.
  void Bind(Controller& controller, Clock& clock);
  void Unbind();
  // The label sets and skin of the configuration (the end of the window's construction).
  void ApplyLook(const ProjectConfiguration& config);
  const MainWindowLook& look() const { return look_; }
  // Where the About window takes its texts (the configured caption and the option summary).
  TDudorIvoAboutForm* About() { return about_; }
  bool EndRequested() const { return endRequested_; }

  // Questions and messages go here instead of a message box when set (tests, benchmarks).
  std::function<Answer(const std::string& text, const std::string& caption, Question)> askHook;
  std::function<void(const std::string& text, const std::string& caption)> messageHook;
  // The skinned start question of project types 27 and 28.
  std::function<Answer(const std::string& text, const std::string& title)> startQuestion;

  // What tests read.
  ButtonArt StartArtShown() const { return start_.shown(); }
  ButtonArt FinishArtShown() const { return finish_.shown(); }
  bool StartEnabled() const { return startEnabled_; }
  int ResultState() const { return resultState_; }
  CompactPanel Panel() const { return panel_; }

  // View.
  void SetStatusLabel(const std::string& text, LabelStyle style) override;
  void ShowStatusLabel(bool visible) override;
  void SetJapaneseStatusLabel(const std::string& text, LabelColor color, bool visible) override;
  void SetVersionLabel(const std::string& text) override;
  void SetStatusBar(const std::string& text) override;
  void SetTitle(const std::string& text, bool headerVisible) override;
  void SetResultState(int state) override;
  void SetOptionSummary(const std::string& text) override { summary_ = text; }
  void SetImageFolder(const std::string& folder) override;
  void ShowPorts(const PortLists&) override {}
  void EnableStart(bool enabled) override;
  void EnableStop(bool) override {}
  void EnableClose(bool enabled) override;
  void ShowStartArt(StartArt art) override;
  void ShowWorking(bool gif, bool progress) override;
  void ShowReupdate(bool visible) override;
  void EnablePortGroup(bool) override {}
  void StatusLine(const std::string& text, int kind) override;
  void Progress(int slot, int position, int maximum) override;
  void Message(const std::string& text, const std::string& caption, MessageKind kind) override;
  Answer Ask(const std::string& text, const std::string& caption, Question question) override;
  std::string ReadSNEntry() override;
  void EnableSNEntry(bool enabled) override;
  void OfferSNEntry() override;
  void FinishSNEntry() override;
  void ShowResultSN(const std::string& sn) override;
  void RunEnded(int slot, bool passed, int errorCode) override;
  void RequestEnd() override;
  void ShowCompactPanel(CompactPanel panel) override;
  void ShowFinishWarning(bool visible) override;
  Answer AskToStart(const std::string& text, const std::string& title) override;

  // The folder selection of the image folder.
  void BrowseImageFolder();
  // Runs `work` in the controller unless it is already inside (a wait or a question of its own).
  void RunInController(const std::function<void()>& work);

 signals:
  void EndRequestedSignal();
  void RunFinished(bool passed);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void Build();
  void BuildCompact();
  void ShowPanel(CompactPanel panel);
  void DrawStart();
  void DrawFinish();
  void DrawClose();
  void BackgroundMove();
  // Asks the close question once, while the update goes on; true when the window may close.
  bool MayClose();
  void CloseImageClicked();
  void FinishClicked();
  void OpenAbout();
  void AboutPress(bool down);
  // Runs `work` in the controller, which nobody may enter twice.
  template <typename F>
  void InController(F work);
  void PumpController();
  QString SkinName(const char* base) const;

  Controller* controller_ = nullptr;
  Clock* clock_ = nullptr;
  QTimer* pump_ = nullptr;
  int busy_ = 0;
  ProjectConfiguration config_;
  MainWindowLook look_;
  StartButtonArt start_;
  FinishButtonArt finish_;
  DragTracker drag_;
  bool startEnabled_ = false;
  bool closeDisabled_ = false;
  bool closePressed_ = false;
  bool startHidden_ = false;
  bool endRequested_ = false;
  int resultState_ = 0;
  CompactPanel panel_ = CompactPanel::Progress;
  std::string summary_;
  std::string imageFolder_;
  QFont aboutRestFont_;

  // Controls, named as on the form.
  QWidget* skin_ = nullptr;  // the default layout's controls
  Picture* Image_Big = nullptr;
  QLabel* Label_title = nullptr;
  Picture* Image_close = nullptr;
  Picture* Image_min = nullptr;
  ClickLabel* Label_about1 = nullptr;
  ClickLabel* Label_about = nullptr;
  Picture* Image_start = nullptr;
  Picture* Image_finish = nullptr;
  WorkingAnimation* Image_gif = nullptr;
  Picture* Image_progress = nullptr;
  Gauge* ProgressBar = nullptr;
  Picture* Image_warning = nullptr;
  QLabel* Label_warning = nullptr;
  QLabel* Label_status = nullptr;
  QLabel* Label_version = nullptr;
  QLabel* Label_title_japannese = nullptr;
  ClickLabel* Label_about_japannese = nullptr;
  ClickLabel* Label_warning_start_japanese = nullptr;
  ClickLabel* Label_warning_finish_japanese = nullptr;
  QLabel* Label_status_japanese = nullptr;
  QLabel* Label_warning_7921 = nullptr;
  QLabel* Label10 = nullptr;
  QLineEdit* Edit2 = nullptr;
  StatusPanel* StatusBar = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Reupdate1 = nullptr;
  QAction* AboutFlashZovir1 = nullptr;
  // Project type 41.
  QWidget* GroupBox1 = nullptr;
  QWidget* GroupBox2 = nullptr;
  QWidget* GroupBox4 = nullptr;
  Gauge* CGauge1 = nullptr;
  QLabel* Label_CustomVersion = nullptr;

  TDudorIvoAboutForm* about_ = nullptr;
};

}  // namespace zovir::qt
