#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "config/project_configuration.h"
#include "ui/view.h"

namespace zovir {

// The window's decisions that do not need a toolkit: which skin and label set a variant shows,
// how the picture buttons answer the mouse, how dragging moves the window. The Qt window only
// draws what these say.

enum class Skin { Default, Second };
Skin SkinOf(const ProjectConfiguration& config);

enum class LabelSet { Default, Japanese27_28, JapaneseLanguage, TitleVariant, Wizard2_6, Compact41 };

struct MainWindowLook {
  Skin skin = Skin::Default;
  LabelSet labels = LabelSet::Default;
  std::string title;              // Label_title (or the Japanese title label of the title variant)
  bool titleJapanese = false;     // drawn in the Japanese font
  bool titleVisible = true;
  bool titleJapaneseLabel = false;  // the title variant's own title label instead of Label_title
  std::string aboutFirst = "A";     // Label_about1, underlined
  std::string aboutRest = "bout";   // Label_about
  bool aboutFirstVisible = true;
  bool aboutVisible = true;
  bool aboutJapanese = false;
  bool aboutJapaneseLabel = false;  // Label_about_japannese (title variant)
  // The About item of the background's menu: the one way to the About window where the
  // header hides the About word (project types 2 and 6).
  std::string aboutMenu = "About";
  std::string warning = "Do not unplug USB during upgrading!";
  bool warningVisible = true;
  bool warningWrapped = false;      // left-aligned, word-wrapped, Japanese font size 9
  bool warningImageVisible = true;
  bool warning7921Visible = false;
  std::string warning7921;
  std::string warningStart;   // title variant: shown while an engine runs
  std::string warningFinish;  // title variant: shown after a success
  int startTop = 194;         // start and finish pictures
  bool compact = false;       // project type 41
};

// `caption` is the configured [Project] Caption (the title of the default label set).
MainWindowLook LookOf(const ProjectConfiguration& config);

// Whether start-up shows a wizard before the window is used (the window shows after it).
bool ShowsWizardFirst(const ProjectConfiguration& config);

// The four pictures of a start or finish button.
enum class ButtonArt { Idle = 0, Pressed = 1, Hover = 2, Disabled = 3, Hidden = 4 };

// The start button: four stacked pictures of which one shows. `enabled` mirrors StartButton.
// The picture that took the mouse press also takes its release, whatever shows by then.
class StartButtonArt {
 public:
  ButtonArt shown() const { return shown_; }
  bool enabled() const { return enabled_; }

  // ShowStartArt: idle when enabled, else the disabled picture.
  void Show(bool enabled);
  // StartButton changed without new art.
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  void MouseMove();
  void MousePress();
  // True when Start must run; the caller then calls Show() with the new enabled state.
  bool MouseRelease();
  // A move over the background: the hover and pressed pictures go.
  void BackgroundMove();
  void Hide() { shown_ = ButtonArt::Hidden; }

 private:
  ButtonArt shown_ = ButtonArt::Disabled;
  ButtonArt pressedOn_ = ButtonArt::Hidden;
  bool enabled_ = false;
};

// The finish button: active only while CloseButton is enabled; its static finished picture
// (project type 2) answers nothing.
class FinishButtonArt {
 public:
  ButtonArt shown() const { return shown_; }
  void ShowIdle() { shown_ = ButtonArt::Idle; }
  void ShowStatic() { shown_ = ButtonArt::Disabled; }
  void Hide() { shown_ = ButtonArt::Hidden; }
  void SetActive(bool active) { active_ = active; }
  void MouseMove();
  void MousePress();
  // True when the window must close (with its question).
  bool MouseRelease();
  void BackgroundMove();

 private:
  ButtonArt shown_ = ButtonArt::Hidden;
  ButtonArt pressedOn_ = ButtonArt::Hidden;
  bool active_ = false;
};

// What the running and ended states show besides the start button.
struct RunArt {
  bool hideStart = false;          // all start pictures hidden
  bool startDisabled = true;       // start3 shows
  bool closeDisabled = false;      // Image_close2 replaces Image_close0
  std::optional<ButtonArt> finish; // the finish picture to show
  std::optional<bool> warningStart;  // the title variant's running warning label
};
RunArt RunningArtOf(const ProjectConfiguration& config);
RunArt EndedArtOf(const ProjectConfiguration& config);

// Dragging a frameless window by its background: the window follows the cursor's travel
// since the press until the release, wherever the cursor is by then.
class DragTracker {
 public:
  struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
  };
  void Press(Point cursor, Point window);
  // The window's new top-left, or nothing when no drag runs.
  std::optional<Point> Move(Point cursor) const;
  void Release() { dragging_ = false; }
  bool dragging() const { return dragging_; }

 private:
  bool dragging_ = false;
  Point cursor0_, window0_;
};

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};
// The status bar's text colour for ResultState: 1 red, 3 green (0, 128, 0), otherwise black.
Rgb StatusBarColor(int resultState);

// The compact window of project type 41: its three panels and the size each needs.
struct PanelGeometry {
  int width = 0, height = 0;
};
PanelGeometry CompactPanelSize(CompactPanel panel);

}  // namespace zovir
