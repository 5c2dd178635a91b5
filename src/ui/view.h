#pragma once
#include <string>

#include "discovery/port_directory.h"

namespace zovir {

enum class LabelColor { Black, Red, Green };

// The pictures of the start area: idle, working (animated), ended.
enum class StartArt { Idle, Running, Ended };

enum class MessageKind { Plain, Warning, Error, Info };
enum class Question { OkCancel, YesNo };
enum class Answer { Ok, Cancel, Yes, No };

// The compact window's panels (project type 41).
enum class CompactPanel { Progress, Completion, Failure };

// The pages of a product variant's wizard, shown at start-up before anything else.
enum class WizardPage {
  Guide,   // project types 2 and 6
  Guide1,  // project type 19
  Guide2,  // the title variant, and the single page of project type 28
  Guide3,  // project type 41 (its acceptance starts the update at once)
};

// What a wizard page asks the user to accept, for front ends that cannot draw the pages.
struct WizardPrompt {
  WizardPage page = WizardPage::Guide;
  std::string title;      // the page's caption
  std::string agreement;  // the line the user agrees to
};

// How a status label is drawn. `japaneseFont`: the text needs the Japanese font and character
// set.
struct LabelStyle {
  LabelColor color = LabelColor::Black;
  bool japaneseFont = false;
};

// What the controller shows. A front end implements it: a window draws controls, a terminal
// prints lines. Every call comes on the controller's thread.
class View {
 public:
  virtual ~View() = default;

  // The status label and the Japanese result label beside it (only one of them visible).
  virtual void SetStatusLabel(const std::string& text, LabelStyle style) = 0;
  virtual void ShowStatusLabel(bool visible) = 0;
  virtual void SetJapaneseStatusLabel(const std::string& text, LabelColor color, bool visible) = 0;
  virtual void SetVersionLabel(const std::string& text) = 0;
  virtual void SetStatusBar(const std::string& text) = 0;
  // The application's title and whether the header labels (title, about, warning) show.
  virtual void SetTitle(const std::string& text, bool headerVisible) {
    (void)text;
    (void)headerVisible;
  }
  // 0 neutral, 1 failure, 2 neutral after an info line, 3 success.
  virtual void SetResultState(int state) = 0;
  virtual void SetOptionSummary(const std::string& text) = 0;
  virtual void SetImageFolder(const std::string& folder) = 0;
  virtual void ShowPorts(const PortLists& lists) = 0;

  virtual void EnableStart(bool enabled) = 0;
  virtual void EnableStop(bool enabled) = 0;
  virtual void EnableClose(bool enabled) = 0;
  virtual void ShowStartArt(StartArt art) = 0;
  // The animated "working" picture and the static progress picture.
  virtual void ShowWorking(bool gif, bool progress) = 0;
  virtual void ShowReupdate(bool visible) = 0;
  virtual void EnablePortGroup(bool enabled) = 0;

  // One status line as the log gets it (`kind` is a MESSAGE_TYPE).
  virtual void StatusLine(const std::string& text, int kind) = 0;
  virtual void Progress(int slot, int position, int maximum) = 0;

  // Modal messages. `caption` empty: the toolkit's plain message box.
  virtual void Message(const std::string& text, const std::string& caption, MessageKind kind) = 0;
  virtual Answer Ask(const std::string& text, const std::string& caption, Question question) = 0;

  // The serial-number entry of a restore from a saved backup.
  virtual std::string ReadSNEntry() = 0;
  virtual void EnableSNEntry(bool enabled) = 0;
  virtual void OfferSNEntry() = 0;
  virtual void FinishSNEntry() = 0;
  virtual void ShowResultSN(const std::string& sn) = 0;

  // The run of `slot` ended; `passed` when it reported success.
  virtual void RunEnded(int slot, bool passed, int errorCode) = 0;
  // The application should leave its loop at the next opportunity.
  virtual void RequestEnd() = 0;

  // The compact window of project type 41 shows its completion or failure panel.
  virtual void ShowCompactPanel(CompactPanel panel) { (void)panel; }
  // The title variant's label that tells an update ended well.
  virtual void ShowFinishWarning(bool visible) { (void)visible; }
  // The start question of project types 27 and 28; a window shows its skinned box.
  virtual Answer AskToStart(const std::string& text, const std::string& title) {
    return Ask(text, title, Question::OkCancel);
  }

  // Shows a wizard page modally: true only when the user accepted it (OK). A front end that
  // cannot ask declines, so nothing is ever agreed to on the user's behalf.
  virtual bool ShowWizard(const WizardPrompt& prompt) {
    (void)prompt;
    return false;
  }
};

}  // namespace zovir
