#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "MySql/MySQLVixProvider.h"
#include "ScriptedPlatform.h"
#include "TestSupport.h"
#include "app/AppConfig.h"
#include "app/fmMain.h"
#include "rtl/IniFiles.h"
#include "rtl/SysUtils.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::TScriptedPlatform;

// The form with its protected helpers in reach.
class TTestForm : public TMainForm {
 public:
  using TMainForm::AuthenticationSucceeded;
  using TMainForm::CheckAspAccount;
  using TMainForm::CheckUser;
  using TMainForm::CleanInput;
  using TMainForm::SplitText;
  using TMainForm::TMainForm;

  // Set: the user check answers this without the database, for the tests of
  // what comes before it.
  std::optional<bool> UserCheckAnswer;
  bool CheckUser(const UString& Server, const UString& Database, const UString& SiteId, const UString& UserName,
                 const UString& Password) override {
    if (UserCheckAnswer) return *UserCheckAnswer;
    return TMainForm::CheckUser(Server, Database, SiteId, UserName, Password);
  }
};

const UString kInternet = u"인터넷환경에 문제가 있습니다. 잠시후 다시 시도해주세요.";
const UString kAccountSettings = u"계정설정에 문제가 있습니다.\r입력하신 계정을 확인하시거나 뮤라온으로 연락주세요.";
const UString kExpired = u"계정이 만료되었습니다. 뮤라온으로 연락주세요.";
const UString kRetryQuestion = u"\r작업요청을 다시 시도할까요? 아닐경우 프로그램이 강제종료됩니다.";
const UString kReconnectQuestion = u"\r서버연결을 다시 시도할까요? 취소시 프로그램이 강제종료됩니다.";

// A loopback port where nothing listens (it was free a moment ago).
int32_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("no free loopback port");
  ::close(fd);
  return ntohs(address.sin_port);
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override { test::TestApplication(); }

  TTestForm& Form() {
    if (!FForm) {
      FForm = std::make_unique<TTestForm>(Platform);
      FForm->show();
    }
    return *FForm;
  }
  // Shows the form as the active window, so that keys reach it.
  TTestForm& ActiveForm() {
    TTestForm& form = Form();
    form.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
    return form;
  }
  void Enter(const UString& asp, const UString& site, const UString& user, const UString& password) {
    TTestForm& form = Form();
    form.edAspID->setText(QString::fromStdU16String(asp));
    form.edSiteID->setText(QString::fromStdU16String(site));
    form.edUserName->setText(QString::fromStdU16String(user));
    form.edPassword->setText(QString::fromStdU16String(password));
  }
  static UString Text(const QLineEdit* edit) { return edit->text().toStdU16String(); }

  TScriptedPlatform Platform;
  std::unique_ptr<TTestForm> FForm;
};

TEST_F(MainFormTest, ValidationStopsAtTheFirstFailingInputWithItsMessageAndFocus) {
  using Edit = QLineEdit* TMainForm::*;
  struct Case {
    const char16_t* asp;
    const char16_t* site;
    const char16_t* user;
    const char16_t* password;
    const char16_t* message;  // nullptr: the inputs pass
    Edit focus;
  };
  const Case cases[] = {
      {u"", u"1", u"kim", u"pw", u"계정 아이디를 입력하세요.", &TMainForm::edAspID},
      {u" '\" ", u"1", u"kim", u"pw", u"계정 아이디를 입력하세요.", &TMainForm::edAspID},
      {u"shop", u"", u"kim", u"pw", u"매장번호를 입력하세요.", &TMainForm::edSiteID},
      {u"shop", u"0", u"kim", u"pw", u"매장번호 형식이 잘못되었습니다.", &TMainForm::edSiteID},
      {u"shop", u"-5", u"kim", u"pw", u"매장번호 형식이 잘못되었습니다.", &TMainForm::edSiteID},
      {u"shop", u"1", u"123", u"kvmt2719", u"초기설정 아이디로는 사용자 인증이 불가능합니다.", &TMainForm::edUserName},
      {u"shop", u"1", u"head", u"pw", u"초기설정 아이디로는 사용자 인증이 불가능합니다.", &TMainForm::edUserName},
      {u"shop", u"1", u"   ", u"pw", u"사용자 아이디를 입력하세요.", &TMainForm::edUserName},
      {u"shop", u"1", u"", u"", u"사용자 아이디를 입력하세요.", &TMainForm::edUserName},
      {u"shop", u"1", u"kim", u"  ", u"비밀번호를 입력하세요.", &TMainForm::edPassword},
      {u"shop", u"1", u"Head", u"pw", nullptr, nullptr},
      {u"shop", u"1", u"HEAD", u"pw", nullptr, nullptr},
      {u"shop", u"007", u"kim", u"pw", nullptr, nullptr},
      {u"shop", u"$1F", u"kim", u"pw", nullptr, nullptr},
      {u"shop", u"1", u" ", u"kvmt2719", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(UString(c.asp) + u"|" + c.site + u"|" + c.user + u"|" + c.password));
    TScriptedPlatform platform;
    platform.Pages = {u"aspservice;dbhost;x;1"};
    TTestForm form(platform);
    form.UserCheckAnswer = false;
    form.show();
    form.edAspID->setText(QString::fromStdU16String(c.asp));
    form.edSiteID->setText(QString::fromStdU16String(c.site));
    form.edUserName->setText(QString::fromStdU16String(c.user));
    form.edPassword->setText(QString::fromStdU16String(c.password));
    form.btOkClick(form.btOk);
    if (c.message == nullptr) {
      EXPECT_TRUE(platform.Messages.empty()) << ToUtf8(platform.Messages.front().Text);
      EXPECT_EQ(platform.Urls.size(), 1u);
      EXPECT_TRUE(form.AspChecked);
      continue;
    }
    ASSERT_EQ(platform.Messages.size(), 1u);
    EXPECT_EQ(platform.Messages[0].Text, UString(c.message));
    EXPECT_EQ(platform.Messages[0].Caption, u"확 인");
    EXPECT_EQ(platform.Messages[0].Flags, 0x40u);
    EXPECT_EQ(form.focusWidget(), form.*c.focus);
    EXPECT_TRUE(platform.Urls.empty());
  }
}

