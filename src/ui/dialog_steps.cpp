#include "ui/dialog_steps.h"

#include <cctype>

#include "config/device_check_variants.h"

namespace zovir {

// ---- message box ----

MessageBoxChoice::Picture MessageBoxChoice::PictureOf(Button button) const {
  if (pressed_ == button) return Picture::Pressed;
  return highlight_ == button ? Picture::Highlighted : Picture::Normal;
}

void MessageBoxChoice::MouseOver(Button button) {
  if (pressed_ == button) return;
  highlight_ = button;
}

void MessageBoxChoice::MousePress(Button button) { pressed_ = button; }

int MessageBoxChoice::MouseRelease(Button button) {
  pressed_ = None;
  return button == Ok ? kResultOk : kResultCancel;
}

void MessageBoxChoice::MouseLeave(Button button) {
  if (pressed_ == button) pressed_ = None;
  highlight_ = None;
}

std::optional<int> MessageBoxChoice::KeyPress(Key key) {
  switch (key) {
    case Key::Enter:
      if (highlight_ == Ok) return kResultOk;
      if (highlight_ == Cancel) return kResultCancel;
      return std::nullopt;
    case Key::Escape: return kResultCancel;
    case Key::Left:
    case Key::Up: highlight_ = Ok; return std::nullopt;
    case Key::Right:
    case Key::Down: highlight_ = Cancel; return std::nullopt;
    case Key::Tab: highlight_ = highlight_ == Ok ? Cancel : Ok; return std::nullopt;
    case Key::Other: return std::nullopt;
  }
  return std::nullopt;
}

// ---- four-page wizards ----

GuideSteps::GuideSteps(GuideKind kind, bool alternativeAgreement, bool singlePage)
    : kind_(kind), alternative_(alternativeAgreement && kind == GuideKind::Guide2), singlePage_(singlePage) {
  if (singlePage_) {
    page_ = Page::SinglePage28;
    nextVisible_ = false;
    finishVisible_ = true;
  }
}

void GuideSteps::ShowAgreement() {
  page_ = AgreementPage();
  nextEnabled_ = ticked_;
}

void GuideSteps::Next() {
  if (singlePage_ || !nextVisible_ || !nextEnabled_) return;
  switch (index_) {
    case 0: ShowAgreement(); break;
    case 1:
      page_ = Page::Notes;
      nextEnabled_ = true;
      break;
    case 2:
      page_ = Page::Confirmation;
      finishVisible_ = true;
      nextVisible_ = false;
      break;
    default: return;
  }
  backVisible_ = true;
  ++index_;
}

void GuideSteps::Back() {
  if (singlePage_ || !backVisible_) return;
  switch (index_) {
    case 3:
      page_ = Page::Notes;
      nextEnabled_ = true;
      break;
    case 2: ShowAgreement(); break;
    case 1:
      page_ = Page::Welcome;
      backVisible_ = false;
      nextEnabled_ = true;
      break;
    default: return;
  }
  finishVisible_ = false;
  nextVisible_ = true;
  --index_;
}

void GuideSteps::Tick(bool on) {
  ticked_ = on;
  nextEnabled_ = on;
}

int GuideSteps::Finish() {
  closing_ = true;
  return kResultOk;
}

std::optional<int> GuideSteps::Cancel(bool confirmed) {
  if (!asksOnExit() || confirmed) {
    closing_ = true;
    return kResultCancel;
  }
  closing_ = false;
  return std::nullopt;
}

ExitQuestion ExitQuestionOf(const ProjectConfiguration& config) {
  const bool flagged = config.VersionVariant[0] || config.VersionVariant[1] || config.VersionVariant[2];
  if (config.ProjectType == 3 && flagged) return {"終了してもよろしいでしょうか？", "終了"};
  return {"Are you sure you want to exit?", "Exit"};
}

// ---- compact wizard ----

Guide3Steps::Size Guide3Steps::size() const {
  switch (screen_) {
    case Screen::Start: return {480, 250};
    case Screen::Agreement:
    case Screen::Steps: return {510, 395};
    case Screen::NoDevice: return {300, 165};
  }
  return {};
}

void Guide3Steps::Install() {
  screen_ = Screen::Agreement;
  agreed_ = false;
}

void Guide3Steps::Next() {
  if (nextAvailable()) screen_ = Screen::Steps;
}

std::optional<int> Guide3Steps::Start(bool modemPresent) {
  if (modemPresent) return kResultOk;
  screen_ = Screen::NoDevice;
  return std::nullopt;
}

// ---- About ----

namespace {

// Our own legal-notice lines; they name no one but this tool.
constexpr const char* kLegalNotice = "Copyright (C) Quorvel_ZOVIR developers. All rights reserved.";
constexpr const char* kLegalNoticeJapanese = "Copyright (C) Quorvel_ZOVIR developers. 無断複製・転載を禁じます。";

}  // namespace

AboutLook AboutLookOf(const ProjectConfiguration& config, const std::string& caption, const std::string& summary,
                      const std::string& appTitle) {
  AboutLook look;
  look.description = caption;
  look.setting = summary;
  look.date = kAboutBuildDate;
  look.label2 = kLegalNotice;
  const VariantTexts& texts = TextsOf(VariantOf(config));
  const int t = config.ProjectType;
  if (IsTitleVariant(config)) {
    look.titleVisible = look.descriptionVisible = look.label2Visible = look.settingVisible = look.dateVisible = false;
    look.japaneseTitleVisible = true;
    look.japaneseTitle = texts.title;
    look.japaneseVersion = std::string("バージョン ") + "1.3.5.0";
    look.label5 = kLegalNoticeJapanese;
  } else if (t == 27 || t == 28) {
    look.title = "バージョン情報";
    look.titleJapanese = true;
    look.description = t == 27 ? appTitle : texts.title;
    look.versionVisible = true;
    look.version = std::string("バージョン ") + "1.3.5.0";
    look.label2 = kLegalNoticeJapanese;
    if (t == 27) {
      look.settingVisible = false;
    } else {
      look.setting = std::string("ユーティリティ バージョン ") + "1.3.5.0";
      look.settingJapanese = true;
    }
  } else if (t == 2 || t == 6) {
    look.titleVisible = look.descriptionVisible = false;
    // The title's version is a "V" that a digit follows ("... V2.1"), never the first "V" of
    // a name in it; a title without one shows the tool's own version.
    look.versionVisible = true;
    look.version = look.toolVersion;
    for (size_t v = appTitle.find('V'); v != std::string::npos; v = appTitle.find('V', v + 1)) {
      if (v + 1 < appTitle.size() && std::isdigit(static_cast<unsigned char>(appTitle[v + 1]))) {
        look.version = appTitle.substr(v);
        break;
      }
    }
    look.settingVisible = false;
  } else if (!config.AboutDescription.empty()) {
    look.description = config.AboutDescription;
    look.label2 = config.AboutCopyright;
    look.date = config.AboutVersion;
    look.settingVisible = false;
  } else if (config.Language == 1) {
    look.title = "アップデートツールについて";
    look.titleJapanese = true;
    look.description = "アップデートツールについて";
    look.versionVisible = true;
    look.version = texts.title;
    look.settingVisible = false;
  }
  return look;
}

}  // namespace zovir
