#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "config/device_check_variants.h"
#include "ui/controller.h"
#include "ui/startup.h"
#include "ui/qt/dialogs.h"

namespace zovir::qt {

namespace {

QColor ColorOf(LabelColor c) {
  switch (c) {
    case LabelColor::Red: return QColor(255, 0, 0);
    case LabelColor::Green: return QColor(0, 128, 0);
    case LabelColor::Black: break;
  }
  return Qt::black;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, QRect geometry, const QFont& font,
                  const QColor& color = Qt::black) {
  auto* l = new QLabel(parent);
  l->setObjectName(name);
  l->setGeometry(geometry);
  l->setFont(font);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  l->setAttribute(Qt::WA_TransparentForMouseEvents);
  return l;
}

void SetLabelColor(QLabel* l, const QColor& color) {
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
}

const char* ArtSuffix(ButtonArt art) {
  switch (art) {
    case ButtonArt::Idle: return "0";
    case ButtonArt::Pressed: return "1";
    case ButtonArt::Hover: return "2";
    case ButtonArt::Disabled: return "3";
    case ButtonArt::Hidden: break;
  }
  return "";
}

struct BusyGuard {
  explicit BusyGuard(int& depth) : depth_(depth) { ++depth_; }
  ~BusyGuard() { --depth_; }
  int& depth_;
};

}  // namespace

StatusPanel::StatusPanel(QWidget* parent, const QString& objectName) : QWidget(parent) {
  setObjectName(objectName);
  setToolTip("Status Line");
}

QColor StatusPanel::color() const {
  const Rgb c = StatusBarColor(state_);
  return QColor(c.r, c.g, c.b);
}

void StatusPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0xf0, 0xf0, 0xf0));
  p.setPen(QColor(0xa0, 0xa0, 0xa0));
  p.drawLine(0, 0, width(), 0);
  QFont f = FormFont("MS Sans Serif", 8, true);
  p.setFont(f);
  p.setPen(color());
  p.drawText(rect().adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
             p.fontMetrics().elidedText(text_, Qt::ElideRight, width() - 8));
}