TEST_F(MainFormTest, CleanInputTrimsBlanksAndControlsAndDropsQuotes) {
  const std::pair<UString, UString> cases[] = {
      {u"  ab\"c'd  ", u"abcd"}, {u"\t\r\n x \x01", u"x"}, {u"A\"B", u"AB"},         {u"'\"'", u""},
      {u"a b", u"a b"},          {u" ' a ' ", u" a "},     {u"\u3000x", u"\u3000x"},
  };
  for (const auto& [input, cleaned] : cases) EXPECT_EQ(Form().CleanInput(input), cleaned) << ToUtf8(input);
}

TEST_F(MainFormTest, ConfirmShowsTheCleanedTextsEvenWhenValidationFails) {
  Enter(u"  ab\"c'd ", u" 7 ", u" 'kim' ", u"");
  Form().btOkClick(Form().btOk);
  EXPECT_EQ(Text(Form().edAspID), u"abcd");
  EXPECT_EQ(Text(Form().edSiteID), u"7");
  EXPECT_EQ(Text(Form().edUserName), u"kim");
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"비밀번호를 입력하세요.");
}

TEST_F(MainFormTest, ArrowsAndEnterMoveTheFocusAlongTheTabOrder) {
  TTestForm& form = ActiveForm();
  struct Case {
    QWidget* from;
    Qt::Key key;
    QWidget* to;
  };
  const Case cases[] = {
      {form.edSiteID, Qt::Key_Up, form.edAspID},          {form.edPassword, Qt::Key_Down, form.btOk},
      {form.edUserName, Qt::Key_Return, form.edPassword}, {form.edAspID, Qt::Key_Enter, form.edSiteID},
      {form.btOk, Qt::Key_Down, form.btCancel},           {form.edAspID, Qt::Key_Up, form.btCancel},
  };
  for (const Case& c : cases) {
    c.from->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), c.from);
    QTest::keyClick(c.from, c.key);
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), c.to) << c.from->metaObject()->className() << " key " << c.key;
  }
}

TEST_F(MainFormTest, UpAndDownAreConsumedButEnterReachesTheFocusedControl) {
  TTestForm& form = ActiveForm();
  form.edUserName->setText(QStringLiteral("kim"));
  form.edUserName->setFocus();
  form.edUserName->setCursorPosition(1);
  // Down would move the cursor to the end of the line if the edit saw it.
  QTest::keyClick(form.edUserName, Qt::Key_Down);
  EXPECT_EQ(form.edUserName->cursorPosition(), 1);
  QCoreApplication::processEvents();

  int returns = 0;
  QObject::connect(form.edSiteID, &QLineEdit::returnPressed, [&] { ++returns; });
  form.edSiteID->setFocus();
  QTest::keyClick(form.edSiteID, Qt::Key_Return);
  EXPECT_EQ(returns, 1);
}

TEST_F(MainFormTest, EnterOrSpaceOnTheFocusedConfirmButtonPressesIt) {
  TTestForm& form = ActiveForm();
  // Password typed, Enter to the confirm button, Enter again.
  form.edAspID->setText(QString());
  form.edPassword->setFocus();
  QTest::keyClick(form.edPassword, Qt::Key_Return);
  QCoreApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), form.btOk);
  QTest::keyClick(form.btOk, Qt::Key_Return);
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"계정 아이디를 입력하세요.");

  QCoreApplication::processEvents();
  form.btOk->setFocus();
  QTest::keyClick(form.btOk, Qt::Key_Space);
  EXPECT_EQ(Platform.Messages.size(), 2u);
}

TEST_F(MainFormTest, TypingIsLowerCasedInTheAccountIdAndDigitsOnlyInTheStoreNumber) {
  TTestForm& form = ActiveForm();
  EXPECT_EQ(Text(form.edSiteID), u"1");
  form.edAspID->setFocus();
  QTest::keyClicks(form.edAspID, QStringLiteral("ShOp01"));
  EXPECT_EQ(Text(form.edAspID), u"shop01");
  form.edSiteID->setFocus();
  form.edSiteID->end(false);
  QTest::keyClicks(form.edSiteID, QStringLiteral("2a-3 $"));
  EXPECT_EQ(Text(form.edSiteID), u"123");
}

TEST_F(MainFormTest, PasswordShowsHashesAndKeepsTheText) {
  TTestForm& form = ActiveForm();
  form.edPassword->setFocus();
  QTest::keyClicks(form.edPassword, QStringLiteral("Se cret"));
  EXPECT_EQ(Text(form.edPassword), u"Se cret");
  EXPECT_EQ(form.edPassword->displayText(), QStringLiteral("#######"));
}

