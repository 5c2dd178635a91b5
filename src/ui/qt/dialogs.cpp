#include "ui/qt/dialogs.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "config/device_check_variants.h"

namespace zovir::qt {

namespace {

QLabel* Text(QWidget* parent, const char* name, QRect geometry, const QString& text, const QFont& font,
             bool wrap = false) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  l->setGeometry(geometry);
  l->setFont(font);
  l->setWordWrap(wrap);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return l;
}

QPushButton* Button(QWidget* parent, const char* name, QRect geometry, const QString& text, const QFont& font) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  b->setGeometry(geometry);
  b->setFont(font);
  b->setAutoDefault(false);
  return b;
}

QPlainTextEdit* Memo(QWidget* parent, const char* name, QRect geometry, const QString& text, const QFont& font) {
  auto* m = new QPlainTextEdit(text, parent);
  m->setObjectName(name);
  m->setGeometry(geometry);
  m->setFont(font);
  m->setReadOnly(true);
  return m;
}

void CentreOn(QWidget* window, QWidget* over) {
  QRect area;
  if (over && over->isVisible())
    area = over->frameGeometry();
  else if (QScreen* screen = QGuiApplication::primaryScreen())
    area = screen->availableGeometry();
  window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

const char* PictureOf(MessageBoxChoice::Picture p) {
  switch (p) {
    case MessageBoxChoice::Picture::Normal: return "msgbtn0";
    case MessageBoxChoice::Picture::Pressed: return "msgbtn1";
    case MessageBoxChoice::Picture::Highlighted: return "msgbtn2";
  }
  return "msgbtn0";
}

}  // namespace

// ---- message box ----

TFormMessagebox::TFormMessagebox(const ProjectConfiguration& config, QWidget* parent) : QDialog(parent) {
  setObjectName("FormMessagebox");
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setFixedSize(293, 138);
  new Picture(this, "Imageback", "msgback");
  findChild<Picture*>("Imageback")->setGeometry(0, 0, 293, 138);
  findChild<Picture*>("Imageback")->setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* icon = new Picture(this, "ImageWarningIcon", "msgicon");
  icon->setGeometry(3, 31, 48, 48);
  auto* title = Text(this, "Label_title", QRect(9, 4, 275, 17), Q(TextsOf(VariantOf(config)).title),
                     JapaneseFont(10, true));
  title->setAttribute(Qt::WA_TransparentForMouseEvents);
  Text(this, "Label_Msg", QRect(56, 33, 233, 72),
       TightLines("他のアプリケーションをすべて終了して下さい。電源アダプタを接続し、PCのサスペンド又は、"
                  "シャットダウンを絶対にしないで下さい。ソフトウェアのアップデートを開始しますか？",
                  70),
       JapaneseFont(9), true);
  Image_YES = new Picture(this, "Image_YES");
  Image_YES->setGeometry(114, 108, 78, 24);
  Image_NO = new Picture(this, "Image_NO");
  Image_NO->setGeometry(197, 108, 78, 24);
  auto* ok = new ClickLabel(this, "Label_OK");
  ok->setGeometry(114, 108, 78, 24);
  ok->setText("OK");
  auto* cancel = new ClickLabel(this, "Label_Cancel");
  cancel->setGeometry(197, 108, 78, 24);
  cancel->setText("キャンセル");
  for (ClickLabel* l : {ok, cancel}) {
    l->setFont(JapaneseFont(11));
    l->setAlignment(Qt::AlignCenter);
    l->setMouseTracking(true);
  }
  Bind(ok, MessageBoxChoice::Ok);
  Bind(cancel, MessageBoxChoice::Cancel);
  setFocusPolicy(Qt::StrongFocus);
  Draw();
  CentreOn(this, parent);
}

void TFormMessagebox::Bind(ClickLabel* label, MessageBoxChoice::Button button) {
  connect(label, &ClickLabel::Moved, this, [this, button] {
    choice_.MouseOver(button);
    Draw();
  });
  connect(label, &ClickLabel::Pressed, this, [this, button] {
    choice_.MousePress(button);
    Draw();
  });
  connect(label, &ClickLabel::Released, this, [this, button] {
    const int result = choice_.MouseRelease(button);
    Draw();
    done(result);
  });
  connect(label, &ClickLabel::Left, this, [this, button] {
    choice_.MouseLeave(button);
    Draw();
  });
}

