#include "app/fmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QUrl>
#include <QValidator>

#include <utility>
#include <vector>

#include "app/AppConfig.h"
#include "app/Images.h"
#include "rtl/CodePage.h"
#include "rtl/IniFiles.h"
#include "rtl/SysUtils.h"
#include "universal/Vix.h"

namespace vix {

namespace {

QString Q(const UString& text) {
  return QString::fromStdU16String(text);
}
UString EditText(const QLineEdit* edit) {
  return edit->text().toStdU16String();
}

// Letters typed or pasted into the edit arrive in lower case.
class TLowerCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toLower();
    return Acceptable;
  }
};

// Shows every character of a password edit as "#"; the edit keeps the text.
class TPasswordCharStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return u'#';
    if (hint == SH_LineEdit_PasswordMaskDelay) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

QFont FontOf(std::initializer_list<const char16_t*> families, int pixelSize) {
  QFont font;
  QStringList names;
  for (const char16_t* f : families) names << QString::fromUtf16(f);
  font.setFamilies(names);
  font.setPixelSize(pixelSize);
  return font;
}

QWidget* WhitePanel(QWidget* parent, const QRect& geometry) {
  auto* panel = new QWidget(parent);
  panel->setGeometry(geometry);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, Qt::white);
  panel->setPalette(palette);
  return panel;
}

// Only the digits of a text, in their order.
QString DigitsOf(const QString& text) {
  QString digits;
  for (QChar c : text)
    if (c >= u'0' && c <= u'9') digits += c;
  return digits;
}

// The text can be a value of the configuration file: one line, in the code
// page the file is written in.
bool FitsConfigFile(const UString& text) {
  for (char16_t c : text)
    if (c == u'\r' || c == u'\n' || c == u'\0') return false;
  return AnsiToUtf16(Utf16ToAnsi(text)) == text;
}

// The argument names the configuration file inside the program's folder: a
// name with a path separator in it would lead elsewhere ("../x", "a\b"),
// so it counts as no name at all.
bool IsPlainFileName(const UString& name) {
  for (char16_t c : name)
    if (c == u'/' || c == u'\\' || c == u'\0') return false;
  return true;
}

uint16_t VirtualKey(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return VK_TAB;
    default:
      // Letters and digits share their codes with the virtual keys.
      if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z))
        return static_cast<uint16_t>(qtKey);
      return 0;
  }
}

// Raises for a line of the connection's option text that the connection
// would pass over without a word (no "=", another provider's prefix, a name
// its provider has no connection option for): a misspelt transport option
// would leave it on plain TCP. The message names the option, never its value.
void CheckConnectionOptions(TVixConnection& connection) {
  const TOptionsList& options = connection.CheckProvider().GetConnectionOptions();
  for (const UString& line : connection.SpecificOptions().Lines()) {
    if (Trim(line).empty()) continue;
    const TOptionLine option = SplitOptionLine(line);
    if (!option.Valid || (!option.Prefix.empty() && !SameText(option.Prefix, options.GetPrefix())) ||
        options.OptionByName(option.Name) == nullptr)
      throw Exception(u"The account connection has no option " + line.substr(0, line.find(u'=')));
  }
}

}  // namespace