TEST_F(MainFormTest, AccountCheckFollowsTheServiceAnswer) {
  struct Case {
    const char* what;
    std::vector<UString> pages;  // primary, then fallback
    size_t requests;
    const UString* message;  // nullptr: the check passes
    unsigned flags;
    const char16_t* server;
  };
  const Case cases[] = {
      {"active account", {u"aspservice;dbhost1;x;1"}, 1, nullptr, 0, u"dbhost1"},
      {"pieces 2 and 3 missing", {u"aspservice;dbhost1"}, 1, nullptr, 0, u"dbhost1"},
      {"settings wrong", {u"aspservice;False;x;1"}, 1, &kAccountSettings, 0x40, nullptr},
      {"expired", {u"aspservice;dbhost1;x;0"}, 1, &kExpired, 0x10, nullptr},
      {"service name only in piece 1", {u"x;aspservice;y", u"aspservice;dbhost2;;1"}, 2, nullptr, 0, u"dbhost2"},
      {"fallback keeps pieces of the first answer", {u"a;b;c;d;e", u"aspservice;dbhost2"}, 2, nullptr, 0, u"dbhost2"},
      {"kept slot 3 says expired", {u"a;b;c;0;e", u"aspservice;dbhost2"}, 2, &kExpired, 0x10, nullptr},
      {"primary unreachable",
       {u"The page cannot be displayed (ConnectionRefusedError)", u"aspservice;dbhost3;x;1"},
       2,
       nullptr,
       0,
       u"dbhost3"},
      {"both unreachable", {u"", u"<html>404</html>"}, 2, &kInternet, 0x10, nullptr},
      {"fallback not from the service either", {u"nope", u"aspservice2;False"}, 2, &kAccountSettings, 0x40, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TScriptedPlatform platform;
    platform.Pages.assign(c.pages.begin(), c.pages.end());
    TTestForm form(platform);
    form.UserCheckAnswer = false;
    form.show();
    form.edAspID->setText(QStringLiteral("shop01"));
    form.edSiteID->setText(QStringLiteral("007"));
    form.edUserName->setText(QStringLiteral("kim"));
    form.edPassword->setText(QStringLiteral("pw"));
    form.btOkClick(form.btOk);

    ASSERT_EQ(platform.Urls.size(), c.requests);
    EXPECT_EQ(platform.Urls[0],
              u"http://primary.test/aspservice/AspService.php?appname=kiv8&aspname=k8shop01&siteid=7");
    if (c.requests > 1) {
      EXPECT_EQ(platform.Urls[1],
                u"http://fallback.test:8080/aspservice/AspService.php?appname=kiv8&aspname=k8shop01&siteid=7");
    }
    const bool passes = c.message == nullptr;
    EXPECT_EQ(form.AspChecked, passes);
    EXPECT_EQ(form.edAspID->isReadOnly(), passes);
    EXPECT_EQ(form.edSiteID->isReadOnly(), passes);
    if (passes) {
      EXPECT_TRUE(platform.Messages.empty());
      EXPECT_EQ(form.AspServer, UString(c.server));
      EXPECT_EQ(form.AspID, u"k8shop01");
      EXPECT_EQ(form.SiteID, u"007");
    } else {
      ASSERT_EQ(platform.Messages.size(), 1u);
      EXPECT_EQ(platform.Messages[0].Text, *c.message);
      EXPECT_EQ(platform.Messages[0].Flags, c.flags);
      EXPECT_EQ(platform.Messages[0].Caption, u"확 인");
      EXPECT_EQ(form.AspServer, u"");
    }
  }
}

TEST_F(MainFormTest, APassedCheckIsNotRepeated) {
  Form().UserCheckAnswer = false;
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Enter(u"shop01", u"3", u"kim", u"pw");
  Form().btOkClick(Form().btOk);
  ASSERT_TRUE(Form().AspChecked);
  Form().btOkClick(Form().btOk);
  EXPECT_EQ(Platform.Urls.size(), 1u);
  EXPECT_TRUE(Platform.Messages.empty());
  EXPECT_TRUE(Form().edAspID->isReadOnly());
  EXPECT_TRUE(Form().edSiteID->isReadOnly());
  EXPECT_FALSE(Form().edUserName->isReadOnly());
}

TEST_F(MainFormTest, AFailedCheckIsAskedAgainOnTheNextPress) {
  Form().UserCheckAnswer = false;
  Platform.Pages = {u"aspservice;dbhost1;x;0", u"aspservice;dbhost1;x;1"};
  Enter(u"shop01", u"3", u"kim", u"pw");
  Form().btOkClick(Form().btOk);
  EXPECT_FALSE(Form().AspChecked);
  EXPECT_FALSE(Form().edAspID->isReadOnly());
  Form().btOkClick(Form().btOk);
  EXPECT_EQ(Platform.Urls.size(), 2u);
  EXPECT_TRUE(Form().AspChecked);
}

TEST_F(MainFormTest, APressWhileTheServiceIsAskedStartsNoSecondCheck) {
  Form().UserCheckAnswer = false;
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Enter(u"shop01", u"3", u"kim", u"pw");
  int nested = 0;
  Platform.WhileLoading = [&] {
    if (nested++ == 0) Form().btOk->click();
  };
  Form().btOk->click();
  EXPECT_EQ(Platform.Urls.size(), 1u);
  EXPECT_TRUE(Platform.Messages.empty());
  EXPECT_TRUE(Form().AspChecked);
}

TEST_F(MainFormTest, TheAccountIdIsPercentEncodedInTheRequest) {
  Enter(u"a&siteid=9#b", u"12", u"kim", u"pw");
  Form().btOkClick(Form().btOk);
  ASSERT_EQ(Platform.Urls.size(), 2u);
  EXPECT_EQ(Platform.Urls[0],
            u"http://primary.test/aspservice/AspService.php?appname=kiv8&aspname=k8a%26siteid%3D9%23b&siteid=12");
  EXPECT_EQ(TMainForm::AspServiceUrl(u"h", u"kiv8", u"k8가 나", 1),
            u"http://h/aspservice/AspService.php?appname=kiv8&aspname=k8%EA%B0%80%20%EB%82%98&siteid=1");
}

TEST_F(MainFormTest, SplitTextFillsTheSlotsPieceByPiece) {
  struct Case {
    UString text;
    std::vector<UString> expected;  // pieces 0.. after splitting into pieces pre-filled with "old"
  };
  UString many;
  for (int i = 0; i <= 25; ++i) many += (i ? u";p" : u"p") + IntToStr(i);
  std::vector<UString> manyExpected;
  for (int i = 0; i < 20; ++i) manyExpected.push_back(u"p" + IntToStr(i));
  manyExpected.push_back(u"p20;p21;p22;p23;p24;p25");
  const Case cases[] = {
      {u"a;b;c", {u"a", u"b", u"c", u"old"}},
      {u"a;;b;", {u"a", u"", u"b", u"old"}},
      {u";x", {u"", u"x", u"old"}},
      {u"", {u"old", u"old"}},
      {u"no separator", {u"no separator", u"old"}},
      {many, manyExpected},
      {UString(40, u';'), {u"", u"", u"", u""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    TAspSlots pieces;
    pieces.fill(u"old");
    TTestForm::SplitText(c.text, u";", pieces);
    for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(pieces[i], c.expected[i]) << "slot " << i;
  }
  TAspSlots pieces;
  TTestForm::SplitText(UString(40, u';'), u";", pieces);
  EXPECT_EQ(pieces[19], u"");
  EXPECT_EQ(pieces[20], UString(20, u';'));
  TTestForm::SplitText(u"a<>b<>c", u"<>", pieces);
  EXPECT_EQ(pieces[1], u"b");
  EXPECT_EQ(pieces[2], u"c");
}

TEST_F(MainFormTest, WithoutAnArgumentTheFormAsksToTerminateAndStillShows) {
  Platform.Argument.clear();
  TTestForm& form = Form();
  EXPECT_EQ(Platform.Terminations, 1);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.focusWidget(), form.edAspID);
  EXPECT_FALSE(form.lOk);
}

TEST_F(MainFormTest, StartUpReadsTheArgumentAndSetsTheFixedValues) {
  Platform.Argument = u"HeadOffice";
  TTestForm& form = Form();
  EXPECT_EQ(Platform.Terminations, 0);
  EXPECT_EQ(form.Parameter, u"HeadOffice");
  EXPECT_EQ(form.MasterPassword, u"kvmt2719");
  EXPECT_EQ(form.windowTitle(), QStringLiteral("사용자 인증"));
  EXPECT_EQ(form.size(), QSize(500, 350));
  EXPECT_EQ(form.btOk->text(), QStringLiteral("   확인"));
  EXPECT_EQ(form.btCancel->text(), QStringLiteral("   취소"));
  EXPECT_EQ(form.edUserName->geometry(), QRect(120, 109, 350, 21));
}

TEST_F(MainFormTest, ANonNumericStoreNumberEndsTheConfirmPressInTheRetryPrompt) {
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Platform.Answers = {IDRETRY};
  Enter(u"shop01", u"12a", u"kim", u"pw");
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"'12a' is not a valid integer value" + kRetryQuestion);
  EXPECT_EQ(Platform.Messages[0].Flags, 0x15u);
  EXPECT_EQ(Platform.Terminations, 0);
  EXPECT_EQ(Platform.Messages[0].Caption, u"확 인");
  EXPECT_TRUE(Platform.Urls.empty());
  EXPECT_FALSE(Form().AspChecked);
}

// --- the configuration file and the ways the dialog ends ---------------------

const UString kCancelQuestion =
    u"사용자 인증을 하지 않으면 프로그램을 사용할 수 없습니다.\r사용자 인증을 종료 하시겠습니까?";

// The form's folder is a fresh temporary one; DemoPOS.ini in it is the file.
class ConfigFileTest : public MainFormTest {
 protected:
  void SetUp() override {
    MainFormTest::SetUp();
    ASSERT_TRUE(FDir.isValid());
    Platform.Dir = FDir.path().toStdU16String() + u"/";
  }
  std::string IniPath() const { return ToUtf8(Platform.Dir) + "DemoPOS.ini"; }
  std::string Ini() const {
    std::ifstream in(IniPath(), std::ios::binary);
    if (!in) return "<none>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static std::string Values(const UString& server, const UString& aspId, const UString& siteId) {
    return "[Server Info]\r\nServer=" + ToUtf8(server) + "\r\nAspID=" + ToUtf8(aspId) +
           "\r\nPassword=" + ToUtf8(config::kPasswordPlaceholder) + "\r\nSiteID=" + ToUtf8(siteId) + "\r\n";
  }
  static std::string Defaults() { return Values(config::kDefaultDbHost, u"kiv8", u"1"); }

  QTemporaryDir FDir;
};

TEST_F(ConfigFileTest, CancelAsksAndYesClosesWithTheDefaultValues) {
  struct Case {
    int answer;
    bool closes;
  };
  for (const Case c : {Case{IDYES, true}, Case{IDNO, false}}) {
    SCOPED_TRACE(c.answer);
    TScriptedPlatform platform;
    platform.Dir = Platform.Dir;
    platform.Answers = {c.answer};
    std::remove(IniPath().c_str());
    TTestForm form(platform);
    form.show();
    form.btCancel->click();
    ASSERT_EQ(platform.Messages.size(), 1u);
    EXPECT_EQ(platform.Messages[0].Text, kCancelQuestion);
    EXPECT_EQ(platform.Messages[0].Flags, 0x14u);
    EXPECT_EQ(platform.Messages[0].Caption, u"확 인");
    EXPECT_EQ(form.isVisible(), !c.closes);
    EXPECT_EQ(Ini(), c.closes ? Defaults() : "<none>");
    EXPECT_EQ(platform.Terminations, 0);
  }
}

TEST_F(ConfigFileTest, TheCloseBoxAfterCancelAnsweredNoWritesTheDefaultsWithoutAQuestion) {
  Platform.Answers = {IDNO};
  Form().btCancel->click();
  ASSERT_TRUE(Form().isVisible());
  EXPECT_TRUE(Form().close());
  EXPECT_FALSE(Form().isVisible());
  EXPECT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Ini(), Defaults());
}

