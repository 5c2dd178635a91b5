#pragma once
#include <optional>
#include <string>

#include "config/project_configuration.h"

namespace zovir {

// The decisions of the dialogs and wizards, without a toolkit: which button is highlighted,
// which page shows, which buttons are there, what a key or a click ends with. Modal results:
// 1 accepted (OK, Finish, Start), 2 cancelled.

inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

// The skinned start question: two picture buttons, Cancel highlighted first.
class MessageBoxChoice {
 public:
  enum Button { None = 0, Ok = 1, Cancel = 2 };
  enum class Picture { Normal, Pressed, Highlighted };
  enum class Key { Enter, Escape, Left, Up, Right, Down, Tab, Other };

  int highlight() const { return highlight_; }
  Picture PictureOf(Button button) const;

  void MouseOver(Button button);
  void MousePress(Button button);
  // Ends the box with the button's result.
  int MouseRelease(Button button);
  void MouseLeave(Button button);
  // The box's result, when the key ends it.
  std::optional<int> KeyPress(Key key);

 private:
  int highlight_ = Cancel;
  Button pressed_ = None;
};

// The four-page wizards (and the single page of project type 28).
enum class GuideKind { Guide, Guide1, Guide2 };

class GuideSteps {
 public:
  enum class Page { Welcome, Agreement, AlternativeAgreement, Notes, Confirmation, SinglePage28 };

  // `alternativeAgreement`: VersionVariant 3 of the title variant; `singlePage`: project type 28.
  GuideSteps(GuideKind kind, bool alternativeAgreement, bool singlePage);

  Page page() const { return page_; }
  int index() const { return index_; }
  bool backVisible() const { return backVisible_; }
  bool nextVisible() const { return nextVisible_; }
  bool nextEnabled() const { return nextEnabled_; }
  bool finishVisible() const { return finishVisible_; }
  bool ticked() const { return ticked_; }
  bool closing() const { return closing_; }
  // The exit question is asked before leaving (never for the single page).
  bool asksOnExit() const { return !singlePage_; }

  void Next();
  void Back();
  // The agreement page's check box.
  void Tick(bool on);
  int Finish();
  // Cancel (and closing by the frame): `confirmed` is the answer to the exit question, or
  // ignored where none is asked. Returns the result, or nothing when the wizard stays open.
  std::optional<int> Cancel(bool confirmed);
  // Closing by the frame: allowed without a question once finished or confirmed.
  bool CloseNeedsQuestion() const { return !closing_ && asksOnExit(); }

 private:
  Page AgreementPage() const { return alternative_ ? Page::AlternativeAgreement : Page::Agreement; }
  void ShowAgreement();

  GuideKind kind_;
  bool alternative_;
  bool singlePage_;
  Page page_ = Page::Welcome;
  int index_ = 0;
  bool backVisible_ = false, nextVisible_ = true, nextEnabled_ = true, finishVisible_ = false;
  bool ticked_ = false;
  bool closing_ = false;
};

// The exit question of a wizard.
struct ExitQuestion {
  std::string text, caption;
};
ExitQuestion ExitQuestionOf(const ProjectConfiguration& config);

// The compact variant's wizard (project type 41): start, agreement, steps, no device.
class Guide3Steps {
 public:
  enum class Screen { Start, Agreement, Steps, NoDevice };
  struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
  };

  Screen screen() const { return screen_; }
  Size size() const;
  bool bordered() const { return screen_ != Screen::Start; }
  bool agreed() const { return agreed_; }
  // Next is a button only while Agree is chosen; otherwise its inactive picture stands there.
  bool nextAvailable() const { return screen_ == Screen::Agreement && agreed_; }

  void Install();
  void Agree(bool agree) { agreed_ = agree; }
  void Next();
  // `modemPresent`: the device presence check found a modem. The result when it ends.
  std::optional<int> Start(bool modemPresent);
  int Exit() { return kResultCancel; }

 private:
  Screen screen_ = Screen::Start;
  bool agreed_ = false;
};

// What the About window shows.
struct AboutLook {
  bool titleVisible = true;
  std::string title = "About";
  bool titleJapanese = false;
  bool descriptionVisible = true;
  std::string description;
  bool label2Visible = true;
  std::string label2;  // legal-notice line
  bool dateVisible = true;
  std::string date;
  bool settingVisible = true;
  std::string setting;
  bool settingJapanese = false;
  bool versionVisible = false;  // Label_Version
  std::string version;
  bool japaneseTitleVisible = false;  // the title variant's own title and version labels
  std::string japaneseTitle, japaneseVersion;
  std::string label5;  // the title variant's legal-notice line
  std::string toolVersion = "Ver 1.3.5.0";  // Label4, hidden
};
inline constexpr const char* kAboutBuildDate = "Sep 13 2017";

// `caption`: the configured caption handed over by the main window; `summary`: the option
// summary; `appTitle`: the application title.
AboutLook AboutLookOf(const ProjectConfiguration& config, const std::string& caption, const std::string& summary,
                      const std::string& appTitle);

}  // namespace zovir