void TFormMessagebox::Draw() {
  Image_YES->SetPicture(PictureOf(choice_.PictureOf(MessageBoxChoice::Ok)));
  Image_NO->SetPicture(PictureOf(choice_.PictureOf(MessageBoxChoice::Cancel)));
}

bool TFormMessagebox::event(QEvent* e) {
  // Tab is a shortcut here, not a focus move.
  if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Tab) {
    choice_.KeyPress(MessageBoxChoice::Key::Tab);
    Draw();
    return true;
  }
  return QDialog::event(e);
}

void TFormMessagebox::keyPressEvent(QKeyEvent* e) {
  using K = MessageBoxChoice::Key;
  K key = K::Other;
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: key = K::Enter; break;
    case Qt::Key_Escape: key = K::Escape; break;
    case Qt::Key_Left: key = K::Left; break;
    case Qt::Key_Up: key = K::Up; break;
    case Qt::Key_Right: key = K::Right; break;
    case Qt::Key_Down: key = K::Down; break;
    default: break;
  }
  const auto result = choice_.KeyPress(key);
  Draw();
  if (result) done(*result);
}

// ---- About ----

TDudorIvoAboutForm::TDudorIvoAboutForm(QWidget* mainWindow) : QWidget(mainWindow), main_(mainWindow) {
  setObjectName("DudorIvoAboutForm");
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setFixedSize(300, 194);
  auto* image1 = new Picture(this, "Image1", "aboutback");
  image1->setGeometry(0, 0, 300, 194);
  connect(image1, &Picture::Pressed, this, [this] {
    const QPoint c = QCursor::pos();
    drag_.Press({c.x(), c.y()}, {x(), y()});
  });
  connect(image1, &Picture::Moved, this, [this] {
    const QPoint c = QCursor::pos();
    if (auto to = drag_.Move({c.x(), c.y()})) move(to->x, to->y);
  });
  connect(image1, &Picture::Released, this, [this] { drag_.Release(); });
  auto passive = [](QLabel* l) {
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    return l;
  };
  Label_title = passive(Text(this, "Label_title", QRect(60, 10, 220, 18), "About", FormFont("Arial", 10, true)));
  Label_ablout_title_japannese =
      passive(Text(this, "Label_ablout_title_japannese", QRect(60, 10, 230, 18), "", JapaneseFont(10, true)));
  DescriptionLabel = passive(Text(this, "DescriptionLabel", QRect(60, 34, 230, 17), "for ZOVIR Platform",
                                  FormFont("Arial", 9, true)));
  Label4 = passive(Text(this, "Label4", QRect(60, 52, 230, 15), "Ver 1.3.5.0", FormFont("Arial", 8)));
  Label4->hide();
  Label_Version = passive(Text(this, "Label_Version", QRect(60, 52, 230, 15), "", JapaneseFont(8)));
  Label_Version_japanese = passive(Text(this, "Label_Version_japanese", QRect(60, 34, 230, 17), "", JapaneseFont(9)));
  DateLabel = passive(Text(this, "DateLabel", QRect(60, 52, 230, 15), kAboutBuildDate, FormFont("Arial", 8)));
  SettingLable = passive(Text(this, "SettingLable", QRect(60, 70, 232, 86), "", FormFont("Arial", 7), true));
  Label2 = passive(Text(this, "Label2", QRect(12, 164, 280, 24), "", FormFont("Arial", 7), true));
  Label5 = passive(Text(this, "Label5", QRect(12, 164, 280, 24), "", JapaneseFont(7), true));
  Image_AboutClose = new Picture(this, "Image_AboutClose0", "aboutclose0");
  Image_AboutClose->setGeometry(273, 2, 19, 19);
  connect(Image_AboutClose, &Picture::Pressed, this, [this] {
    closePressed_ = true;
    Image_AboutClose->SetPicture("aboutclose1");
    Image_AboutClose->SetOffset({3, 2});
  });
  connect(Image_AboutClose, &Picture::Released, this, [this] {
    Image_AboutClose->SetPicture("aboutclose0");
    Image_AboutClose->SetOffset({0, 0});
    if (closePressed_) close();
    closePressed_ = false;
  });
}