TEST_F(ConfigFileTest, WithoutAnArgumentAClosingFormWritesNoFile) {
  Platform.Argument.clear();
  EXPECT_TRUE(Form().close());
  EXPECT_TRUE(QDir(FDir.path()).isEmpty());
  EXPECT_TRUE(Platform.Messages.empty());
}

TEST_F(ConfigFileTest, TheDefaultsReplaceAnEarlierRunsValuesAndKeepTheRestOfTheFile) {
  std::ofstream(IniPath(), std::ios::binary)
      << "; installer\r\n[Install]\r\nPath=C:\\POS\r\n[server info]\r\nSITEID=007\r\nServer=dbhost1\r\n"
         "Extra=x\r\n";
  EXPECT_TRUE(Form().close());
  // A replaced key keeps the file's spelling, as the profile functions keep it.
  EXPECT_EQ(Ini(), "; installer\r\n[Install]\r\nPath=C:\\POS\r\n[server info]\r\nSITEID=1\r\nServer=" +
                       ToUtf8(config::kDefaultDbHost) +
                       "\r\nExtra=x\r\nAspID=kiv8\r\nPassword=" + ToUtf8(config::kPasswordPlaceholder) + "\r\n");
}

TEST_F(ConfigFileTest, AFailedWriteAbandonsTheCloseAndEndsInTheRetryPrompt) {
  Platform.Dir = u"/nonexistent/";
  Platform.Answers = {IDRETRY, IDCANCEL};
  EXPECT_FALSE(Form().close());
  EXPECT_TRUE(Form().isVisible());
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"Unable to write to /nonexistent/DemoPOS.ini" + kRetryQuestion);
  EXPECT_EQ(Platform.Messages[0].Flags, 0x15u);
  EXPECT_EQ(Platform.Terminations, 0);
  // Cancel in the prompt ends the program; the form is not closed by it.
  EXPECT_FALSE(Form().close());
  EXPECT_EQ(Platform.Terminations, 1);
  EXPECT_TRUE(Form().isVisible());
}

