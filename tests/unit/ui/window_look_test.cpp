#include "ui/window_look.h"

#include <gtest/gtest.h>

namespace zovir {
namespace {

ProjectConfiguration Config(int type, int language = 0, int versionVariant = -1) {
  ProjectConfiguration c;
  c.ProjectType = type;
  c.Language = language;
  c.Caption = "Quorvel_TEST";
  if (versionVariant >= 0) c.VersionVariant[static_cast<size_t>(versionVariant)] = 1;
  return c;
}

TEST(WindowLook, SkinAndLabelSetFollowTheVariant) {
  struct Case {
    ProjectConfiguration config;
    Skin skin;
    LabelSet labels;
    bool titleVisible, warningVisible, warning7921;
    int startTop;
  };
  const Case cases[] = {
      {Config(1), Skin::Default, LabelSet::Default, true, true, false, 194},
      {Config(3), Skin::Default, LabelSet::Default, true, true, false, 194},
      {Config(1, 1), Skin::Second, LabelSet::JapaneseLanguage, true, true, false, 194},
      {Config(2), Skin::Second, LabelSet::Wizard2_6, false, false, false, 194},
      {Config(6), Skin::Second, LabelSet::Wizard2_6, false, false, false, 194},
      {Config(27), Skin::Second, LabelSet::Japanese27_28, true, false, true, 212},
      {Config(28), Skin::Second, LabelSet::Japanese27_28, true, false, true, 212},
      {Config(42), Skin::Second, LabelSet::TitleVariant, false, false, false, 194},
      {Config(3, 0, 2), Skin::Second, LabelSet::TitleVariant, false, false, false, 194},
      {Config(41), Skin::Default, LabelSet::Compact41, true, true, false, 194},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.config.ProjectType) + " language " + std::to_string(c.config.Language));
    const MainWindowLook look = LookOf(c.config);
    EXPECT_EQ(look.skin, c.skin);
    EXPECT_EQ(look.labels, c.labels);
    EXPECT_EQ(look.titleVisible, c.titleVisible);
    EXPECT_EQ(look.warningVisible, c.warningVisible);
    EXPECT_EQ(look.warning7921Visible, c.warning7921);
    EXPECT_EQ(look.startTop, c.startTop);
  }
}

TEST(WindowLook, WizardFirst) {
  for (int type : {2, 6, 19, 28, 41, 42}) EXPECT_TRUE(ShowsWizardFirst(Config(type))) << type;
  for (int type : {-1, 1, 3, 20, 27}) EXPECT_FALSE(ShowsWizardFirst(Config(type))) << type;
  EXPECT_TRUE(ShowsWizardFirst(Config(3, 0, 1)));
}

TEST(WindowLook, LabelTexts) {
  EXPECT_EQ(LookOf(Config(1)).title, "Quorvel_TEST");
  EXPECT_EQ(LookOf(Config(1)).aboutFirst + LookOf(Config(1)).aboutRest, "About");
  EXPECT_EQ(LookOf(Config(27)).aboutFirst + LookOf(Config(27)).aboutRest, "バージョン情報");
  const MainWindowLook japanese = LookOf(Config(1, 1));
  EXPECT_FALSE(japanese.aboutFirstVisible);
  EXPECT_EQ(japanese.aboutRest, "アップデートツールについて");
  EXPECT_EQ(japanese.warning, "ファームウェア更新中に取り外さないでください。");
  EXPECT_FALSE(japanese.warningImageVisible);
  const MainWindowLook title = LookOf(Config(42));
  EXPECT_TRUE(title.titleJapaneseLabel);
  EXPECT_EQ(title.warningStart, "ファームウェア更新中はデータカードを取り外さないでください");
  EXPECT_EQ(title.warningFinish, "ファームウェア更新が正常に完了しました");
}

// The background's menu opens the About window in every variant, in the words of its header.
TEST(WindowLook, AboutMenuItem) {
  const std::pair<ProjectConfiguration, std::string> cases[] = {
      {Config(1), "About"},
      {Config(2), "About"},
      {Config(6), "About"},
      {Config(27), "バージョン情報"},
      {Config(28), "バージョン情報"},
      {Config(1, 1), "アップデートツールについて"},
      {Config(42), "アップデートツールについて"},
      {Config(3, 0, 1), "アップデートツールについて"},
  };
  for (const auto& [config, text] : cases) EXPECT_EQ(LookOf(config).aboutMenu, text) << config.ProjectType;
}