void TDudorIvoAboutForm::ShowFor(const ProjectConfiguration& config, const std::string& caption,
                                 const std::string& summary, const std::string& appTitle) {
  look_ = AboutLookOf(config, caption, summary, appTitle);
  const AboutLook& l = look_;
  // One-line texts longer than the window ends them with "..." and keep the whole as a tip.
  Label_title->setFont(l.titleJapanese ? JapaneseFont(10, true) : FormFont("Arial", 10, true));
  SetElidedText(Label_title, Q(l.title));
  Label_title->setVisible(l.titleVisible);
  DescriptionLabel->setFont(JapaneseFont(9, true));
  SetElidedText(DescriptionLabel, Q(l.description));
  DescriptionLabel->setVisible(l.descriptionVisible);
  Label2->setText(Q(l.label2));
  Label2->setVisible(l.label2Visible);
  SetElidedText(DateLabel, Q(l.date));
  DateLabel->setVisible(l.dateVisible);
  SettingLable->setText(Q(l.setting));
  SettingLable->setFont(l.settingJapanese ? JapaneseFont(10) : FormFont("Arial", 7));
  SettingLable->setVisible(l.settingVisible);
  SetElidedText(Label_Version, Q(l.version));
  Label_Version->setVisible(l.versionVisible);
  // The version line sits below the description when both show.
  DateLabel->move(60, l.versionVisible ? 68 : 52);
  SettingLable->move(60, l.versionVisible ? 86 : 70);
  SetElidedText(Label_ablout_title_japannese, Q(l.japaneseTitle));
  Label_ablout_title_japannese->setVisible(l.japaneseTitleVisible);
  SetElidedText(Label_Version_japanese, Q(l.japaneseVersion));
  Label_Version_japanese->setVisible(l.japaneseTitleVisible);
  Label5->setText(Q(l.label5));
  Label5->setVisible(!l.label5.empty());
  CentreOn(this, main_);
  show();
  raise();
}

// ---- four-page wizards ----

namespace {

struct GuideTexts {
  QString caption;
  QString back, next, cancel, finish;
  QString welcome, intro, legal;
  QString agreementTitle, agreementHeader, agreementBox, agreementFile;
  QString notesTitle, notes, notes2;
  QString confirmTitle;
  QStringList confirmItems;
};

GuideTexts TextsFor(GuideKind kind, const ProjectConfiguration& config) {
  GuideTexts t;
  const QString product = Q(TextsOf(VariantOf(config)).title);
  const QString legalJa = "本プログラムは著作権法により保護されています。許可なく本プログラムの全部または一部を複製、配布することを禁じます。";
  if (kind == GuideKind::Guide1) {
    t.caption = "Mobile Upgrade Guide";
    t.back = "<    Back";
    t.next = "Next    >";
    t.cancel = "Cancel";
    t.finish = "Finish";
    t.welcome = "Welcome to the Mobile Update Pragram";
    t.intro = "This setup program will install Mobile Update Pragram on your computer.Click Exit if you do not want to "
              "install this application.Click Next to continue the installation. ";
    t.legal = "This program is protected by copyright law. Copying or distributing it, in whole or in part, without "
              "permission is not allowed.";
    t.agreementTitle = "Escape Clause";
    t.agreementHeader = "Please read the following Escape Clause.You must accept the Clause to continue.";
    t.agreementBox = "I agree with the above terms and conditions";
    t.agreementFile = "clause_en.txt";
    t.notesTitle = "Other Notes";
    t.notes = "Close \"PC ZR utility\" then press next button";
    t.confirmTitle = "Notification";
    t.confirmItems = {"★ While updating,the PC must not enter the stand by,sleep or suspend mode.",
                      "★ While updating,the PC must not run the screen saver.",
                      "★ While updating,the PC must not be power OFF(must update with AC adapter).",
                      "★ While updating,don't leave the data card from PC."};
    return t;
  }
  t.back = "<  戻る";
  t.cancel = "キャンセル";
  t.welcome = product + " へようこそ";
  t.intro = "このプログラムは、お使いの機器のファームウェアを最新の版に更新します。続行するには「次」をクリックしてください。";
  t.legal = legalJa;
  t.agreementTitle = "使用許諾契約";
  t.agreementHeader = "以下の使用許諾契約をよくお読みください。更新を続けるには、契約に同意していただく必要があります。";
  t.agreementBox = "使用許諾契約に同意します。";
  t.agreementFile = "agreement_ja.txt";
  t.confirmTitle = "確認事項";
  if (kind == GuideKind::Guide) {
    t.caption = "Mobile Upgrade Guide";
    t.next = "次 >";
    t.finish = "完了";
    t.notesTitle = "他の注意事項";
    t.notes = "バージョンアップを実行する前に全てのアプリケーションを終了させてください。";
    t.confirmItems = {"★ PCがバージョンアップ中にスタンバイ、スリープ、サスペンド状態に移行しないように設定してください。",
                      "★ PCをバージョンアップ中にスクリーンセーバーが起動しないように設定してください。",
                      "★ バージョンアップ中にPCが電源OFFにならないようにしてください。（ACアダプタを使用してください。）",
                      "★ バージョンアップ中にデータカードを取り外さないでください。"};
    return t;
  }
  t.caption = product;
  t.next = "次へ >";
  t.finish = "次へ   >";
  t.notesTitle = "注意事項";
  t.notes = "ファームウェア更新を実行する前に全てのアプリケーションを終了させてください。";
  t.notes2 = "ファームウェアを更新すると、機器の設定が初期状態に戻ります。必要な設定は事前に控えておいてください。";
  t.confirmItems = {"■ ファームウェア更新中にスタンバイ、スリープ、サスペンド状態に移行しないように設定してください。",
                    "■ ファームウェア更新中にスクリーンセーバーが起動しないように設定してください。",
                    "■ ファームウェア更新中に電源OFFにならないようにしてください。（ACアダプタを使用してください。）",
                    "■ ファームウェア更新中にデータカードを取り外さないでください。"};
  return t;
}

constexpr QRect kPage(8, 8, 427, 262);

}  // namespace

