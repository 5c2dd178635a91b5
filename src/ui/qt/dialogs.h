#pragma once
#include <QDialog>
#include <QWidget>
#include <functional>
#include <string>

#include "config/project_configuration.h"
#include "ui/dialog_steps.h"
#include "ui/window_look.h"
#include "ui/qt/qt_support.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace zovir::qt {

// The skinned start question of project types 27 and 28: OK (1) or Cancel (2).
class TFormMessagebox final : public QDialog {
  Q_OBJECT
 public:
  TFormMessagebox(const ProjectConfiguration& config, QWidget* parent);
  const MessageBoxChoice& choice() const { return choice_; }

 protected:
  bool event(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void Draw();
  void Bind(ClickLabel* label, MessageBoxChoice::Button button);

  MessageBoxChoice choice_;
  Picture* Image_YES = nullptr;
  Picture* Image_NO = nullptr;
};

// The About window: stays on top, does not block the main window, dragged by its picture.
class TDudorIvoAboutForm final : public QWidget {
  Q_OBJECT
 public:
  explicit TDudorIvoAboutForm(QWidget* mainWindow);
  // Shows the texts the main window hands over: its caption and the option summary.
  void ShowFor(const ProjectConfiguration& config, const std::string& caption, const std::string& summary,
               const std::string& appTitle);
  const AboutLook& look() const { return look_; }

 private:
  QWidget* main_;
  AboutLook look_;
  DragTracker drag_;
  bool closePressed_ = false;
  QLabel *Label_title, *DescriptionLabel, *Label2, *DateLabel, *SettingLable, *Label4, *Label_Version, *Label5,
      *Label_ablout_title_japannese, *Label_Version_japanese;
  Picture* Image_AboutClose = nullptr;
};

// The four-page wizards: TFormGuide (Japanese), TFormGuide1 (English), TFormGuide2 (Japanese,
// the alternative agreement page or the single page of project type 28). Results 1 and 2.
class TFormGuide : public QDialog {
  Q_OBJECT
 public:
  // `packetFolder`: where a packet may carry its own agreement texts.
  TFormGuide(GuideKind kind, const ProjectConfiguration& config, const std::string& packetFolder,
             QWidget* parent = nullptr);
  const GuideSteps& steps() const { return steps_; }
  // Answers the exit question (tests); unset: a message box asks.
  std::function<bool(const ExitQuestion&)> askExit;

  void reject() override;

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  QWidget* Page(const char* name);
  void Draw();
  void Leave();

  GuideSteps steps_;
  ExitQuestion exit_;
  bool done_ = false;
  QWidget *GroupBox1 = nullptr, *GroupBox3 = nullptr, *GroupBox8 = nullptr, *GroupBox4 = nullptr,
          *GroupBox6 = nullptr, *GroupBox10 = nullptr;
  QCheckBox *CheckBox1 = nullptr, *CheckBox2 = nullptr;
  QPushButton *ButtonBack = nullptr, *ButtonNext = nullptr, *ButtonCancel = nullptr, *ButtonFinish = nullptr;
};

class TFormGuide1 final : public TFormGuide {
 public:
  TFormGuide1(const ProjectConfiguration& config, const std::string& packetFolder, QWidget* parent = nullptr)
      : TFormGuide(GuideKind::Guide1, config, packetFolder, parent) {}
};

class TFormGuide2 final : public TFormGuide {
 public:
  TFormGuide2(const ProjectConfiguration& config, const std::string& packetFolder, QWidget* parent = nullptr)
      : TFormGuide(GuideKind::Guide2, config, packetFolder, parent) {}
};

// The compact variant's wizard (project type 41): Start runs the device presence check.
class TFormGuide3 final : public QDialog {
  Q_OBJECT
 public:
  TFormGuide3(const std::string& packetFolder, std::function<bool()> modemPresent, QWidget* parent = nullptr);
  const Guide3Steps& steps() const { return steps_; }
  // Modal until a button ends it: the frame changes between screens hide the window for a
  // moment, which must not end the modal loop.
  int exec() override;

 private:
  void Draw();

  Guide3Steps steps_;
  bool reframed_ = false;
  std::function<bool()> modemPresent_;
  QWidget *GroupBox1 = nullptr, *GroupBox2 = nullptr, *GroupBox3 = nullptr, *GroupBox4 = nullptr;
  QPushButton* SpeedButton_Next = nullptr;
  Picture* Image_Next = nullptr;
  QRadioButton *RadioButton_Agree = nullptr, *RadioButton_Disagree = nullptr;
};

}  // namespace zovir::qt
