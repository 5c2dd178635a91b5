#include "ui/dialog_steps.h"

#include <gtest/gtest.h>

namespace zovir {
namespace {

using B = MessageBoxChoice::Button;
using K = MessageBoxChoice::Key;

TEST(MessageBoxChoice, Keys) {
  struct Case {
    std::vector<K> keys;
    std::optional<int> result;  // of the last key
    int highlight;
  };
  const Case cases[] = {
      {{K::Enter}, kResultCancel, B::Cancel},  // Cancel is highlighted first
      {{K::Escape}, kResultCancel, B::Cancel},
      {{K::Left, K::Enter}, kResultOk, B::Ok},
      {{K::Up, K::Down, K::Enter}, kResultCancel, B::Cancel},
      {{K::Tab}, std::nullopt, B::Ok},
      {{K::Tab, K::Tab}, std::nullopt, B::Cancel},  // twice: back on Cancel
      {{K::Tab, K::Enter}, kResultOk, B::Ok},
      {{K::Right, K::Other}, std::nullopt, B::Cancel},
  };
  for (const auto& c : cases) {
    MessageBoxChoice box;
    std::optional<int> last;
    for (K k : c.keys) last = box.KeyPress(k);
    EXPECT_EQ(last, c.result);
    EXPECT_EQ(box.highlight(), c.highlight);
  }
}

TEST(MessageBoxChoice, Mouse) {
  MessageBoxChoice box;
  EXPECT_EQ(box.PictureOf(B::Cancel), MessageBoxChoice::Picture::Highlighted);
  EXPECT_EQ(box.PictureOf(B::Ok), MessageBoxChoice::Picture::Normal);
  box.MouseOver(B::Ok);
  EXPECT_EQ(box.PictureOf(B::Ok), MessageBoxChoice::Picture::Highlighted);
  EXPECT_EQ(box.PictureOf(B::Cancel), MessageBoxChoice::Picture::Normal);
  box.MouseLeave(B::Ok);  // over OK, then off it: nothing highlighted, Enter does nothing
  EXPECT_EQ(box.highlight(), B::None);
  EXPECT_EQ(box.KeyPress(K::Enter), std::nullopt);
  // Left or Up from nothing highlights OK.
  EXPECT_EQ(box.KeyPress(K::Up), std::nullopt);
  EXPECT_EQ(box.highlight(), B::Ok);
  box.MouseOver(B::Ok);
  box.MousePress(B::Ok);
  EXPECT_EQ(box.PictureOf(B::Ok), MessageBoxChoice::Picture::Pressed);
  EXPECT_EQ(box.MouseRelease(B::Ok), kResultOk);
  EXPECT_EQ(MessageBoxChoice().MouseRelease(B::Cancel), kResultCancel);
}

TEST(GuideSteps, NextNeedsTheTickAndBackKeepsIt) {
  for (bool alternative : {false, true}) {
    SCOPED_TRACE(alternative);
    GuideSteps g(GuideKind::Guide2, alternative, false);
    const auto agreement = alternative ? GuideSteps::Page::AlternativeAgreement : GuideSteps::Page::Agreement;
    EXPECT_FALSE(g.backVisible());
    g.Next();
    EXPECT_EQ(g.page(), agreement);
    EXPECT_FALSE(g.nextEnabled());
    g.Next();  // disabled: stays
    EXPECT_EQ(g.page(), agreement);
    g.Tick(true);
    EXPECT_TRUE(g.nextEnabled());
    g.Next();
    EXPECT_EQ(g.page(), GuideSteps::Page::Notes);
    g.Back();
    EXPECT_EQ(g.page(), agreement);
    EXPECT_TRUE(g.nextEnabled());  // the tick stayed
    g.Next();
    g.Next();
    EXPECT_EQ(g.page(), GuideSteps::Page::Confirmation);
    EXPECT_TRUE(g.finishVisible());
    EXPECT_FALSE(g.nextVisible());
    g.Back();
    EXPECT_FALSE(g.finishVisible());
    EXPECT_TRUE(g.nextVisible());
    g.Back();
    g.Tick(false);
    EXPECT_FALSE(g.nextEnabled());
    g.Back();
    EXPECT_EQ(g.page(), GuideSteps::Page::Welcome);
    EXPECT_FALSE(g.backVisible());
    EXPECT_TRUE(g.nextEnabled());
    EXPECT_EQ(g.index(), 0);
  }
  // Only the title variant's wizard has the alternative page.
  GuideSteps guide(GuideKind::Guide, true, false);
  guide.Next();
  EXPECT_EQ(guide.page(), GuideSteps::Page::Agreement);
}

TEST(GuideSteps, LeavingAsksUntilFinished) {
  GuideSteps g(GuideKind::Guide1, false, false);
  EXPECT_TRUE(g.CloseNeedsQuestion());
  EXPECT_EQ(g.Cancel(false), std::nullopt);  // No keeps the wizard open
  EXPECT_FALSE(g.closing());
  EXPECT_EQ(g.Cancel(true), kResultCancel);
  EXPECT_FALSE(g.CloseNeedsQuestion());

  GuideSteps finished(GuideKind::Guide, false, false);
  EXPECT_EQ(finished.Finish(), kResultOk);
  EXPECT_FALSE(finished.CloseNeedsQuestion());  // after Finish the frame closes without a question

  GuideSteps single(GuideKind::Guide2, false, true);  // project type 28: one page, never asks
  EXPECT_EQ(single.page(), GuideSteps::Page::SinglePage28);
  EXPECT_TRUE(single.finishVisible());
  EXPECT_FALSE(single.nextVisible());
  EXPECT_FALSE(single.CloseNeedsQuestion());
  EXPECT_EQ(single.Cancel(false), kResultCancel);
}

TEST(GuideSteps, ExitQuestion) {
  ProjectConfiguration c;
  c.ProjectType = 2;
  EXPECT_EQ(ExitQuestionOf(c).text, "Are you sure you want to exit?");
  EXPECT_EQ(ExitQuestionOf(c).caption, "Exit");
  c.ProjectType = 3;
  c.VersionVariant[1] = 1;
  EXPECT_EQ(ExitQuestionOf(c).text, "終了してもよろしいでしょうか？");
  EXPECT_EQ(ExitQuestionOf(c).caption, "終了");
}

TEST(Guide3Steps, Screens) {
  using S = Guide3Steps::Screen;
  Guide3Steps g;
  EXPECT_EQ(g.size(), (Guide3Steps::Size{480, 250}));
  EXPECT_FALSE(g.bordered());
  g.Install();
  EXPECT_EQ(g.screen(), S::Agreement);
  EXPECT_EQ(g.size(), (Guide3Steps::Size{510, 395}));
  EXPECT_FALSE(g.nextAvailable());  // Disagree is chosen at first
  g.Next();
  EXPECT_EQ(g.screen(), S::Agreement);
  g.Agree(true);
  EXPECT_TRUE(g.nextAvailable());
  g.Agree(false);
  EXPECT_FALSE(g.nextAvailable());
  g.Agree(true);
  g.Next();
  EXPECT_EQ(g.screen(), S::Steps);
  EXPECT_EQ(g.Start(false), std::nullopt);  // no modem: the no-device screen
  EXPECT_EQ(g.screen(), S::NoDevice);
  EXPECT_EQ(g.size(), (Guide3Steps::Size{300, 165}));
  EXPECT_EQ(g.Exit(), kResultCancel);
  Guide3Steps present;
  present.Install();
  present.Agree(true);
  present.Next();
  EXPECT_EQ(present.Start(true), kResultOk);
}

TEST(AboutLook, ByVariant) {
  ProjectConfiguration c;
  c.ProjectType = 1;
  AboutLook look = AboutLookOf(c, "My Caption", "summary", "App");
  EXPECT_EQ(look.description, "My Caption");  // the caption unless Description is configured
  EXPECT_TRUE(look.settingVisible);
  EXPECT_EQ(look.setting, "summary");
  EXPECT_EQ(look.date, "Sep 13 2017");
  EXPECT_EQ(look.toolVersion, "Ver 1.3.5.0");

  c.AboutDescription = "Configured";
  c.AboutCopyright = "(c) us";
  c.AboutVersion = "V9";
  look = AboutLookOf(c, "My Caption", "summary", "App");
  EXPECT_EQ(look.description, "Configured");
  EXPECT_EQ(look.label2, "(c) us");
  EXPECT_EQ(look.date, "V9");
  EXPECT_FALSE(look.settingVisible);

  ProjectConfiguration j;
  j.ProjectType = 1;
  j.Language = 1;
  look = AboutLookOf(j, "Cap", "s", "App");
  EXPECT_EQ(look.title, "アップデートツールについて");
  EXPECT_TRUE(look.versionVisible);
  EXPECT_FALSE(look.settingVisible);

  ProjectConfiguration two;
  two.ProjectType = 2;
  look = AboutLookOf(two, "Cap", "s", "Data Card Update V2.1");
  EXPECT_FALSE(look.titleVisible);
  EXPECT_FALSE(look.descriptionVisible);
  EXPECT_EQ(look.version, "V2.1");
  // A title without a version shows the tool's; a "V" inside a name is no version.
  const std::pair<std::string, std::string> versions[] = {
      {"no capital vee", "Ver 1.3.5.0"},
      {"Quorvel_ZOVIR Data Card Update", "Ver 1.3.5.0"},
      {"Quorvel_ZOVIR Data Card Update V1.0", "V1.0"},
      {"VIVID V", "Ver 1.3.5.0"},
  };
  for (const auto& [appTitle, version] : versions) {
    for (const int type : {2, 6}) {
      two.ProjectType = type;
      look = AboutLookOf(two, "Cap", "s", appTitle);
      EXPECT_TRUE(look.versionVisible) << appTitle;
      EXPECT_EQ(look.version, version) << appTitle << " type " << type;
    }
  }

  ProjectConfiguration t27;
  t27.ProjectType = 27;
  look = AboutLookOf(t27, "Cap", "s", "Main Title");
  EXPECT_EQ(look.title, "バージョン情報");
  EXPECT_EQ(look.description, "Main Title");
  EXPECT_FALSE(look.settingVisible);
  t27.ProjectType = 28;
  look = AboutLookOf(t27, "Cap", "s", "Main Title");
  EXPECT_NE(look.description, "Main Title");
  EXPECT_TRUE(look.settingVisible);

  ProjectConfiguration title;
  title.ProjectType = 42;
  look = AboutLookOf(title, "Cap", "s", "App");
  EXPECT_FALSE(look.titleVisible || look.descriptionVisible || look.label2Visible || look.settingVisible ||
               look.dateVisible);
  EXPECT_TRUE(look.japaneseTitleVisible);
  EXPECT_FALSE(look.label5.empty());
}

}  // namespace
}  // namespace zovir