TFormGuide::TFormGuide(GuideKind kind, const ProjectConfiguration& config, const std::string& packetFolder,
                       QWidget* parent)
    : QDialog(parent),
      steps_(kind, kind == GuideKind::Guide2 && config.ProjectType == 3 && config.VersionVariant[2] != 0,
             kind == GuideKind::Guide2 && config.ProjectType == 28),
      exit_(ExitQuestionOf(config)) {
  setObjectName(kind == GuideKind::Guide ? "FormGuide" : kind == GuideKind::Guide1 ? "FormGuide1" : "FormGuide2");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  const GuideTexts t = TextsFor(kind, config);
  setWindowTitle(t.caption);
  setFixedSize(kind == GuideKind::Guide2 ? 445 : 443, 326);
  const bool english = kind == GuideKind::Guide1;
  const QFont bold = english ? FormFont("MS Gothic", 10, true) : FormFont("MS Gothic", 10, true);
  const QFont body = english ? FormFont("Arial", 9) : JapaneseFont(9);
  const QFont big = english ? FormFont("Arial", 12, true) : JapaneseFont(12, true);
  setFont(bold);

  GroupBox1 = Page("GroupBox1");
  (new Picture(GroupBox1, "Image_welcome", "guide"))->setGeometry(0, 0, 120, 262);
  Text(GroupBox1, "Label_welcome", QRect(135, 10, 285, 48), t.welcome, big, true);
  Text(GroupBox1, "Label_intro", QRect(135, 70, 285, 110), t.intro, body, true);
  Text(GroupBox1, "Label_legal", QRect(135, 190, 285, 66), t.legal, english ? FormFont("Arial", 8) : JapaneseFont(8),
       true);

  auto agreementPage = [&](const char* name, const char* box, const QString& file, QCheckBox*& check) {
    QWidget* page = Page(name);
    Text(page, "Label_agreement_title", QRect(8, 4, 410, 20), t.agreementTitle, big);
    Text(page, "Label_agreement_header", QRect(8, 28, 410, 34), t.agreementHeader, body, true);
    Memo(page, "Memo_agreement", QRect(8, 64, 411, 160), ReplaceableText(packetFolder, file), body);
    check = new QCheckBox(t.agreementBox, page);
    check->setObjectName(box);
    check->setFont(body);
    check->setGeometry(8, 232, 410, 22);
    connect(check, &QCheckBox::toggled, this, [this](bool on) {
      steps_.Tick(on);
      Draw();
    });
    return page;
  };
  GroupBox3 = agreementPage("GroupBox3", "CheckBox1", t.agreementFile, CheckBox1);
  if (kind == GuideKind::Guide2)
    GroupBox8 = agreementPage("GroupBox8", "CheckBox2", "agreement_ja_alt.txt", CheckBox2);

  GroupBox4 = Page("GroupBox4");
  Text(GroupBox4, "Label_notes_title", QRect(8, 4, 410, 22), t.notesTitle, big);
  Text(GroupBox4, "Label_notes", QRect(8, 40, 410, 60), t.notes, body, true);
  if (!t.notes2.isEmpty()) Text(GroupBox4, "Label_notes2", QRect(8, 110, 410, 60), t.notes2, body, true)->setStyleSheet("color: red");

  GroupBox6 = Page("GroupBox6");
  Text(GroupBox6, "Label_confirm_title", QRect(8, 4, 410, 22), t.confirmTitle, big);
  for (int i = 0; i < t.confirmItems.size(); ++i)
    Text(GroupBox6, "Label_confirm_item", QRect(8, 36 + i * 54, 410, 50), t.confirmItems[i], body, true);

  if (kind == GuideKind::Guide2) {
    GroupBox10 = Page("GroupBox10");
    (new Picture(GroupBox10, "Image_single", "guide"))->setGeometry(0, 0, 100, 262);
    const QStringList lines = {"アップデートが完了するまで数分かかります。",
                               "他のアプリケーションを全て終了してからアップデートを開始してください。",
                               "またアップデートが完了するまで以下のことは絶対に行わないでください。",
                               "-アップデート-ユーティリティの終了",
                               "-他のアプリケーションの起動や、その他PCの操作",
                               "-機器をコンピュータから抜く",
                               "-コンピュータの電源を切る",
                               "アップデート作業は全てお客様の責任においての実施となります。",
                               "上記に同意していただける場合は”OK”ボタンをクリックしてアップデートを開始してください。"};
    int y = 4;
    for (const QString& line : lines) {
      const bool indented = line.startsWith('-');
      const int h = line.size() > 30 ? 34 : 20;
      Text(GroupBox10, "Label_single", QRect(indented ? 125 : 110, y, indented ? 300 : 315, h), line, JapaneseFont(8),
           true);
      y += h + 2;
    }
  }

  ButtonBack = Button(this, "ButtonBack", QRect(150, 285, 85, 27), t.back, bold);
  ButtonNext = Button(this, "ButtonNext", QRect(240, 285, 85, 27), t.next, bold);
  ButtonFinish = Button(this, "ButtonFinish", QRect(240, 285, 85, 27), steps_.page() == GuideSteps::Page::SinglePage28 ? "OK" : t.finish, bold);
  ButtonCancel = Button(this, "ButtonCancel", QRect(340, 285, 90, 27), t.cancel, bold);
  connect(ButtonNext, &QPushButton::clicked, this, [this] {
    steps_.Next();
    Draw();
  });
  connect(ButtonBack, &QPushButton::clicked, this, [this] {
    steps_.Back();
    Draw();
  });
  connect(ButtonFinish, &QPushButton::clicked, this, [this] {
    const int r = steps_.Finish();
    done_ = true;
    done(r);
  });
  connect(ButtonCancel, &QPushButton::clicked, this, [this] { Leave(); });
  Draw();
  CentreOn(this, parent);
}

