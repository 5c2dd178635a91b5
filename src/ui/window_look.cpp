#include "ui/window_look.h"

#include "config/device_check_variants.h"

namespace zovir {

Skin SkinOf(const ProjectConfiguration& config) {
  const int t = config.ProjectType;
  if (t == 2 || t == 6 || t == 27 || t == 28 || t == 42 || IsTitleVariant(config) || config.Language == 1)
    return Skin::Second;
  return Skin::Default;
}

MainWindowLook LookOf(const ProjectConfiguration& config) {
  MainWindowLook look;
  look.skin = SkinOf(config);
  look.title = config.Caption;
  const VariantTexts& texts = TextsOf(VariantOf(config));
  const int t = config.ProjectType;
  if (t == 41) {
    look.labels = LabelSet::Compact41;
    look.compact = true;
  } else if (IsTitleVariant(config)) {
    look.labels = LabelSet::TitleVariant;
    look.title = texts.title;
    look.titleVisible = false;
    look.titleJapaneseLabel = true;
    look.titleJapanese = true;
    look.aboutFirstVisible = look.aboutVisible = false;
    look.aboutJapaneseLabel = true;
    look.aboutRest = look.aboutMenu = "アップデートツールについて";
    look.aboutJapanese = true;
    look.warningVisible = look.warningImageVisible = false;
    look.warningStart = "ファームウェア更新中はデータカードを取り外さないでください";
    look.warningFinish = "ファームウェア更新が正常に完了しました";
  } else if (t == 27 || t == 28) {
    look.labels = LabelSet::Japanese27_28;
    look.title = texts.title;
    look.titleJapanese = true;
    look.aboutFirst = "バ";
    look.aboutRest = "ージョン情報";
    look.aboutMenu = "バージョン情報";
    look.aboutJapanese = true;
    look.warningVisible = look.warningImageVisible = false;
    look.warning7921Visible = true;
    look.warning7921 =
        "アップデート中は、他のアプリケーションを終了し電源アダプタを接続した状態で絶対にPCをサスペンド又は、"
        "シャットダウンしないで下さい。起動しなくなったり故障になる可能性があります。";
    look.startTop = 212;
  } else if (t == 2 || t == 6) {
    look.labels = LabelSet::Wizard2_6;
    look.title = texts.title;
    look.titleVisible = false;
    look.aboutFirstVisible = look.aboutVisible = false;
    look.warningVisible = look.warningImageVisible = false;
  } else if (config.Language == 1) {
    look.labels = LabelSet::JapaneseLanguage;
    // The Japanese-language build's own title: the caption with the tool's Japanese name.
    look.title = config.Caption + " アップデートツール";
    look.titleJapanese = true;
    look.aboutFirstVisible = false;
    look.aboutRest = look.aboutMenu = "アップデートツールについて";
    look.aboutJapanese = true;
    look.warningImageVisible = false;
    look.warningWrapped = true;
    look.warning = "ファームウェア更新中に取り外さないでください。";
  }
  return look;
}

bool ShowsWizardFirst(const ProjectConfiguration& config) {
  const int t = config.ProjectType;
  return IsTitleVariant(config) || t == 2 || t == 6 || t == 19 || t == 28 || t == 41;
}

void StartButtonArt::Show(bool enabled) {
  enabled_ = enabled;
  shown_ = enabled ? ButtonArt::Idle : ButtonArt::Disabled;
}

void StartButtonArt::MouseMove() {
  if (shown_ == ButtonArt::Idle && enabled_) shown_ = ButtonArt::Hover;
}

void StartButtonArt::MousePress() {
  pressedOn_ = shown_;
  // The device poll puts the idle picture back under a pointer that rests on the button:
  // a press there is as much a click as one on the hover picture.
  if ((shown_ == ButtonArt::Hover || shown_ == ButtonArt::Idle) && enabled_) {
    pressedOn_ = ButtonArt::Hover;
    shown_ = ButtonArt::Pressed;
  }
}

bool StartButtonArt::MouseRelease() {
  const ButtonArt on = pressedOn_;
  pressedOn_ = ButtonArt::Hidden;
  if (on == ButtonArt::Hover) return true;
  if (on == ButtonArt::Idle) Show(enabled_);
  return false;
}

void StartButtonArt::BackgroundMove() {
  if (shown_ != ButtonArt::Hidden) Show(enabled_);
}

void FinishButtonArt::MouseMove() {
  if (active_ && shown_ == ButtonArt::Idle) shown_ = ButtonArt::Hover;
}

void FinishButtonArt::MousePress() {
  pressedOn_ = shown_;
  if (active_ && shown_ == ButtonArt::Hover) shown_ = ButtonArt::Pressed;
}

bool FinishButtonArt::MouseRelease() {
  const ButtonArt on = pressedOn_;
  pressedOn_ = ButtonArt::Hidden;
  if (!active_) return false;
  if (on == ButtonArt::Hover) {
    shown_ = ButtonArt::Idle;
    return true;
  }
  if (on == ButtonArt::Idle) shown_ = ButtonArt::Idle;
  return false;
}

void FinishButtonArt::BackgroundMove() {
  if (active_) shown_ = ButtonArt::Idle;
}

RunArt RunningArtOf(const ProjectConfiguration& config) {
  RunArt art;
  const int t = config.ProjectType;
  if (t == 2 || t == 6 || t == 27 || t == 28 || IsTitleVariant(config)) art.closeDisabled = true;
  if (IsTitleVariant(config)) art.warningStart = true;
  return art;
}

RunArt EndedArtOf(const ProjectConfiguration& config) {
  RunArt art;
  const int t = config.ProjectType;
  if (t == 2) {
    art.hideStart = true;
    art.finish = ButtonArt::Disabled;
  } else if (t == 6) {
    art.hideStart = true;
    art.finish = ButtonArt::Idle;
  } else if (IsTitleVariant(config)) {
    art.hideStart = true;
    art.finish = ButtonArt::Idle;
    art.warningStart = false;
  }
  return art;
}

void DragTracker::Press(Point cursor, Point window) {
  dragging_ = true;
  cursor0_ = cursor;
  window0_ = window;
}

std::optional<DragTracker::Point> DragTracker::Move(Point cursor) const {
  if (!dragging_) return std::nullopt;
  return Point{window0_.x + cursor.x - cursor0_.x, window0_.y + cursor.y - cursor0_.y};
}

Rgb StatusBarColor(int resultState) {
  if (resultState == 1) return {255, 0, 0};
  if (resultState == 3) return {0, 128, 0};
  return {0, 0, 0};
}

PanelGeometry CompactPanelSize(CompactPanel panel) {
  switch (panel) {
    case CompactPanel::Progress: return {480, 185};
    case CompactPanel::Completion: return {510, 395};
    case CompactPanel::Failure: return {300, 165};
  }
  return {};
}

}  // namespace zovir