TEST_F(ConfigFileTest, SuccessWritesTheAccountsValuesShowsTheMessageAndCloses) {
  Form().AspServer = u"dbhost1";
  Form().AspID = u"k8shop01";
  Form().SiteID = u"007";
  Form().AuthenticationSucceeded();
  EXPECT_TRUE(Form().lOk);
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"사용자 인증이 완료 되었습니다.");
  EXPECT_EQ(Platform.Messages[0].Flags, 0x40u);
  EXPECT_FALSE(Form().isVisible());
  // The close query that followed wrote nothing over the success values.
  EXPECT_EQ(Ini(), Values(u"dbhost1", u"k8shop01", u"007"));
}

TEST_F(ConfigFileTest, SuccessThatCannotWriteTheFileStopsBeforeTheMessage) {
  Platform.Dir = u"/nonexistent/";
  Form().AspServer = u"dbhost1";
  EXPECT_THROW(Form().AuthenticationSucceeded(), EIniFileException);
  EXPECT_FALSE(Form().lOk);
  EXPECT_TRUE(Platform.Messages.empty());
  EXPECT_TRUE(Form().isVisible());
}

// --- failure recovery ---------------------------------------------------------

// A connection whose open attempts succeed or fail as scripted.
class TScriptedConnection : public TRecoveryConnection {
 public:
  bool IsConnected = false;
  std::deque<bool> OpenResults;  // true: that attempt connects; false once they run out
  int Opens = 0;

  bool Connected() const override { return IsConnected; }
  void Open() override {
    ++Opens;
    const bool ok = !OpenResults.empty() && OpenResults.front();
    if (!OpenResults.empty()) OpenResults.pop_front();
    if (!ok) throw Exception(u"Can't connect to MySQL server on 'db' (10061)");
    IsConnected = true;
  }
};

TEST_F(MainFormTest, TheHookTellsAReconnectFromARetryByTheMessageText) {
  const UString refused =
      u"Can't connect to MySQL server on 'dbhost1' (10061)\r\nSocket error on connect. WSAGetLastError return "
      u"10061($274D)";
  const UString lost =
      u"Lost connection to MySQL server during query\r\nSOCKET error on read. WSAGetLastError return "
      u"10054($2746)";
  const UString notConnected = u"해당계정서버에 연결되지 않았습니다.";
  struct Case {
    const char* what;
    UString message;
    bool connectedAtEntry;
    std::vector<int> answers;
    std::vector<bool> openResults;
    std::vector<UString> shown;  // the text of each prompt, question included
    unsigned flags;
    int opens;
    int terminations;
  };
  const Case cases[] = {
      {"refused, Yes while down asks again, Yes once up ends quietly",
       refused,
       false,
       {IDYES, IDYES},
       {false, true},
       {notConnected + kReconnectQuestion, notConnected + kReconnectQuestion},
       0x13,
       2,
       0},
      {"refused, No leaves the dialog open",
       refused,
       false,
       {IDNO},
       {},
       {notConnected + kReconnectQuestion},
       0x13,
       0,
       0},
      {"refused, Cancel terminates", refused, false, {IDCANCEL}, {}, {notConnected + kReconnectQuestion}, 0x13, 0, 1},
      {"lost: the message as raised", lost, false, {IDYES}, {true}, {lost + kReconnectQuestion}, 0x13, 1, 0},
      {"connected at entry: no prompt", lost, true, {}, {}, {}, 0, 0, 0},
      {"any letter case",
       u"CAN'T CONNECT ... sOcKeT",
       false,
       {IDNO},
       {},
       {notConnected + kReconnectQuestion},
       0x13,
       0,
       0},
      {"A-Z only: a Kelvin sign is no k",
       u"Can't connect ... SOC\u212AET",
       false,
       {IDRETRY},
       {},
       {u"Can't connect ... SOC\u212AET" + kRetryQuestion},
       0x15,
       0,
       0},
      {"no socket text: retry",
       u"Can't connect to MySQL server on 'x' (10060)\r\nConnection timed out",
       false,
       {IDRETRY},
       {},
       {u"Can't connect to MySQL server on 'x' (10060)\r\nConnection timed out" + kRetryQuestion},
       0x15,
       0,
       0},
      {"server error, Cancel terminates",
       u"#42000Unknown database 'k8nobody'",
       true,
       {IDCANCEL},
       {},
       {u"#42000Unknown database 'k8nobody'" + kRetryQuestion},
       0x15,
       0,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TScriptedPlatform platform;
    platform.Answers.assign(c.answers.begin(), c.answers.end());
    TScriptedConnection connection;
    connection.IsConnected = c.connectedAtEntry;
    connection.OpenResults.assign(c.openResults.begin(), c.openResults.end());
    TTestForm form(platform);
    form.SetRecoveryConnection(&connection);
    form.ApplicationEventsException(&form, Exception(c.message));
    ASSERT_EQ(platform.Messages.size(), c.shown.size());
    for (size_t i = 0; i < c.shown.size(); ++i) {
      EXPECT_EQ(platform.Messages[i].Text, c.shown[i]);
      EXPECT_EQ(platform.Messages[i].Flags, c.flags);
      EXPECT_EQ(platform.Messages[i].Caption, u"확 인");
    }
    EXPECT_EQ(connection.Opens, c.opens);
    EXPECT_EQ(platform.Terminations, c.terminations);
  }
}

TEST_F(MainFormTest, TheHookIgnoresTheSilentAbortAndReadsOtherExceptionsToo) {
  Form().ApplicationEventsException(&Form(), EAbort());
  EXPECT_TRUE(Platform.Messages.empty());
  Platform.Answers = {IDNO};
  Form().ApplicationEventsException(&Form(), std::runtime_error("socket closed"));
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"socket closed" + kReconnectQuestion);
}

}  // namespace
}  // namespace vix