QWidget* TFormGuide::Page(const char* name) {
  auto* page = new QWidget(this);
  page->setObjectName(name);
  page->setGeometry(kPage);
  return page;
}

void TFormGuide::Draw() {
  using P = GuideSteps::Page;
  const P page = steps_.page();
  GroupBox1->setVisible(page == P::Welcome);
  GroupBox3->setVisible(page == P::Agreement);
  if (GroupBox8) GroupBox8->setVisible(page == P::AlternativeAgreement);
  GroupBox4->setVisible(page == P::Notes);
  GroupBox6->setVisible(page == P::Confirmation);
  if (GroupBox10) GroupBox10->setVisible(page == P::SinglePage28);
  ButtonBack->setVisible(steps_.backVisible());
  ButtonNext->setVisible(steps_.nextVisible());
  ButtonNext->setEnabled(steps_.nextEnabled());
  ButtonFinish->setVisible(steps_.finishVisible());
}

void TFormGuide::Leave() {
  bool confirmed = false;
  if (steps_.asksOnExit()) {
    if (askExit) {
      confirmed = askExit(exit_);
    } else {
      QMessageBox box(QMessageBox::Question, Q(exit_.caption), Q(exit_.text), QMessageBox::Yes | QMessageBox::No, this);
      confirmed = box.exec() == QMessageBox::Yes;
    }
  }
  if (const auto r = steps_.Cancel(confirmed)) {
    done_ = true;
    done(*r);
  }
}