TMainForm::TMainForm(TPlatform& platform, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      FPlatform(platform) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("사용자 인증"));
  setWindowIcon(PaintWindowIcon());
  setFixedSize(500, 350);
  setFont(FontOf({u"Tahoma", u"DejaVu Sans"}, 11));
  for (int i = 0; i < kGlyphCount; ++i) ImageList[static_cast<size_t>(i)] = PaintGlyph(i);

  pnTitle = WhitePanel(this, QRect(0, 0, 500, 90));
  BgTitle = new QLabel(pnTitle);
  BgTitle->setGeometry(0, 0, 500, 90);
  BgTitle->setAlignment(Qt::AlignCenter);
  BgTitle->setPixmap(PaintBanner());

  pnAspInfo = WhitePanel(this, QRect(0, 90, 500, 260));
  const QFont captionFont = FontOf({u"맑은 고딕", u"Malgun Gothic", u"NanumGothic"}, 13);
  auto label = [&](int top, const char16_t* caption) {
    auto* l = new QLabel(QString::fromUtf16(caption), pnAspInfo);
    l->setGeometry(0, top, 120, 19);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFont(captionFont);
    return l;
  };
  Label1 = label(30, u"계정 아이디: ");
  Label2 = label(70, u"매장번호: ");
  Label3 = label(110, u"사용자 아이디: ");
  Label4 = label(150, u"비밀번호: ");

  auto edit = [&](int top) {
    auto* e = new QLineEdit(pnAspInfo);
    e->setGeometry(120, top, 350, 21);
    e->setFont(font());
    e->installEventFilter(this);
    return e;
  };
  edAspID = edit(29);
  edAspID->setValidator(new TLowerCaseValidator(edAspID));
  edSiteID = edit(69);
  edSiteID->setText(QStringLiteral("1"));
  edUserName = edit(109);
  edPassword = edit(149);
  auto* passwordStyle = new TPasswordCharStyle;
  passwordStyle->setParent(edPassword);
  edPassword->setStyle(passwordStyle);
  edPassword->setEchoMode(QLineEdit::Password);

  auto button = [&](int left, const char16_t* caption, int glyph) {
    auto* b = new QPushButton(QString::fromUtf16(caption), pnAspInfo);
    b->setGeometry(left, 210, 100, 28);
    b->setFont(captionFont);
    b->setIcon(QIcon(ImageList[static_cast<size_t>(glyph)]));
    b->setIconSize(QSize(kGlyphSize, kGlyphSize));
    // Enter presses a focused button, as Space does.
    b->setAutoDefault(true);
    b->installEventFilter(this);
    return b;
  };
  btOk = button(260, u"   확인", 0);
  btCancel = button(370, u"   취소", 1);

  setTabOrder(edAspID, edSiteID);
  setTabOrder(edSiteID, edUserName);
  setTabOrder(edUserName, edPassword);
  setTabOrder(edPassword, btOk);
  setTabOrder(btOk, btCancel);

  cnServer = std::make_unique<TVixConnection>();
  // Named, so that the errors of the components say whose they are.
  cnServer->SetName(u"cnServer");
  cnServer->SetProviderName(u"MySQL");
  cnServer->SetServer(u"localhost");
  cnServer->SetPort(3307);
  cnServer->SetDatabase(u"aasp");
  cnServer->SetUsername(u"root");
  cnServer->SetPassword(u"vask");
  cnServer->SpecificOptions().SetText(u"MySQL.UseUnicode=True");
  // The way to the server (TLS, the HTTP tunnel, the local socket) is the
  // installation's: the platform's options come after the stored one.
  for (const UString& option : FPlatform.DatabaseOptions()) cnServer->SpecificOptions().Add(option);
  cnServer->SetLoginPrompt(false);
  Query = std::make_unique<TVixQuery>();
  Query->SetName(u"Query");
  Query->SetConnection(cnServer.get());
  SetQueryTimeout(kQueryTimeout);
  FServerRecovery = std::make_unique<TVixRecoveryConnection>(*cnServer);
  FRecoveryConnection = FServerRecovery.get();

  QObject::connect(btOk, &QPushButton::clicked, this, [this] { Guarded([this] { btOkClick(btOk); }); });
  QObject::connect(btCancel, &QPushButton::clicked, this, [this] { Guarded([this] { btCancelClick(btCancel); }); });

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  FormCreate(this);
}

TMainForm::~TMainForm() {
  // The query goes before the connection it runs on.
  Query.reset();
}

bool TVixRecoveryConnection::Connected() const {
  return FConnection.GetConnected();
}

void TVixRecoveryConnection::Open() {
  FConnection.Open();
}

void TMainForm::SetQueryTimeout(int Seconds) {
  // Without it a server that stops answering in the middle of a result would
  // hold the window for as long as the library's default allows (a year).
  Query->SpecificOptions().SetValues(u"MySQL.CommandTimeout", IntToStr(Seconds));
}

void TMainForm::FormCreate(QObject*) {
  lOk = false;
  MasterPassword = u"kvmt2719";
  Parameter = FPlatform.FirstArgument();
  // An argument that is not a plain file name is treated as a missing one:
  // the run ends and no file is written anywhere.
  if (!IsPlainFileName(Parameter)) Parameter.clear();
  if (Parameter.empty()) FPlatform.Terminate();
}

void TMainForm::FormShow(QObject*) {
  AspChecked = false;
  edAspID->setFocus();
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) Guarded([this] { FormShow(this); });
}

void TMainForm::FormKeyDown(QObject*, uint16_t& Key, TShiftState) {
  switch (Key) {
    case VK_RETURN: PostTab(false); break;
    case VK_DOWN:
      PostTab(false);
      Key = 0;
      break;
    case VK_UP:
      PostTab(true);
      Key = 0;
      break;
    default: break;
  }
}