namespace vix {
namespace {

// --- the user check -------------------------------------------------------

const UString kRefusedPrompt =
    u"해당계정서버에 연결되지 않았습니다.\r서버연결을 다시 시도할까요? 취소시 프로그램이 강제종료됩니다.";

TEST_F(MainFormTest, TheAccountConnectionKeepsItsStoredSettingsAndStaysClosed) {
  const TVixConnection& c = *Form().cnServer;
  EXPECT_EQ(c.GetProviderName(), u"MySQL");
  EXPECT_EQ(c.GetServer(), u"localhost");
  EXPECT_EQ(c.GetPort(), 3307);
  EXPECT_EQ(c.GetDatabase(), u"aasp");
  EXPECT_EQ(c.GetUsername(), u"root");
  EXPECT_EQ(c.GetPassword(), u"vask");
  EXPECT_EQ(c.SpecificOptions().Lines(), std::vector<UString>{u"MySQL.UseUnicode=True"});
  EXPECT_FALSE(c.GetLoginPrompt());
  EXPECT_FALSE(c.GetConnected());
  EXPECT_FALSE(Form().Query->Active());
}

TEST_F(ConfigFileTest, TheMasterPasswordPassesTheUserCheckWithoutTheDatabase) {
  RegisterMySQLVixProvider();
  Platform.Pages = {u"aspservice;otherhost;x;1"};
  Enter(u"demo", u"007", u"", u"kvmt2719");
  Form().btOkClick(Form().btOk);
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"사용자 인증이 완료 되었습니다.");
  EXPECT_EQ(Ini(), Values(u"otherhost", u"k8demo", u"007"));
  // Not one setting of the connection changed, and it never opened.
  EXPECT_EQ(Form().cnServer->GetServer(), u"localhost");
  EXPECT_EQ(Form().cnServer->GetDatabase(), u"aasp");
  EXPECT_FALSE(Form().cnServer->GetConnected());
}

TEST_F(ConfigFileTest, ARefusedAccountDatabaseOffersToReconnectAndThePressCanBeRepeated) {
  RegisterMySQLVixProvider();
  Platform.Pages = {u"aspservice;localhost;x;1"};
  Form().cnServer->SetPort(ClosedPort());
  Enter(u"demo", u"7", u"kim", u"pw");
  // Yes while the server is still refused asks again; No leaves the dialog.
  Platform.Answers = {IDYES, IDNO};
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 2u);
  for (const auto& m : Platform.Messages) {
    EXPECT_EQ(m.Text, kRefusedPrompt);
    EXPECT_EQ(m.Flags, 0x13u);
  }
  EXPECT_EQ(Platform.Terminations, 0);
  EXPECT_FALSE(Form().cnServer->GetConnected());
  EXPECT_TRUE(Form().AspChecked);
  EXPECT_TRUE(Form().isVisible());
  EXPECT_EQ(Ini(), "<none>");
  // The next press repeats the user check only; Cancel ends the program
  // without the close query.
  Platform.Answers = {IDCANCEL};
  Form().btOk->click();
  EXPECT_EQ(Platform.Urls.size(), 1u);
  ASSERT_EQ(Platform.Messages.size(), 3u);
  EXPECT_EQ(Platform.Messages[2].Text, kRefusedPrompt);
  EXPECT_EQ(Platform.Terminations, 1);
  EXPECT_EQ(Ini(), "<none>");
}

TEST_F(MainFormTest, TheUserCheckLogsInAsRootWithThePasswordOfTheServerText) {
  RegisterMySQLVixProvider();
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"localhost", u"vask"}, {u"LOCALHOST", u"pwrq6082"}, {u"127.0.0.1", u"pwrq6082"}};
  for (const auto& [server, password] : cases) {
    SCOPED_TRACE(ToUtf8(server));
    TScriptedPlatform platform;
    platform.Pages = {u"aspservice;" + UString(server) + u";x;1"};
    platform.Answers = {IDNO};
    TTestForm form(platform);
    form.cnServer->SetPort(ClosedPort());
    form.cnServer->SetUsername(u"someone");
    form.show();
    form.edAspID->setText(QStringLiteral("shop"));
    form.edUserName->setText(QStringLiteral("kim"));
    form.edPassword->setText(QStringLiteral("pw"));
    form.btOk->click();
    EXPECT_EQ(form.cnServer->GetServer(), UString(server));
    EXPECT_EQ(form.cnServer->GetDatabase(), u"k8shop");
    EXPECT_EQ(form.cnServer->GetUsername(), u"root");
    EXPECT_EQ(form.cnServer->GetPassword(), UString(password));
    EXPECT_EQ(form.Query->GetSQL(),
              u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
              u":UserName ");
  }
}

}  // namespace
}  // namespace vix

namespace vix {
namespace {

// Runs a shell command; true when it ended with 0.
bool Shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

bool HaveMariaDbServer() {
  return Shell("{ command -v mariadbd || test -x /usr/sbin/mariadbd; } >/dev/null 2>&1");
}

// The demo account database (scripts/demo-database) on a free port of its
// own, data, socket and TLS certificates in `dir`, root's password the one
// for the server text `server`; stopped with the object.
class TDemoDatabase {
 public:
  TDemoDatabase(std::string dir, const std::string& server) : FDir(std::move(dir)), FPort(ClosedPort()) {
    FStarted = Shell("VIX_DEMO_DB_PORT=" + std::to_string(FPort) + " '" VIX_DEMO_DATABASE "' start '" + FDir + "' " +
                     server + " >'" + FDir + ".log' 2>&1");
  }
  ~TDemoDatabase() { Shell("'" VIX_DEMO_DATABASE "' stop '" + FDir + "' >/dev/null 2>&1"); }
  TDemoDatabase(const TDemoDatabase&) = delete;
  TDemoDatabase& operator=(const TDemoDatabase&) = delete;

  bool Started() const { return FStarted; }
  int32_t Port() const { return FPort; }
  const std::string& Dir() const { return FDir; }
  // Runs statements as root over the server's socket.
  bool Sql(const std::string& statements) const {
    return Shell("mariadb --no-defaults --protocol=socket -S '" + FDir + "/mysqld.sock' -uroot -e \"" + statements +
                 "\"");
  }