void TFormGuide::reject() {
  if (done_) return QDialog::reject();
  Leave();
}

void TFormGuide::closeEvent(QCloseEvent* e) {
  if (done_ || steps_.closing()) {
    e->accept();
    return;
  }
  e->ignore();
  Leave();
}

// ---- compact wizard ----

TFormGuide3::TFormGuide3(const std::string& packetFolder, std::function<bool()> modemPresent, QWidget* parent)
    : QDialog(parent), modemPresent_(std::move(modemPresent)) {
  setObjectName("FormGuide3");
  const QFont body = ChineseFont(9);
  const QFont bold = ChineseFont(10, true);
  auto screen = [this](const char* name, int w, int h) {
    auto* box = new QWidget(this);
    box->setObjectName(name);
    box->setGeometry(0, 0, w, h);
    return box;
  };
  GroupBox1 = screen("GroupBox1", 480, 250);
  (new Picture(GroupBox1, "Image_start", "guide3_start"))->setGeometry(0, 0, 480, 250);
  auto* install = Button(GroupBox1, "SpeedButton_Install", QRect(250, 200, 100, 30), "开始安装", bold);
  auto* exitButton = Button(GroupBox1, "SpeedButton_Exit", QRect(365, 200, 100, 30), "退出", bold);
  connect(install, &QPushButton::clicked, this, [this] {
    steps_.Install();
    Draw();
  });
  connect(exitButton, &QPushButton::clicked, this, [this] { done(steps_.Exit()); });

  GroupBox2 = screen("GroupBox2", 510, 395);
  (new Picture(GroupBox2, "Image_side", "guide3_side"))->setGeometry(0, 0, 140, 395);
  Text(GroupBox2, "Label_welcome", QRect(155, 12, 340, 22), "欢迎使用上网卡固件升级程序", ChineseFont(11, true));
  Text(GroupBox2, "Label_read", QRect(155, 40, 340, 36), "请阅读下面的许可协议，拉动滚动块看协议的余下部分。", body, true);
  Memo(GroupBox2, "Memo_agreement", QRect(155, 80, 340, 200), ReplaceableText(packetFolder, "agreement_zh.txt"), body);
  RadioButton_Agree = new QRadioButton("我同意，我接受以上协议的所有条款。", GroupBox2);
  RadioButton_Agree->setObjectName("RadioButton_Agree");
  RadioButton_Agree->setGeometry(155, 288, 340, 20);
  RadioButton_Disagree = new QRadioButton("我不同意，我不接受以上协议的条款。", GroupBox2);
  RadioButton_Disagree->setObjectName("RadioButton_Disagree");
  RadioButton_Disagree->setGeometry(155, 310, 340, 20);
  for (QRadioButton* r : {RadioButton_Agree, RadioButton_Disagree}) r->setFont(body);
  connect(RadioButton_Agree, &QRadioButton::clicked, this, [this] {
    steps_.Agree(true);
    Draw();
  });
  connect(RadioButton_Disagree, &QRadioButton::clicked, this, [this] {
    steps_.Agree(false);
    Draw();
  });
  SpeedButton_Next = Button(GroupBox2, "SpeedButton_Next", QRect(300, 350, 88, 28), "下一步", bold);
  Image_Next = new Picture(GroupBox2, "Image_Next", "next_inactive");
  Image_Next->setGeometry(300, 350, 88, 28);
  auto* nextText = Text(Image_Next, "Label_next_inactive", QRect(0, 0, 88, 28), "下一步", bold);
  nextText->setAlignment(Qt::AlignCenter);
  nextText->setStyleSheet("color: #9a9a9a");
  auto* cancel = Button(GroupBox2, "SpeedButton_Cancel", QRect(400, 350, 88, 28), "取消", bold);
  connect(SpeedButton_Next, &QPushButton::clicked, this, [this] {
    steps_.Next();
    Draw();
  });
  connect(cancel, &QPushButton::clicked, this, [this] { done(steps_.Exit()); });

  GroupBox3 = screen("GroupBox3", 510, 395);
  (new Picture(GroupBox3, "Image_side3", "guide3_side"))->setGeometry(0, 0, 140, 395);
  Text(GroupBox3, "Label_steps_title", QRect(155, 14, 340, 22), "操作步骤", ChineseFont(11, true));
  Text(GroupBox3, "Label_steps", QRect(155, 44, 340, 22), "拔出UIM卡-->上网卡插入电脑相应接口-->开始升级", body);
  Text(GroupBox3, "Label_remind", QRect(155, 84, 340, 22), "提醒", ChineseFont(11, true));
  Memo(GroupBox3, "Memo_remind", QRect(155, 110, 340, 170),
       "1. 升级前请先拔出UIM卡。\n2. 升级过程中请勿拔出上网卡。\n3. 升级前请关闭其他应用程序。\n"
       "4. 升级过程中请勿关机、休眠、注销或重新启动电脑。",
       body);
  auto* start = Button(GroupBox3, "SpeedButton_Start", QRect(300, 350, 88, 28), "开始升级", bold);
  auto* cancel1 = Button(GroupBox3, "SpeedButton_Cancel1", QRect(400, 350, 88, 28), "取消", bold);
  connect(start, &QPushButton::clicked, this, [this] {
    const auto result = steps_.Start(modemPresent_ && modemPresent_());
    if (result) {
      done(*result);
      return;
    }
    Draw();
  });
  connect(cancel1, &QPushButton::clicked, this, [this] { done(steps_.Exit()); });

  GroupBox4 = screen("GroupBox4", 300, 165);
  (new Picture(GroupBox4, "Image_nodevice", "panel41_fail"))->setGeometry(20, 24, 64, 64);
  Text(GroupBox4, "Label_nodevice", QRect(100, 24, 185, 70), "请检查上网卡是否已经插入电脑相应接口！", body,
       true);
  auto* end = Button(GroupBox4, "SpeedButton1", QRect(195, 120, 90, 28), "确定", bold);
  connect(end, &QPushButton::clicked, this, [this] { done(steps_.Exit()); });
  Draw();
}

