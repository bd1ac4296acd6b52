#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <optional>

#include "ScriptedPlatform.h"
#include "TestSupport.h"
#include "app/fmMain.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

using test::TScriptedPlatform;

// The form with its protected helpers in reach.
class TTestForm : public TMainForm {
 public:
  using TMainForm::CheckAspAccount;
  using TMainForm::CleanInput;
  using TMainForm::SplitText;
  using TMainForm::TMainForm;
};

const UString kInternet = u"인터넷환경에 문제가 있습니다. 잠시후 다시 시도해주세요.";
const UString kAccountSettings = u"계정설정에 문제가 있습니다.\r입력하신 계정을 확인하시거나 뮤라온으로 연락주세요.";
const UString kExpired = u"계정이 만료되었습니다. 뮤라온으로 연락주세요.";

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

TEST_F(MainFormTest, ANonNumericStoreNumberEndsTheConfirmPressInTheExceptionHandler) {
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Enter(u"shop01", u"12a", u"kim", u"pw");
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"'12a' is not a valid integer value");
  EXPECT_EQ(Platform.Messages[0].Flags, 0x10u);
  EXPECT_EQ(Platform.Messages[0].Caption, u"확 인");
  EXPECT_TRUE(Platform.Urls.empty());
  EXPECT_FALSE(Form().AspChecked);
}

}  // namespace
}  // namespace vix