 private:
  std::string FDir;
  int32_t FPort;
  bool FStarted = false;
};

// The user check's decision table against UserMt of a demo account database
// (port of its own, root with the password for "localhost"), once with the
// server's default escapes and once with NO_BACKSLASH_ESCAPES.
TEST_F(ConfigFileTest, TheUserCheckFollowsUserMt) {
  VIX_REQUIRE_COMPONENT(HaveMariaDbServer(), "MariaDB server");
  RegisterMySQLVixProvider();
  const TDemoDatabase database(ToUtf8(Platform.Dir) + "db", "localhost");
  ASSERT_TRUE(database.Started()) << "the demo database did not start";
  const int32_t port = database.Port();
  auto sql = [&](const std::string& statement) { return database.Sql(statement); };
  // A name with a backslash, and one name twice in store 1: the first row counts.
  ASSERT_TRUE(
      sql("INSERT INTO k8demo.UserMt VALUES (1, 'back\\\\\\\\slash', 'bs1', 1, 1), "
          "(1, 'twin', 'first', 1, 1), (1, 'twin', 'second', 0, 0)"));

  using Edit = QLineEdit* TMainForm::*;
  const UString unknown = u"등록되지 않은 사용자입니다.";
  const UString mismatch = u"비밀번호가 일치하지 않습니다.";
  const UString denied = u"프로그램 설치 권한이 없습니다.";
  struct Case {
    const char16_t* argument;
    const char16_t* site;
    const char16_t* user;
    const char16_t* password;
    const UString* message;  // nullptr: the user may proceed
    Edit focus;
  };
  const Case cases[] = {
      {u"DemoPOS", u"1", u"manager", u"demo1234", nullptr, nullptr},
      {u"DemoPOS", u"007", u"manager", u"store7", nullptr, nullptr},
      {u"DemoPOS", u"1", u"nobody", u"demo1234", &unknown, &TMainForm::edUserName},
      {u"DemoPOS", u"2", u"manager", u"demo1234", &unknown, &TMainForm::edUserName},
      {u"DemoPOS", u"1", u"manager", u"Demo1234", &mismatch, &TMainForm::edPassword},
      {u"DemoPOS", u"1", u"cashier", u"Cash5678", nullptr, nullptr},
      {u"DemoPOS", u"1", u"clerk", u"clerk000", &denied, &TMainForm::edUserName},
      {u"HeadOffice", u"1", u"cashier", u"Cash5678", &denied, &TMainForm::edUserName},
      {u"HeadPOS", u"1", u"cashier", u"Cash5678", &denied, &TMainForm::edUserName},
      {u"HeadPOS", u"1", u"manager", u"demo1234", nullptr, nullptr},
      {u"PosAgent", u"1", u"clerk", u"clerk000", nullptr, nullptr},
      {u"headpos", u"1", u"clerk", u"clerk000", nullptr, nullptr},
      {u"DemoPOS", u"1", u"twin", u"first", nullptr, nullptr},
      {u"DemoPOS", u"1", u"twin", u"second", &mismatch, &TMainForm::edPassword},
      {u"DemoPOS", u"1", u"back\\slash", u"bs1", nullptr, nullptr},
      {u"DemoPOS", u"1", u"x\\ OR 1=1 -- ", u"bs1", &unknown, &TMainForm::edUserName},
  };
  for (const char* mode : {"", "NO_BACKSLASH_ESCAPES"}) {
    ASSERT_TRUE(sql(std::string("SET GLOBAL sql_mode = '") + mode + "'"));
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode) + " " +
                   ToUtf8(UString(c.argument) + u"|" + c.site + u"|" + c.user + u"|" + c.password));
      TScriptedPlatform platform;
      platform.Argument = c.argument;
      TTestForm form(platform);
      form.cnServer->SetPort(port);
      form.show();
      const bool passed = form.CheckUser(u"localhost", u"k8demo", c.site, c.user, c.password);
      EXPECT_TRUE(form.cnServer->GetConnected());
      if (c.message == nullptr) {
        EXPECT_TRUE(passed);
        EXPECT_TRUE(platform.Messages.empty()) << ToUtf8(platform.Messages.front().Text);
        continue;
      }
      EXPECT_FALSE(passed);
      ASSERT_EQ(platform.Messages.size(), 1u);
      EXPECT_EQ(platform.Messages[0].Text, *c.message);
      EXPECT_EQ(platform.Messages[0].Caption, u"확 인");
      EXPECT_EQ(platform.Messages[0].Flags, 0x40u);
      EXPECT_EQ(form.focusWidget(), form.*c.focus);
    }
  }

  // A second check on the same settings keeps the open connection; the
  // close query closes the query and the connection.
  Form().cnServer->SetPort(port);
  ASSERT_TRUE(Form().CheckUser(u"localhost", u"k8demo", u"1", u"manager", u"demo1234"));
  const TZelConnection* session = Form().cnServer->ProviderConnection();
  ASSERT_FALSE(Form().CheckUser(u"localhost", u"k8demo", u"1", u"manager", u"wrong"));
  EXPECT_TRUE(Form().cnServer->GetConnected());
  EXPECT_EQ(Form().cnServer->ProviderConnection(), session);
  EXPECT_TRUE(Form().Query->Active());
  Form().close();
  EXPECT_FALSE(Form().isVisible());
  EXPECT_FALSE(Form().Query->Active());
  EXPECT_FALSE(Form().cnServer->GetConnected());
  EXPECT_EQ(Ini(), Defaults());
}

#ifdef VIX_TUNNEL_SERVER
// The tunnel server (tools/tunnel-server) relaying only to `allow`
// (host:port), with the one account "dialog" / "tunnel-secret"; its files in
// `dir`, its log in <dir>/tunnel.log. Stopped with the object.
class TTunnelServer {
 public:
  TTunnelServer(std::string dir, const std::string& allow) : FDir(std::move(dir)) {
    std::ofstream(FDir + "/tunnel.users") << "dialog:tunnel-secret\n";
    Shell("'" VIX_TUNNEL_SERVER "' --listen 127.0.0.1:0 --port-file '" + FDir + "/tunnel.port' --allow " + allow +
          " --auth-file '" + FDir + "/tunnel.users' 2>'" + FDir + "/tunnel.log' & echo $! >'" + FDir + "/tunnel.pid'");
    for (int i = 0; i < 100 && FPort == 0; ++i) {
      std::ifstream in(FDir + "/tunnel.port");
      if (!(in >> FPort)) {
        FPort = 0;
        QTest::qWait(50);
      }
    }
  }
  ~TTunnelServer() { Shell("kill \"$(cat '" + FDir + "/tunnel.pid' 2>/dev/null)\" 2>/dev/null"); }
  TTunnelServer(const TTunnelServer&) = delete;
  TTunnelServer& operator=(const TTunnelServer&) = delete;