void TFormGuide3::Draw() {
  using S = Guide3Steps::Screen;
  const S s = steps_.screen();
  const QPoint centre = isVisible() ? geometry().center() : QPoint();
  const bool wasVisible = isVisible();
  Qt::WindowFlags flags = Qt::Dialog | Qt::WindowStaysOnTopHint;
  flags |= steps_.bordered() ? (Qt::WindowTitleHint | Qt::WindowCloseButtonHint) : Qt::FramelessWindowHint;
  if (windowFlags() != flags) {
    // Qt hides a window whose frame changes; shown again below, the modal loop goes on.
    reframed_ = reframed_ || wasVisible;
    setWindowFlags(flags);
  }
  GroupBox1->setVisible(s == S::Start);
  GroupBox2->setVisible(s == S::Agreement);
  GroupBox3->setVisible(s == S::Steps);
  GroupBox4->setVisible(s == S::NoDevice);
  RadioButton_Agree->setChecked(steps_.agreed());
  RadioButton_Disagree->setChecked(!steps_.agreed());
  SpeedButton_Next->setVisible(steps_.nextAvailable());
  Image_Next->setVisible(!steps_.nextAvailable());
  setWindowTitle(s == S::NoDevice ? "上网卡固件升级" : "上网卡固件升级向导");
  const Guide3Steps::Size size = steps_.size();
  setFixedSize(size.width, size.height);
  if (wasVisible) {
    move(centre - QPoint(size.width / 2, size.height / 2));
    show();
  } else {
    CentreOn(this, parentWidget());
  }
}

int TFormGuide3::exec() {
  for (;;) {
    reframed_ = false;
    const int result = QDialog::exec();
    if (!reframed_ || result != 0 || !isVisible()) return result;
  }
}

}  // namespace zovir::qt