void TMainForm::PostTab(bool Backward) {
  QMetaObject::invokeMethod(
      this,
      [Backward] {
        QWidget* target = QApplication::focusWidget();
        if (target == nullptr) return;
        const int key = Backward ? Qt::Key_Backtab : Qt::Key_Tab;
        const Qt::KeyboardModifiers modifiers = Backward ? Qt::ShiftModifier : Qt::NoModifier;
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, key, modifiers);
        QApplication::sendEvent(target, &release);
      },
      Qt::QueuedConnection);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edSiteID && event->type() == QEvent::InputMethod) {
    // Text an input method commits bypasses the key filter below: it takes
    // the same digits-only rule. The composition shown meanwhile stays.
    auto* imEvent = static_cast<QInputMethodEvent*>(event);
    const QString digits = DigitsOf(imEvent->commitString());
    if (digits != imEvent->commitString())
      imEvent->setCommitString(digits, imEvent->replacementStart(), imEvent->replacementLength());
    return QWidget::eventFilter(watched, event);
  }
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  auto* keyEvent = static_cast<QKeyEvent*>(event);
  bool consumed = false;
  Guarded([&] {
    uint16_t key = VirtualKey(keyEvent->key());
    if (key == 0) return;
    TShiftState shift = 0;
    if (keyEvent->modifiers() & Qt::ShiftModifier) shift |= ssShift;
    if (keyEvent->modifiers() & Qt::AltModifier) shift |= ssAlt;
    if (keyEvent->modifiers() & Qt::ControlModifier) shift |= ssCtrl;
    FormKeyDown(watched, key, shift);
    consumed = key == 0;
  });
  if (consumed) return true;
  // The store-number edit takes digits only from the keyboard.
  if (watched == edSiteID && !(keyEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    const QString text = keyEvent->text();
    if (!text.isEmpty() && text.at(0).isPrint()) {
      for (QChar c : text)
        if (c < u'0' || c > u'9') return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

UString TMainForm::CleanInput(const UString& Text) const {
  UString cleaned = Trim(Text);
  std::erase_if(cleaned, [](char16_t c) { return c == u'"' || c == u'\''; });
  return cleaned;
}

int TMainForm::ShowMessage(const UString& Text, unsigned Flags) {
  return FPlatform.MessageBox(Text, kMessageCaption, Flags);
}

void TMainForm::Refuse(const UString& Text, QLineEdit* Edit) {
  ShowMessage(Text, MB_OK | MB_ICONINFORMATION);
  Edit->setFocus();
}

void TMainForm::btOkClick(QObject*) {
  // A press while the account service is being asked (the event loop runs
  // during the wait) must not start a second check inside the first.
  if (FAspRequestRunning) return;

  for (QLineEdit* edit : {edAspID, edSiteID, edUserName, edPassword}) edit->setText(Q(CleanInput(EditText(edit))));
  // The values as cleaned and validated now are the ones checked: the edits
  // may change while the account service is asked.
  const UString aspId = EditText(edAspID);
  const UString siteId = EditText(edSiteID);
  const UString userName = EditText(edUserName);
  const UString password = EditText(edPassword);

  if (aspId.empty()) return Refuse(u"계정 아이디를 입력하세요.", edAspID);
  // The account id goes into the configuration file.
  if (!FitsConfigFile(aspId)) return Refuse(u"계정 아이디에 설정 파일에 저장할 수 없는 문자가 있습니다.", edAspID);
  if (siteId.empty()) return Refuse(u"매장번호를 입력하세요.", edSiteID);
  // Text that does not read as an integer raises EConvertError here.
  if (StrToInt(siteId) <= 0) return Refuse(u"매장번호 형식이 잘못되었습니다.", edSiteID);
  if (userName == u"123" || userName == u"head")
    return Refuse(u"초기설정 아이디로는 사용자 인증이 불가능합니다.", edUserName);
  if (userName.empty() && password != MasterPassword) return Refuse(u"사용자 아이디를 입력하세요.", edUserName);
  if (password.empty()) return Refuse(u"비밀번호를 입력하세요.", edPassword);

  if (!CheckAspAccount(aspId, siteId)) return;
  if (!CheckUser(AspServer, AspID, SiteID, userName, password)) return;
  AuthenticationSucceeded();
}

bool TMainForm::CheckUser(const UString& Server, const UString& Database, const UString& SiteId,
                          const UString& UserName, const UString& Password) {
  if (Password == MasterPassword) return true;

  // Each setting closes an open connection only when its value changes.
  cnServer->SetServer(Server);
  cnServer->SetDatabase(Database);
  cnServer->SetUsername(u"root");
  cnServer->SetPassword(Server == u"localhost" ? u"vask" : u"pwrq6082");

  Query->Close();
  Query->SetSQL(
      u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
      u":UserName ");
  // The values travel as literals escaped for the session's mode, never as SQL.
  Query->ParamByName(u"SiteID").SetAsString(SiteId);
  Query->ParamByName(u"UserName").SetAsString(UserName);
  CheckConnectionOptions(*cnServer);
  // The connection opens on its own first, so that a server that cannot be
  // reached keeps its own text (and the reconnect prompt).
  if (!cnServer->GetConnected()) cnServer->Open();
  try {
    Query->Open();
  } catch (const Exception& e) {
    // The server stopped answering for the query's command time-out (the
    // socket's time-out code): the connection is gone with it, and the press
    // can be repeated from the retry prompt.
    if (Pos(u"WSAGetLastError return 10060(", e.Message()) > 0)
      throw Exception(u"계정서버가 응답하지 않습니다. 잠시후 다시 시도해주세요.");
    throw;
  }

  if (Query->RecordCount() == 0) {
    Refuse(u"등록되지 않은 사용자입니다.", edUserName);
    return false;
  }
  if (Query->FieldByName(u"Password").AsString() != Password) {
    Refuse(u"비밀번호가 일치하지 않습니다.", edPassword);
    return false;
  }
  const UString noPermission = u"프로그램 설치 권한이 없습니다.";
  if (Query->FieldByName(u"AccessSetupHead").AsInteger() == 0 && Pos(u"Head", Parameter) > 0) {
    Refuse(noPermission, edUserName);
    return false;
  }
  if (Query->FieldByName(u"AccessSetupCnt").AsInteger() == 0 && Pos(u"POS", Parameter) > 0) {
    Refuse(noPermission, edUserName);
    return false;
  }
  return true;
}

void TMainForm::AuthenticationSucceeded() {
  WriteServerInfo(AspServer, AspID, SiteID);
  lOk = true;
  ShowMessage(u"사용자 인증이 완료 되었습니다.", MB_OK | MB_ICONINFORMATION);
  close();
}

UString TMainForm::ConfigFileName() const {
  return FPlatform.ExeDir() + Parameter + u".ini";
}

void TMainForm::WriteServerInfo(const UString& Server, const UString& AspId, const UString& SiteId) {
  // Without an argument there is no file to name (it would be "<exe dir>.ini").
  if (Parameter.empty()) return;
  TIniFile ini(ConfigFileName());
  ini.WriteString(kServerInfoSection, u"Server", Server);
  ini.WriteString(kServerInfoSection, u"AspID", AspId);
  ini.WriteString(kServerInfoSection, u"Password", config::kPasswordPlaceholder);
  ini.WriteString(kServerInfoSection, u"SiteID", SiteId);
  ini.UpdateFile();
}

void TMainForm::btCancelClick(QObject*) {
  const int answer =
      ShowMessage(u"사용자 인증을 하지 않으면 프로그램을 사용할 수 없습니다.\r사용자 인증을 종료 하시겠습니까?",
                  MB_YESNO | MB_ICONERROR);
  if (answer == IDYES) close();
}

void TMainForm::FormCloseQuery(QObject*, bool&) {
  // Without an argument there is no file to name (it would be "<exe dir>.ini");
  // such a run is ending anyway.
  if (!lOk && !Parameter.empty()) WriteServerInfo(config::kDefaultDbHost, u"kiv8", u"1");
  Query->Close();
  cnServer->Close();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  if (Guarded([&] { FormCloseQuery(this, canClose); }) && canClose) event->accept();
  else event->ignore();
}

bool TMainForm::CheckAspAccount(const UString& AspIdText, const UString& SiteIdText) {
  if (AspChecked) return true;
  const UString prefixedId = u"k8" + AspIdText;
  const int32_t siteId = StrToInt(SiteIdText);
  TAspSlots answer;
  {
    // The event loop runs during the wait: the edits take no input meanwhile
    // (the press goes on with the values it validated in any case).
    FAspRequestRunning = true;
    struct Done {
      bool& flag;
      std::vector<std::pair<QLineEdit*, bool>> edits;
      ~Done() {
        flag = false;
        for (auto& [edit, readOnly] : edits) edit->setReadOnly(readOnly);
      }
    } done{FAspRequestRunning, {}};
    for (QLineEdit* edit : {edAspID, edSiteID, edUserName, edPassword}) {
      done.edits.emplace_back(edit, edit->isReadOnly());
      edit->setReadOnly(true);
    }
    RequestAspService(u"kiv8", prefixedId, siteId, answer);
  }
  switch (ReadAccountState(answer)) {
    case TAccountState::NotFromService:
      ShowMessage(u"인터넷환경에 문제가 있습니다. 잠시후 다시 시도해주세요.", MB_OK | MB_ICONERROR);
      return false;
    case TAccountState::SettingsWrong:
      ShowMessage(u"계정설정에 문제가 있습니다.\r입력하신 계정을 확인하시거나 뮤라온으로 연락주세요.",
                  MB_OK | MB_ICONINFORMATION);
      return false;
    case TAccountState::Expired:
      ShowMessage(u"계정이 만료되었습니다. 뮤라온으로 연락주세요.", MB_OK | MB_ICONERROR);
      return false;
    case TAccountState::Active: break;
  }
  // The server goes into the configuration file.
  if (!FitsConfigFile(answer[1])) {
    ShowMessage(u"계정서버 이름에 설정 파일에 저장할 수 없는 문자가 있습니다.\r뮤라온으로 연락주세요.",
                MB_OK | MB_ICONERROR);
    return false;
  }
  AspServer = answer[1];
  AspID = prefixedId;
  SiteID = SiteIdText;
  edAspID->setReadOnly(true);
  edSiteID->setReadOnly(true);
  AspChecked = true;
  return true;
}

UString TMainForm::AspServiceUrl(const UString& Host, const UString& AppName, const UString& AspId, int32_t SiteId) {
  auto encoded = [](const UString& value) {
    return QString::fromLatin1(QUrl::toPercentEncoding(Q(value))).toStdU16String();
  };
  return u"http://" + Host + u"/aspservice/AspService.php?appname=" + encoded(AppName) + u"&aspname=" + encoded(AspId) +
         u"&siteid=" + IntToStr(SiteId);
}

void TMainForm::RequestAspService(const UString& AppName, const UString& AspId, int32_t SiteId, TAspSlots& Slots) {
  for (bool fallback : {false, true}) {
    const UString url = AspServiceUrl(FPlatform.AspHost(fallback), AppName, AspId, SiteId);
    SplitAccountAnswer(FPlatform.BrowsePageText(url), Slots);
    if (IsAccountServiceAnswer(Slots)) return;
  }
}

void TMainForm::ApplicationEventsException(QObject*, const std::exception& E) {
  if (dynamic_cast<const EAbort*>(&E) != nullptr) return;
  const auto* own = dynamic_cast<const Exception*>(&E);
  const UString message = own != nullptr ? own->Message() : Utf8ToUtf16Lenient(E.what());
  const UString lowered = LowerCaseAscii(message);

  if (Pos(u"socket", lowered) > 0) {
    // The connection was refused or lost: offer to open it again until it
    // is open, the operator declines, or cancels.
    const UString reason =
        Pos(u"can't connect", lowered) > 0 ? UString(u"해당계정서버에 연결되지 않았습니다.") : message;
    const UString text = reason + u"\r서버연결을 다시 시도할까요? 취소시 프로그램이 강제종료됩니다.";
    for (;;) {
      if (FRecoveryConnection != nullptr && FRecoveryConnection->Connected()) return;
      switch (ShowMessage(text, MB_YESNOCANCEL | MB_ICONERROR)) {
        case IDYES:
          if (FRecoveryConnection != nullptr) {
            try {
              FRecoveryConnection->Open();
            } catch (...) {
              // A failed attempt only leads to the next question.
            }
          }
          break;
        case IDNO: return;
        default: FPlatform.Terminate(); return;
      }
    }
  }

  // Any other failure: the operator retries by pressing confirm again.
  if (ShowMessage(message + u"\r작업요청을 다시 시도할까요? 아닐경우 프로그램이 강제종료됩니다.",
                  MB_RETRYCANCEL | MB_ICONERROR) == IDCANCEL)
    FPlatform.Terminate();
}

void TMainForm::RouteException(const std::exception& E) noexcept {
  try {
    ApplicationEventsException(this, E);
  } catch (...) {
    // The hook's own failure has nowhere further to go.
  }
}

template <typename Handler>
bool TMainForm::Guarded(Handler&& handler) {
  try {
    handler();
    return true;
  } catch (const std::exception& e) {
    RouteException(e);
  } catch (...) {
    RouteException(Exception(u"Unknown exception"));
  }
  return false;
}

}  // namespace vix