  int Port() const { return FPort; }
  UString Url() const { return u"http://127.0.0.1:" + IntToStr(FPort) + u"/tunnel/"; }
  // What the server has logged so far.
  std::string Log() const {
    std::ifstream in(FDir + "/tunnel.log");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  std::string FDir;
  int FPort = 0;
};

// A confirm press with the demo account's manager while the platform gives
// the account connection the options of one transport: TLS (with the
// server's certificate checked), the HTTP tunnel through a tunnel server, the
// server's own local socket. Each way is shown to be the one taken by a case
// that fails only on it: a CA that did not sign the server's certificate, a
// wrong tunnel password, a tunnel target not on the allow-list, a path that is
// no socket. No prompt shows the tunnel password.
TEST_F(ConfigFileTest, TheConfirmPressReachesTheAccountDatabaseThroughEachTransport) {
  VIX_REQUIRE_COMPONENT(HaveMariaDbServer(), "MariaDB server");
  RegisterMySQLVixProvider();
  // Started for the server text 127.0.0.1: root logs in with "pwrq6082", over
  // TCP and over the socket, whose path the service names as the server.
  const TDemoDatabase database(ToUtf8(Platform.Dir) + "db", "127.0.0.1");
  ASSERT_TRUE(database.Started()) << "the demo database did not start";
  const TTunnelServer tunnel(ToUtf8(Platform.Dir), "127.0.0.1:" + std::to_string(database.Port()));
  ASSERT_NE(tunnel.Port(), 0) << tunnel.Log();

  const UString tls = Utf8ToUtf16(database.Dir()) + u"/tls/";
  const UString socket = Utf8ToUtf16(database.Dir()) + u"/mysqld.sock";
  const std::vector<UString> ssl = {u"MySQL.Protocol=mpSSL", u"MySQL.SSLCACert=" + tls + u"ca.pem"};
  const std::vector<UString> http = {u"MySQL.Protocol=mpHttp", u"MySQL.HttpUrl=" + tunnel.Url(),
                                     u"MySQL.HttpUsername=dialog"};
  auto with = [](std::vector<UString> options, std::initializer_list<UString> more) {
    options.insert(options.end(), more);
    return options;
  };
  struct Case {
    const char* what;
    UString server;  // as the account service names it
    std::vector<UString> options;
    const char16_t* failure;  // nullptr: the authentication succeeds; else a text of the prompt
    unsigned flags;           // of that prompt
  };
  const Case cases[] = {
      {"no options: TCP, as stored", u"127.0.0.1", {}, nullptr, 0},
      {"TLS, the certificate checked against the CA", u"127.0.0.1", with(ssl, {u"MySQL.SSLVerify=CA"}), nullptr, 0},
      {"TLS, CA and host", u"127.0.0.1", with(ssl, {u"MySQL.SSLVerify=Identity"}), nullptr, 0},
      {"TLS, a CA that did not sign the certificate",
       u"127.0.0.1",
       {u"MySQL.Protocol=mpSSL", u"MySQL.SSLVerify=CA", u"MySQL.SSLCACert=" + tls + u"other-ca.pem"},
       u"SSL connection error: handshake failed",
       0x15},
      {"tunnel", u"127.0.0.1", with(http, {u"MySQL.HttpPassword=tunnel-secret"}), nullptr, 0},
      {"tunnel, a wrong password", u"127.0.0.1", with(http, {u"MySQL.HttpPassword=wrong"}),
       u"\r\nCannot establish HTTP connection: HTTP/1.0 401 Unauthorized", 0x15},
      {"tunnel, a server not on its allow-list", u"127.0.0.2", with(http, {u"MySQL.HttpPassword=tunnel-secret"}),
       u"\r\nCannot establish HTTP connection: The tunnel server does not relay to 127.0.0.2:", 0x15},
      {"local socket", socket, {u"MySQL.Protocol=mpSocket"}, nullptr, 0},
      {"local socket, a path that is no socket",
       tls + u"ca.pem",
       {u"MySQL.Protocol=mpSocket"},
       u"Cannot open local socket",
       0x13},
      // The connection would pass over a name it does not know, and so stay on TCP.
      {"a misspelt option, refused before connecting", u"127.0.0.1", with(http, {u"MySQL.HttpPasword=tunnel-secret"}),
       u"The account connection has no option MySQL.HttpPasword", 0x15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(IniPath().c_str());
    TScriptedPlatform platform;
    platform.Dir = Platform.Dir;
    platform.DbOptions = c.options;
    platform.Pages = {u"aspservice;" + c.server + u";x;1"};
    platform.Answers = {c.flags == 0x13 ? IDNO : IDRETRY};
    TTestForm form(platform);
    form.cnServer->SetPort(database.Port());
    form.show();
    form.edAspID->setText(QStringLiteral("demo"));
    form.edUserName->setText(QStringLiteral("manager"));
    form.edPassword->setText(QStringLiteral("demo1234"));
    form.btOk->click();
    ASSERT_EQ(platform.Messages.size(), 1u);
    const UString& shown = platform.Messages[0].Text;
    if (c.failure == nullptr) {
      EXPECT_EQ(shown, u"사용자 인증이 완료 되었습니다.");
      EXPECT_EQ(Ini(), Values(c.server, u"k8demo", u"1"));
      EXPECT_FALSE(form.isVisible());
      continue;
    }
    EXPECT_NE(Pos(c.failure, shown), 0u) << ToUtf8(shown);
    EXPECT_EQ(Pos(u"tunnel-secret", shown), 0u) << ToUtf8(shown);
    EXPECT_EQ(platform.Messages[0].Flags, c.flags);
    EXPECT_EQ(Ini(), "<none>");
    EXPECT_TRUE(form.isVisible());
  }
  // The tunnel that succeeded went through this server to the database (its
  // line is written when it has closed), and the server refused the target
  // that is not allowed.
  const std::string port = std::to_string(database.Port());
  const std::string used = "user=dialog client=127.0.0.1 target=127.0.0.1:" + port;
  std::string log = tunnel.Log();
  for (int i = 0; i < 100 && log.find(used) == std::string::npos; ++i) {
    QTest::qWait(50);
    log = tunnel.Log();
  }
  EXPECT_NE(log.find(used), std::string::npos) << log;
  EXPECT_NE(log.find("target=127.0.0.2:" + port + " (not allowed)"), std::string::npos) << log;
}
#endif

}  // namespace
}  // namespace vix