TDudorIvoUiForm::TDudorIvoUiForm(QWidget* parent) : QWidget(parent) {
  setObjectName("DudorIvoUiForm");
  setWindowFlags(Qt::FramelessWindowHint | Qt::Window | Qt::WindowMinimizeButtonHint);
  setWindowIcon(QIcon(":/skin/icon.svg"));
  setFont(FormFont("MS Sans Serif", 8));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setMouseTracking(true);
  setCursor(Qt::PointingHandCursor);
  setFixedSize(kWidth, kHeight + kStatusBarHeight);
  Build();
  about_ = new TDudorIvoAboutForm(this);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TDudorIvoUiForm::~TDudorIvoUiForm() { Unbind(); }

void TDudorIvoUiForm::Build() {
  skin_ = new QWidget(this);
  skin_->setObjectName("DefaultLayout");
  skin_->setGeometry(0, 0, kWidth, kHeight);
  skin_->setMouseTracking(true);
  Image_Big = new Picture(skin_, "Image_Big", "background");
  Image_Big->setGeometry(0, 0, kWidth, 269);
  Image_Big->setAttribute(Qt::WA_TransparentForMouseEvents);

  Label_title = MakeLabel(skin_, "Label_title", QRect(7, 5, 290, 16), FormFont("Arial", 9, true));
  Label_title->setText("ZOVIR");
  Label_title_japannese = MakeLabel(skin_, "Label_title_japannese", QRect(7, 5, 290, 16), JapaneseFont(9, true));
  Label_title_japannese->hide();

  Image_close = new Picture(skin_, "Image_close", "close0");
  Image_close->setGeometry(336, 5, 18, 18);
  connect(Image_close, &Picture::Pressed, this, [this] {
    if (closeDisabled_) return;
    closePressed_ = true;
    DrawClose();
  });
  connect(Image_close, &Picture::Released, this, [this] {
    if (!closePressed_) return;
    closePressed_ = false;
    DrawClose();
    CloseImageClicked();
  });
  Image_min = new Picture(skin_, "Image_min", "min0");
  Image_min->setGeometry(314, 5, 19, 17);
  connect(Image_min, &Picture::Pressed, this, [this] {
    Image_min->SetPicture("min1");
    Image_min->SetOffset({3, 1});
  });
  connect(Image_min, &Picture::Released, this, [this] {
    Image_min->SetPicture("min0");
    Image_min->SetOffset({0, 0});
    showMinimized();
  });

  Label_about1 = new ClickLabel(skin_, "Label_about1");
  Label_about1->setGeometry(10, 27, 8, 14);
  Label_about = new ClickLabel(skin_, "Label_about");
  Label_about->setGeometry(17, 27, 200, 14);
  Label_about_japannese = new ClickLabel(skin_, "Label_about_japannese");
  Label_about_japannese->setGeometry(10, 27, 200, 15);
  Label_about_japannese->hide();
  for (ClickLabel* l : {Label_about1, Label_about, Label_about_japannese}) {
    connect(l, &ClickLabel::Pressed, this, [this] { AboutPress(true); });
    connect(l, &ClickLabel::Released, this, [this] { AboutPress(false); });
  }

  Image_gif = new WorkingAnimation(skin_, "Image_gif");
  Image_gif->setGeometry(130, 83, 105, 24);
  Image_gif->hide();
  Image_progress = new Picture(skin_, "Image_progress", "progress");
  Image_progress->setGeometry(130, 83, 105, 24);
  Image_progress->setAttribute(Qt::WA_TransparentForMouseEvents);

  Label10 = MakeLabel(skin_, "Label10", QRect(20, 113, 60, 16), FormFont("Arial", 8, true));
  Label10->setText("Input SN:");
  Label10->hide();
  Edit2 = new QLineEdit(skin_);
  Edit2->setObjectName("Edit2");
  Edit2->setGeometry(82, 111, 180, 20);
  Edit2->setPlaceholderText("serial number of the saved backup");
  Edit2->setEnabled(false);
  Edit2->hide();
  // START follows what is typed while a run's result is shown.
  connect(Edit2, &QLineEdit::textEdited, this, [this] { InController([this] { controller_->SNEntryChanged(); }); });

  ProgressBar = new Gauge(skin_, "ProgressBar", QColor(0, 255, 0));
  ProgressBar->setGeometry(9, 138, 338, 17);

  Image_warning = new Picture(skin_, "Image_warning", "warning");
  Image_warning->setGeometry(35, 164, 24, 22);
  Image_warning->setAttribute(Qt::WA_TransparentForMouseEvents);
  Label_warning = MakeLabel(skin_, "Label_warning", QRect(64, 168, 290, 18), FormFont("Verdana", 8), Qt::red);
  Label_warning->setText("Do not unplug USB during upgrading!");
  // Four lines at most, below the panel's border; the short last one ends left of the start
  // picture.
  Label_warning_7921 = MakeLabel(skin_, "Label_warning_7921", QRect(10, 166, 343, 60), JapaneseFont(9));
  Label_warning_7921->setWordWrap(true);
  Label_warning_7921->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label_warning_7921->hide();
  // One line between the panel and the start picture, in a font small enough for the whole
  // text (ApplyLook).
  Label_warning_start_japanese = new ClickLabel(skin_, "Label_warning_start_japanese");
  Label_warning_start_japanese->setColor(Qt::red);
  Label_warning_finish_japanese = new ClickLabel(skin_, "Label_warning_finish_japanese");
  Label_warning_finish_japanese->setColor(QColor(0, 128, 0));
  for (ClickLabel* l : {Label_warning_start_japanese, Label_warning_finish_japanese}) {
    l->setGeometry(8, 167, 345, 20);
    l->setFont(JapaneseFont(9));
    l->setAlignment(Qt::AlignCenter);
    l->hide();
  }
  for (ClickLabel* l : {Label_warning_start_japanese, Label_warning_finish_japanese}) {
    connect(l, &ClickLabel::Pressed, this, [this] { AboutPress(true); });
    connect(l, &ClickLabel::Released, this, [this] { AboutPress(false); });
  }

  Image_start = new Picture(skin_, "Image_start");
  Image_start->setGeometry(119, 194, 104, 24);
  Image_start->setMouseTracking(true);
  connect(Image_start, &Picture::Moved, this, [this] {
    start_.MouseMove();
    DrawStart();
  });
  connect(Image_start, &Picture::Pressed, this, [this] {
    start_.MousePress();
    DrawStart();
  });
  connect(Image_start, &Picture::Released, this, [this] {
    if (start_.MouseRelease()) {
      InController([this] { controller_->StartClick(); });
      start_.Show(startEnabled_);
    }
    DrawStart();
  });
  Image_finish = new Picture(skin_, "Image_finish");
  Image_finish->setGeometry(119, 194, 104, 24);
  Image_finish->setMouseTracking(true);
  Image_finish->hide();
  connect(Image_finish, &Picture::Moved, this, [this] {
    finish_.MouseMove();
    DrawFinish();
  });
  connect(Image_finish, &Picture::Pressed, this, [this] {
    finish_.MousePress();
    DrawFinish();
  });
  connect(Image_finish, &Picture::Released, this, [this] {
    const bool close = finish_.MouseRelease();
    DrawFinish();
    if (close) FinishClicked();
  });

  Label_status = MakeLabel(skin_, "Label_status", QRect(10, 249, 250, 17), FormFont("Arial", 9, true));
  Label_status_japanese = MakeLabel(skin_, "Label_status_japanese", QRect(10, 249, 250, 17), JapaneseFont(9, true));
  Label_status_japanese->hide();
  Label_version = MakeLabel(skin_, "Label_version", QRect(203, 249, 150, 17), FormFont("Arial", 8));
  Label_version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  StatusBar = new StatusPanel(this, "StatusBar");
  StatusBar->setGeometry(0, kHeight, kWidth, kStatusBarHeight);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  Reupdate1 = PopupMenu1->addAction("Re_update");
  Reupdate1->setObjectName("Reupdate1");
  Reupdate1->setVisible(false);
  connect(Reupdate1, &QAction::triggered, this, [this] { InController([this] { controller_->Reupdate1Click(); }); });
  AboutFlashZovir1 = PopupMenu1->addAction("About");
  AboutFlashZovir1->setObjectName("AboutFlashZovir1");
  connect(AboutFlashZovir1, &QAction::triggered, this, [this] { OpenAbout(); });
  QAction* browse = PopupMenu1->addAction("Please Select Image Folder...");
  browse->setObjectName("ImageFolderBrowseButton");
  connect(browse, &QAction::triggered, this, [this] { BrowseImageFolder(); });

  ApplyLook(config_);
}

QString TDudorIvoUiForm::SkinName(const char* base) const {
  return QString::fromLatin1(base) + (look_.skin == Skin::Second ? "_second" : "");
}

void TDudorIvoUiForm::ApplyLook(const ProjectConfiguration& config) {
  config_ = config;
  look_ = LookOf(config);
  const MainWindowLook& l = look_;
  Label_title->setText(Q(l.title));
  Label_title->setFont(l.titleJapanese ? JapaneseFont(9, true) : FormFont("Arial", 9, true));
  Label_title->setVisible(l.titleVisible);
  Label_title_japannese->setText(Q(l.title));
  Label_title_japannese->setVisible(l.titleJapaneseLabel);

  QFont aboutFont = l.aboutJapanese ? JapaneseFont(l.labels == LabelSet::Japanese27_28 ? 10 : 8) : FormFont("MS Sans Serif", 8);
  QFont first = aboutFont;
  first.setUnderline(true);
  Label_about1->setFont(first);
  Label_about1->setText(Q(l.aboutFirst));
  // The rest of the word begins where the first letter ends, at any scale: measured without
  // the pixel rounding of one size, and with no gap of its own.
  const int firstAdvance = qRound(QFontMetricsF(first).horizontalAdvance(Q(l.aboutFirst)));
  Label_about1->setGeometry(10, 27, firstAdvance + 2, 16);
  Label_about1->setVisible(l.aboutFirstVisible);
  Label_about->setFont(aboutFont);
  Label_about->setText(Q(l.aboutRest));
  Label_about->setGeometry(l.aboutFirstVisible ? 10 + firstAdvance : 10, 27, 220, 16);
  AboutFlashZovir1->setText(Q(l.aboutMenu));
  Label_about->setVisible(l.aboutVisible);
  aboutRestFont_ = aboutFont;
  Label_about_japannese->setFont(JapaneseFont(9));
  Label_about_japannese->setText(Q(l.aboutRest));
  Label_about_japannese->setVisible(l.aboutJapaneseLabel);

  Label_warning->setText(Q(l.warning));
  Label_warning->setVisible(l.warningVisible);
  if (l.warningWrapped) {
    Label_warning->setFont(JapaneseFont(9));
    Label_warning->setWordWrap(true);
    Label_warning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label_warning->setGeometry(35, 166, 300, 30);
  }
  Image_warning->setVisible(l.warningImageVisible);
  Label_warning_7921->setText(TightLines(Q(l.warning7921), 75));
  Label_warning_7921->setVisible(l.warning7921Visible);
  for (auto [label, text] : {std::pair{Label_warning_start_japanese, &l.warningStart},
                             std::pair{Label_warning_finish_japanese, &l.warningFinish}}) {
    label->setFont(FittingFont(JapaneseFont(9), Q(*text), label->width() - 4, JapaneseFont(7).pixelSize()));
    label->setText(Q(*text));
  }
  Image_start->move(119, l.startTop);
  Image_finish->move(119, l.startTop);
  // The Japanese-language build shows the second skin's disabled picture from the start.
  if (l.labels == LabelSet::JapaneseLanguage) start_.Show(false);
  DrawStart();
  DrawFinish();
  DrawClose();
  if (l.compact && !GroupBox1) BuildCompact();
}

void TDudorIvoUiForm::BuildCompact() {
  skin_->hide();
  StatusBar->hide();
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setCursor(Qt::ArrowCursor);
  auto panel = [this](const char* name) {
    auto* box = new QWidget(this);
    box->setObjectName(name);
    box->hide();
    return box;
  };
  const QFont font = ChineseFont(10);
  GroupBox1 = panel("GroupBox1");
  GroupBox1->setGeometry(0, 0, 480, 185);
  auto* image1 = new Picture(GroupBox1, "Image1", "panel41");
  image1->setGeometry(24, 24, 72, 72);
  MakeLabel(GroupBox1, "Label1", QRect(112, 34, 350, 22), ChineseFont(11, true))->setText("上网卡固件版本升级中，请稍候");
  auto* warn = MakeLabel(GroupBox1, "Label2", QRect(112, 62, 350, 40), font, Qt::red);
  warn->setWordWrap(true);
  warn->setText("上网卡升级过程中切勿切断上网卡电源，否则将引起上网卡损坏");
  CGauge1 = new Gauge(GroupBox1, "CGauge1", QColor(0, 255, 0));
  CGauge1->setGeometry(50, 125, 380, 26);

  GroupBox2 = panel("GroupBox2");
  GroupBox2->setGeometry(0, 0, 510, 395);
  auto* image2 = new Picture(GroupBox2, "Image2", "guide3_side");
  image2->setGeometry(0, 0, 140, 395);
  MakeLabel(GroupBox2, "Label_done", QRect(170, 60, 320, 26), ChineseFont(12, true))->setText("上网卡固件升级完成");
  MakeLabel(GroupBox2, "Label_newversion", QRect(170, 110, 90, 20), font)->setText("新的版本为:");
  Label_CustomVersion = MakeLabel(GroupBox2, "Label_CustomVersion", QRect(262, 110, 230, 20), font);
  MakeLabel(GroupBox2, "Label_finish", QRect(170, 150, 320, 20), font)->setText("点击完成退出升级程序");
  auto* done = new QPushButton("完成", GroupBox2);
  done->setObjectName("SpeedButton1");
  done->setFont(font);
  done->setGeometry(400, 345, 90, 28);
  connect(done, &QPushButton::clicked, this, [this] { close(); });

  GroupBox4 = panel("GroupBox4");
  GroupBox4->setGeometry(0, 0, 300, 165);
  auto* image3 = new Picture(GroupBox4, "Image3", "panel41_fail");
  image3->setGeometry(20, 30, 64, 64);
  auto* failText = MakeLabel(GroupBox4, "Label_fail", QRect(100, 36, 190, 50), font);
  failText->setWordWrap(true);
  failText->setText("升级未能完成，请重新插入上网卡后再试。");
  auto* ok = new QPushButton("确定", GroupBox4);
  ok->setObjectName("SpeedButton2");
  ok->setFont(font);
  ok->setGeometry(195, 120, 90, 28);
  connect(ok, &QPushButton::clicked, this, [this] { close(); });
  ShowPanel(CompactPanel::Progress);
}

void TDudorIvoUiForm::ShowPanel(CompactPanel panel) {
  if (!GroupBox1) return;
  panel_ = panel;
  const QPoint centre = geometry().center();
  GroupBox1->setVisible(panel == CompactPanel::Progress);
  GroupBox2->setVisible(panel == CompactPanel::Completion);
  GroupBox4->setVisible(panel == CompactPanel::Failure);
  const PanelGeometry size = CompactPanelSize(panel);
  setFixedSize(size.width, size.height);
  if (panel == CompactPanel::Progress) {
    setWindowTitle("上网卡固件升级");
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
  } else {
    setWindowTitle(panel == CompactPanel::Completion ? "上网卡固件升级完成" : "上网卡固件升级失败");
    if (panel == CompactPanel::Completion) Label_CustomVersion->setText(Q(config_.Version));
    move(centre - QPoint(size.width / 2, size.height / 2));
  }
}

void TDudorIvoUiForm::Bind(Controller& controller, Clock& clock) {
  controller_ = &controller;
  clock_ = &clock;
  if (!pump_) {
    pump_ = new QTimer(this);
    pump_->setInterval(10);
    connect(pump_, &QTimer::timeout, this, &TDudorIvoUiForm::PumpController);
  }
  pump_->start();
}

void TDudorIvoUiForm::Unbind() {
  if (pump_) pump_->stop();
  controller_ = nullptr;
}

template <typename F>
void TDudorIvoUiForm::InController(F work) {
  if (!controller_ || busy_ > 0) return;
  BusyGuard guard(busy_);
  work();
}

void TDudorIvoUiForm::RunInController(const std::function<void()>& work) { InController(work); }

void TDudorIvoUiForm::PumpController() {
  InController([this] { controller_->Pump(0); });
}

// ---- drawing ----

void TDudorIvoUiForm::DrawStart() {
  const ButtonArt art = start_.shown();
  Image_start->setVisible(art != ButtonArt::Hidden);
  if (art != ButtonArt::Hidden) Image_start->SetPicture(SkinName((std::string("start") + ArtSuffix(art)).c_str()));
}

void TDudorIvoUiForm::DrawFinish() {
  const ButtonArt art = finish_.shown();
  Image_finish->setVisible(art != ButtonArt::Hidden);
  if (art != ButtonArt::Hidden) Image_finish->SetPicture(QString("finish") + ArtSuffix(art));
  Image_finish->raise();
}

void TDudorIvoUiForm::DrawClose() {
  Image_close->SetPicture(closeDisabled_ ? "close2" : closePressed_ ? "close1" : "close0");
  Image_close->SetOffset(closePressed_ ? QPoint(2, 2) : QPoint(0, 0));
}

// ---- mouse on the background ----

void TDudorIvoUiForm::mousePressEvent(QMouseEvent* e) {
  if (look_.compact) return;
  const QPoint cursor = e->globalPosition().toPoint();
  drag_.Press({cursor.x(), cursor.y()}, {x(), y()});
}

void TDudorIvoUiForm::mouseMoveEvent(QMouseEvent* e) {
  if (look_.compact) return;
  const QPoint cursor = e->globalPosition().toPoint();
  if (auto to = drag_.Move({cursor.x(), cursor.y()})) move(to->x, to->y);
  BackgroundMove();
}

void TDudorIvoUiForm::mouseReleaseEvent(QMouseEvent*) { drag_.Release(); }

void TDudorIvoUiForm::BackgroundMove() {
  start_.BackgroundMove();
  finish_.BackgroundMove();
  DrawStart();
  DrawFinish();
}

void TDudorIvoUiForm::contextMenuEvent(QContextMenuEvent* e) {
  if (look_.compact) return;
  drag_.Release();
  PopupMenu1->popup(e->globalPos());
}

// ---- close, finish, About ----

bool TDudorIvoUiForm::MayClose() {
  if (!controller_) return true;
  if (busy_ > 0) return false;  // a handler of the controller is still on the way
  std::optional<CloseQuestion> question;
  bool closing = false;
  InController([&] {
    question = controller_->CloseQuestionNow();
    closing = controller_->Closing();
  });
  if (!question) return true;
  if (closing) return false;  // the update is stopping; the window ends when it has
  // Asked outside the controller: the engine's calls to the window are served while the
  // question stands, so the update goes on until it is answered.
  const bool confirmed = Ask(question->text, question->caption, question->question) == question->closes;
  bool now = false;
  InController([&] { now = controller_->CloseAnswered(confirmed); });
  return now;
}

void TDudorIvoUiForm::CloseImageClicked() {
  if (!MayClose()) return;
  InController([this] {
    controller_->StopWatcher();
    clock_->SleepMs(200);
  });
  close();
}

void TDudorIvoUiForm::FinishClicked() {
  if (MayClose()) close();
}

void TDudorIvoUiForm::closeEvent(QCloseEvent* e) {
  if (!MayClose()) {
    e->ignore();
    return;
  }
  about_->close();
  e->accept();
  RequestEnd();
}

void TDudorIvoUiForm::AboutPress(bool down) {
  if (down) {
    QFont a = Label_about1->font();
    a.setBold(true);
    Label_about1->setFont(a);
    QFont rest = Label_about->font();
    rest.setBold(true);
    Label_about->setFont(rest);
    QFont j = Label_about_japannese->font();
    j.setBold(true);
    Label_about_japannese->setFont(j);
    return;
  }
  QFont a = Label_about1->font();
  a.setBold(false);
  a.setUnderline(true);
  Label_about1->setFont(a);
  Label_about->setFont(aboutRestFont_);
  QFont j = Label_about_japannese->font();
  j.setBold(false);
  Label_about_japannese->setFont(j);
  OpenAbout();
}

void TDudorIvoUiForm::OpenAbout() {
  about_->ShowFor(config_, config_.Caption, summary_, windowTitle().toStdString());
}

void TDudorIvoUiForm::BrowseImageFolder() {
  const QString folder = QFileDialog::getExistingDirectory(this, "Please Select Image Folder", Q(imageFolder_));
  if (folder.isEmpty()) return;
  InController([this, &folder] { controller_->ImageFolderSelected(folder.toStdString()); });
}

// ---- View ----

void TDudorIvoUiForm::SetStatusLabel(const std::string& text, LabelStyle style) {
  Label_status->setText(Q(text));
  Label_status->setFont(style.japaneseFont ? JapaneseFont(9, true) : FormFont("Arial", 9, true));
  SetLabelColor(Label_status, ColorOf(style.color));
}

void TDudorIvoUiForm::ShowStatusLabel(bool visible) { Label_status->setVisible(visible); }

void TDudorIvoUiForm::SetJapaneseStatusLabel(const std::string& text, LabelColor color, bool visible) {
  Label_status_japanese->setText(Q(text));
  SetLabelColor(Label_status_japanese, ColorOf(color));
  Label_status_japanese->setVisible(visible);
}

void TDudorIvoUiForm::SetVersionLabel(const std::string& text) { Label_version->setText(Q(text)); }

void TDudorIvoUiForm::SetStatusBar(const std::string& text) { StatusBar->SetText(Q(text)); }

void TDudorIvoUiForm::SetTitle(const std::string& text, bool headerVisible) {
  if (!look_.compact) setWindowTitle(Q(text));
  Label_title->setText(Q(text));
  for (QWidget* w : {static_cast<QWidget*>(Label_title), static_cast<QWidget*>(Label_about),
                     static_cast<QWidget*>(Label_about1), static_cast<QWidget*>(Image_warning),
                     static_cast<QWidget*>(Label_warning)})
    w->setVisible(headerVisible);
}

void TDudorIvoUiForm::SetResultState(int state) {
  resultState_ = state;
  StatusBar->SetResultState(state);
}

void TDudorIvoUiForm::SetImageFolder(const std::string& folder) { imageFolder_ = folder; }

void TDudorIvoUiForm::EnableStart(bool enabled) {
  startEnabled_ = enabled;
  start_.SetEnabled(enabled);
}

void TDudorIvoUiForm::EnableClose(bool enabled) { finish_.SetActive(enabled); }

void TDudorIvoUiForm::ShowStartArt(StartArt art) {
  switch (art) {
    case StartArt::Idle: start_.Show(startEnabled_); break;
    case StartArt::Running: {
      start_.Show(startEnabled_);
      const RunArt run = RunningArtOf(config_);
      closeDisabled_ = run.closeDisabled;
      if (run.warningStart) Label_warning_start_japanese->setVisible(*run.warningStart);
      break;
    }
    case StartArt::Ended: {
      const RunArt ended = EndedArtOf(config_);
      closeDisabled_ = false;
      if (ended.hideStart)
        start_.Hide();
      else
        start_.Show(startEnabled_);
      if (ended.finish) {
        if (*ended.finish == ButtonArt::Disabled)
          finish_.ShowStatic();
        else
          finish_.ShowIdle();
      }
      if (ended.warningStart) Label_warning_start_japanese->setVisible(*ended.warningStart);
      break;
    }
  }
  DrawStart();
  DrawFinish();
  DrawClose();
}

void TDudorIvoUiForm::ShowWorking(bool gif, bool progress) {
  Image_gif->setVisible(gif);
  Image_progress->setVisible(progress);
}

void TDudorIvoUiForm::ShowReupdate(bool visible) { Reupdate1->setVisible(visible); }

void TDudorIvoUiForm::StatusLine(const std::string& text, int) { StatusBar->SetText(Q(text)); }

void TDudorIvoUiForm::Progress(int, int position, int maximum) {
  Gauge* g = look_.compact ? CGauge1 : ProgressBar;
  g->SetRange(maximum);
  g->SetPosition(position);
}

void TDudorIvoUiForm::Message(const std::string& text, const std::string& caption, MessageKind kind) {
  if (messageHook) {
    messageHook(text, caption);
    return;
  }
  const QString title = caption.empty() ? windowTitle() : Q(caption);
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  if (kind == MessageKind::Warning) icon = QMessageBox::Warning;
  if (kind == MessageKind::Error) icon = QMessageBox::Critical;
  if (kind == MessageKind::Info) icon = QMessageBox::Information;
  QMessageBox box(icon, title, Q(text), QMessageBox::Ok, isVisible() ? this : nullptr);
  box.setFont(JapaneseFont(9));
  box.exec();
}

Answer TDudorIvoUiForm::Ask(const std::string& text, const std::string& caption, Question question) {
  if (askHook) return askHook(text, caption, question);
  const bool okCancel = question == Question::OkCancel;
  QMessageBox box(QMessageBox::Question, Q(caption), Q(text),
                  okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : (QMessageBox::Yes | QMessageBox::No),
                  isVisible() ? this : nullptr);
  box.setFont(JapaneseFont(9));
  const int r = box.exec();
  if (okCancel) return r == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
  return r == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

Answer TDudorIvoUiForm::AskToStart(const std::string& text, const std::string& title) {
  if (startQuestion) return startQuestion(text, title);
  TFormMessagebox box(config_, isVisible() ? this : nullptr);
  return box.exec() == kResultOk ? Answer::Ok : Answer::Cancel;
}

std::string TDudorIvoUiForm::ReadSNEntry() { return Edit2->text().trimmed().toStdString(); }

void TDudorIvoUiForm::EnableSNEntry(bool enabled) { Edit2->setEnabled(enabled); }

void TDudorIvoUiForm::OfferSNEntry() {
  Label10->show();
  Edit2->show();
  Edit2->setEnabled(true);
  Edit2->setFocus();
}

void TDudorIvoUiForm::FinishSNEntry() {
  Edit2->clear();
  Edit2->setEnabled(false);
  Edit2->hide();
  Label10->hide();
}

void TDudorIvoUiForm::ShowResultSN(const std::string& sn) {
  if (!sn.empty()) Label_version->setText(Q("SN: " + sn));
}

void TDudorIvoUiForm::RunEnded(int, bool passed, int) { emit RunFinished(passed); }

void TDudorIvoUiForm::RequestEnd() {
  if (endRequested_) return;
  endRequested_ = true;
  emit EndRequestedSignal();
}

void TDudorIvoUiForm::ShowCompactPanel(CompactPanel panel) { ShowPanel(panel); }

void TDudorIvoUiForm::ShowFinishWarning(bool visible) {
  if (look_.labels == LabelSet::TitleVariant) Label_warning_finish_japanese->setVisible(visible);
}

}  // namespace zovir::qt