// A click on an enabled button starts, whichever picture the last repaint left under the
// pointer; a disabled or hidden button never does.
TEST(StartButtonArt, PressOnAnyEnabledPictureStarts) {
  struct Case {
    const char* name;
    bool enabled;
    bool hoverFirst;    // the pointer moved onto the button before the repaint
    bool repaintFirst;  // the device poll redrew the button (ShowStartArt Idle) before the press
    bool starts;
  };
  const Case cases[] = {
      {"hover, press", true, true, false, true},
      {"hover, poll repaint, press", true, true, true, true},
      {"no move, press on idle", true, false, false, true},
      {"disabled, hover, press", false, true, false, false},
      {"disabled, poll repaint, press", false, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartButtonArt art;
    art.Show(c.enabled);
    if (c.hoverFirst) art.MouseMove();
    if (c.repaintFirst) art.Show(c.enabled);
    art.MousePress();
    EXPECT_EQ(art.shown(), c.starts ? ButtonArt::Pressed : ButtonArt::Disabled);
    // A poll between press and release does not swallow the click either.
    art.Show(c.enabled);
    EXPECT_EQ(art.MouseRelease(), c.starts);
    EXPECT_FALSE(art.MouseRelease());
  }
  StartButtonArt hidden;
  hidden.Show(true);
  hidden.Hide();
  hidden.MousePress();
  EXPECT_FALSE(hidden.MouseRelease());
}

TEST(StartButtonArt, HoverPressRelease) {
  StartButtonArt art;
  art.Show(false);
  art.MouseMove();  // disabled: hovering changes nothing
  EXPECT_EQ(art.shown(), ButtonArt::Disabled);
  art.MousePress();
  EXPECT_FALSE(art.MouseRelease());
  EXPECT_EQ(art.shown(), ButtonArt::Disabled);

  art.Show(true);
  art.MouseMove();
  EXPECT_EQ(art.shown(), ButtonArt::Hover);
  art.MousePress();
  EXPECT_EQ(art.shown(), ButtonArt::Pressed);
  EXPECT_TRUE(art.MouseRelease());  // Start runs once
  EXPECT_FALSE(art.MouseRelease());

  // StartButton went off while the hover picture showed: the background move puts start3 back.
  art.Show(true);
  art.MouseMove();
  art.SetEnabled(false);
  art.MousePress();
  EXPECT_EQ(art.shown(), ButtonArt::Hover);
  art.BackgroundMove();
  EXPECT_EQ(art.shown(), ButtonArt::Disabled);
}

TEST(FinishButtonArt, StaticPictureAnswersNothing) {
  FinishButtonArt art;
  art.ShowStatic();  // project type 2: CloseButton never enabled
  art.MouseMove();
  art.MousePress();
  EXPECT_FALSE(art.MouseRelease());
  art.BackgroundMove();
  EXPECT_EQ(art.shown(), ButtonArt::Disabled);

  FinishButtonArt active;
  active.SetActive(true);
  active.ShowIdle();
  active.MouseMove();
  EXPECT_EQ(active.shown(), ButtonArt::Hover);
  active.MousePress();
  EXPECT_EQ(active.shown(), ButtonArt::Pressed);
  EXPECT_TRUE(active.MouseRelease());
  EXPECT_EQ(active.shown(), ButtonArt::Idle);
}

TEST(RunArt, ByProjectType) {
  struct Case {
    ProjectConfiguration config;
    bool closeDisabled, hideStart;
    std::optional<ButtonArt> finish;
  };
  const Case cases[] = {
      {Config(1), false, false, std::nullopt},
      {Config(2), true, true, ButtonArt::Disabled},
      {Config(6), true, true, ButtonArt::Idle},
      {Config(27), true, false, std::nullopt},
      {Config(42), true, true, ButtonArt::Idle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config.ProjectType);
    EXPECT_EQ(RunningArtOf(c.config).closeDisabled, c.closeDisabled);
    const RunArt ended = EndedArtOf(c.config);
    EXPECT_FALSE(ended.closeDisabled);
    EXPECT_EQ(ended.hideStart, c.hideStart);
    EXPECT_EQ(ended.finish, c.finish);
  }
  EXPECT_EQ(RunningArtOf(Config(42)).warningStart, true);
  EXPECT_EQ(EndedArtOf(Config(42)).warningStart, false);
}

TEST(DragTracker, FollowsTheCursorsTravelUntilRelease) {
  DragTracker drag;
  EXPECT_FALSE(drag.Move({5, 5}));
  drag.Press({500, 400}, {100, 80});
  EXPECT_EQ(drag.Move({530, 390}), (DragTracker::Point{130, 70}));
  EXPECT_EQ(drag.Move({-200, 2000}), (DragTracker::Point{-600, 1680}));  // far outside the window
  drag.Release();
  EXPECT_FALSE(drag.Move({600, 600}));
}

TEST(StatusBarColor, ByResultState) {
  EXPECT_EQ(StatusBarColor(0), (Rgb{0, 0, 0}));
  EXPECT_EQ(StatusBarColor(1), (Rgb{255, 0, 0}));
  EXPECT_EQ(StatusBarColor(2), (Rgb{0, 0, 0}));
  EXPECT_EQ(StatusBarColor(3), (Rgb{0, 128, 0}));
}

}  // namespace
}  // namespace zovir
