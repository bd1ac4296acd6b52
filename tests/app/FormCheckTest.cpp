// The confirm press against what the operator and the servers can do to it:
// edits during the account-service wait, input-method text, answers with line
// ends, texts the configuration file cannot hold, odd arguments, and an
// account database that stops answering.
#include <QDir>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackProxy.h"
#include "LoopbackServer.h"
#include "MySql/MySQLVixProvider.h"
#include "ScriptedPlatform.h"
#include "TestSupport.h"
#include "app/AppConfig.h"
#include "app/fmMain.h"
#include "rtl/SysUtils.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::TScriptedPlatform;

// The form; the user check is answered without a database when asked to,
// and every call of it is recorded.
class TCheckForm : public TMainForm {
 public:
  using TMainForm::TMainForm;

  struct UserCheck {
    UString Server, Database, SiteId, UserName, Password;
  };
  std::vector<UserCheck> UserChecks;
  bool AnswerUserCheck = true;  // false: the real check against cnServer
  bool CheckUser(const UString& Server, const UString& Database, const UString& SiteId, const UString& UserName,
                 const UString& Password) override {
    UserChecks.push_back({Server, Database, SiteId, UserName, Password});
    if (AnswerUserCheck) return true;
    return TMainForm::CheckUser(Server, Database, SiteId, UserName, Password);
  }
};

const UString kRetryQuestion = u"\r작업요청을 다시 시도할까요? 아닐경우 프로그램이 강제종료됩니다.";
const UString kSuccess = u"사용자 인증이 완료 되었습니다.";

QString Q(const UString& text) {
  return QString::fromStdU16String(text);
}

// A form in a fresh folder of its own; <folder>/DemoPOS.ini is its file.
class FormCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TestApplication();
    ASSERT_TRUE(FDir.isValid());
    ASSERT_TRUE(QDir(FDir.path()).mkdir(QStringLiteral("bin")));
    Platform.Dir = FDir.path().toStdU16String() + u"/bin/";
  }
  TCheckForm& Form() {
    if (!FForm) {
      FForm = std::make_unique<TCheckForm>(Platform);
      FForm->show();
    }
    return *FForm;
  }
  void Enter(const UString& asp, const UString& site, const UString& user, const UString& password) {
    Form().edAspID->setText(Q(asp));
    Form().edSiteID->setText(Q(site));
    Form().edUserName->setText(Q(user));
    Form().edPassword->setText(Q(password));
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  std::string Ini() const { return Read(ToUtf8(Platform.Dir) + "DemoPOS.ini"); }
  static std::string Values(const std::string& server, const std::string& aspId, const std::string& siteId) {
    return "[Server Info]\r\nServer=" + server + "\r\nAspID=" + aspId +
           "\r\nPassword=" + ToUtf8(config::kPasswordPlaceholder) + "\r\nSiteID=" + siteId + "\r\n";
  }

  QTemporaryDir FDir;
  TScriptedPlatform Platform;
  std::unique_ptr<TCheckForm> FForm;
};

TEST_F(FormCheckTest, EditsMadeWhileTheServiceIsAskedDoNotReachTheUserCheck) {
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Enter(u"shop01", u"3", u"kim", u"pw");
  std::vector<bool> readOnlyDuringWait;
  Platform.WhileLoading = [&] {
    for (QLineEdit* e : {Form().edAspID, Form().edSiteID, Form().edUserName, Form().edPassword})
      readOnlyDuringWait.push_back(e->isReadOnly());
    // Typing reaches no edit; text put in all the same is not what is checked.
    Form().edUserName->setFocus();
    QTest::keyClicks(Form().edUserName, QStringLiteral("x"));
    Form().edUserName->setText(QStringLiteral("head"));
    Form().edPassword->setText(QStringLiteral(" '"));
  };
  Form().btOk->click();
  EXPECT_EQ(readOnlyDuringWait, std::vector<bool>(4, true));
  ASSERT_EQ(Form().UserChecks.size(), 1u);
  EXPECT_EQ(Form().UserChecks[0].UserName, u"kim");
  EXPECT_EQ(Form().UserChecks[0].Password, u"pw");
  EXPECT_EQ(Form().UserChecks[0].Database, u"k8shop01");
  EXPECT_EQ(Form().UserChecks[0].SiteId, u"3");
  // The edits the check leaves editable take input again.
  EXPECT_FALSE(Form().edUserName->isReadOnly());
  EXPECT_FALSE(Form().edPassword->isReadOnly());
  EXPECT_TRUE(Form().edAspID->isReadOnly());
  EXPECT_EQ(Ini(), Values("dbhost1", "k8shop01", "3"));
}

TEST_F(FormCheckTest, AFailedAccountCheckLeavesTheEditsEditable) {
  Platform.Pages = {u"aspservice;dbhost1;x;0"};
  Enter(u"shop01", u"3", u"kim", u"pw");
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 1u);
  for (QLineEdit* e : {Form().edAspID, Form().edSiteID, Form().edUserName, Form().edPassword})
    EXPECT_FALSE(e->isReadOnly());
  EXPECT_TRUE(Form().UserChecks.empty());
}

TEST_F(FormCheckTest, LineEndsAfterTheServiceAnswerAreNotPartOfItsPieces) {
  struct Case {
    UString page;
    const char16_t* message;  // nullptr: authenticated
    const char* ini;
  };
  const std::string written = Values("dbhost1", "k8shop01", "7");
  const Case cases[] = {
      {u"aspservice;dbhost1\r\n", nullptr, written.c_str()},
      {u"aspservice;dbhost1;x;1 \t\r\n\r\n", nullptr, written.c_str()},
      {u"aspservice;dbhost1;x;0\r\n", u"계정이 만료되었습니다. 뮤라온으로 연락주세요.", "<none>"},
      {u"aspservice;dbhost1;x;0\n", u"계정이 만료되었습니다. 뮤라온으로 연락주세요.", "<none>"},
      {u"aspservice;dbhost1;x;0 ", u"계정이 만료되었습니다. 뮤라온으로 연락주세요.", "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.page));
    std::remove((ToUtf8(Platform.Dir) + "DemoPOS.ini").c_str());
    TScriptedPlatform platform;
    platform.Dir = Platform.Dir;
    platform.Pages = {c.page};
    TCheckForm form(platform);
    form.show();
    form.edAspID->setText(QStringLiteral("shop01"));
    form.edSiteID->setText(QStringLiteral("7"));
    form.edUserName->setText(QStringLiteral("kim"));
    form.edPassword->setText(QStringLiteral("pw"));
    form.btOk->click();
    ASSERT_EQ(platform.Messages.size(), 1u);
    EXPECT_EQ(platform.Messages[0].Text, c.message ? UString(c.message) : kSuccess);
    EXPECT_EQ(Ini(), c.ini);
    if (!c.message) {
      EXPECT_EQ(form.AspServer, u"dbhost1");
      ASSERT_EQ(form.UserChecks.size(), 1u);
      EXPECT_EQ(form.UserChecks[0].Server, u"dbhost1");
    }
  }
}

TEST_F(FormCheckTest, InputMethodTextInTheStoreNumberIsFilteredToDigits) {
  Form().edSiteID->setText(QString());
  Form().edSiteID->setFocus();
  auto commit = [&](const QString& preedit, const QString& text) {
    QInputMethodEvent event(preedit, {});
    event.setCommitString(text);
    QCoreApplication::sendEvent(Form().edSiteID, &event);
  };
  commit(QString(), QStringLiteral("1가a"));
  EXPECT_EQ(Form().edSiteID->text(), QStringLiteral("1"));
  commit(QStringLiteral("나"), QStringLiteral("2b3"));
  commit(QString(), QStringLiteral("다"));
  EXPECT_EQ(Form().edSiteID->text(), QStringLiteral("123"));
  // Other edits take input-method text as it is.
  Form().edUserName->setFocus();
  QInputMethodEvent event(QString(), {});
  event.setCommitString(QStringLiteral("김1"));
  QCoreApplication::sendEvent(Form().edUserName, &event);
  EXPECT_EQ(Form().edUserName->text(), QStringLiteral("김1"));

  // The confirm press goes on to the account check with that number.
  Platform.Pages = {u"aspservice;dbhost1;x;1"};
  Form().edAspID->setText(QStringLiteral("shop01"));
  Form().edPassword->setText(QStringLiteral("pw"));
  Form().btOk->click();
  ASSERT_EQ(Platform.Urls.size(), 1u);
  EXPECT_EQ(Platform.Urls[0],
            u"http://primary.test/aspservice/AspService.php?appname=kiv8&aspname=k8shop01&siteid=123");
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, kSuccess);
}

TEST_F(FormCheckTest, TextsTheConfigurationFileCannotHoldAreRefusedWithTheirOwnMessage) {
  const UString badId = u"계정 아이디에 설정 파일에 저장할 수 없는 문자가 있습니다.";
  const UString badServer = u"계정서버 이름에 설정 파일에 저장할 수 없는 문자가 있습니다.\r뮤라온으로 연락주세요.";
  struct Case {
    UString asp;
    UString page;
    const UString* message;  // nullptr: authenticated
    unsigned flags;
    bool asked;  // the service was asked
  };
  const Case cases[] = {
      {u"shop\U0001F600", u"aspservice;dbhost1;x;1", &badId, 0x40, false},
      {u"shop\u0E01", u"aspservice;dbhost1;x;1", &badId, 0x40, false},
      {u"shop01", u"aspservice;db\U0001F600;x;1", &badServer, 0x10, true},
      {u"shop01", u"aspservice;db\rhost;x;1", &badServer, 0x10, true},
      {u"shop01", u"aspservice;db\nhost", &badServer, 0x10, true},
      {u"shop01", u"aspservice;서버1;x;1", nullptr, 0x40, true},
      {u"상점", u"aspservice;dbhost1;x;1", nullptr, 0x40, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.asp + u"|" + c.page));
    std::remove((ToUtf8(Platform.Dir) + "DemoPOS.ini").c_str());
    TScriptedPlatform platform;
    platform.Dir = Platform.Dir;
    platform.Pages = {c.page};
    TCheckForm form(platform);
    form.show();
    form.edAspID->setText(Q(c.asp));
    form.edSiteID->setText(QStringLiteral("7"));
    form.edUserName->setText(QStringLiteral("kim"));
    form.edPassword->setText(QStringLiteral("pw"));
    form.btOk->click();
    EXPECT_EQ(platform.Urls.size(), c.asked ? 1u : 0u);
    ASSERT_EQ(platform.Messages.size(), 1u);
    if (c.message == nullptr) {
      EXPECT_EQ(platform.Messages[0].Text, kSuccess);
      EXPECT_NE(Ini(), "<none>");
      continue;
    }
    EXPECT_EQ(platform.Messages[0].Text, *c.message);
    EXPECT_EQ(platform.Messages[0].Flags, c.flags);
    EXPECT_FALSE(form.AspChecked);
    EXPECT_TRUE(form.UserChecks.empty());
    EXPECT_EQ(Ini(), "<none>");
    if (!c.asked) {
      EXPECT_EQ(form.focusWidget(), form.edAspID);
    }
  }
}

// An argument is the name of a file in the program's folder; one with a path
// separator is handled as a missing argument: the run ends and nothing is
// written, there or anywhere else.
TEST_F(FormCheckTest, AnArgumentWithAPathSeparatorWritesNoFileAnywhere) {
  const QString root = FDir.path();
  for (const char16_t* argument : {u"../x", u"..\\x", u"sub/x", u"/tmp/x", u"x/", u"\\x"}) {
    SCOPED_TRACE(ToUtf8(argument));
    TScriptedPlatform platform;
    platform.Dir = Platform.Dir;
    platform.Argument = argument;
    platform.Pages = {u"aspservice;dbhost1;x;1"};
    TCheckForm form(platform);
    form.show();
    EXPECT_EQ(platform.Terminations, 1);
    EXPECT_EQ(form.Parameter, u"");
    // Neither the close nor a successful press writes a file.
    form.edAspID->setText(QStringLiteral("shop01"));
    form.edPassword->setText(QStringLiteral("pw"));
    form.edUserName->setText(QStringLiteral("kim"));
    form.btOkClick(form.btOk);
    form.close();
    EXPECT_EQ(QDir(root).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{QStringLiteral("bin")});
    EXPECT_TRUE(QDir(root + QStringLiteral("/bin")).isEmpty(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden));
  }
  // A plain name, also one with dots, is a file in the folder.
  Platform.Argument = u"..POS";
  Form().close();
  EXPECT_EQ(QDir(root + QStringLiteral("/bin")).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("..POS.ini")});
}

// --- against an account database ------------------------------------------

bool Shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// One demo account database (root with the password for "localhost") for the
// tests below, with a fault proxy in front of it on which the form connects.
class FormDatabaseTest : public FormCheckTest {
 protected:
  static void SetUpTestSuite() {
    if (!Shell("{ command -v mariadbd || test -x /usr/sbin/mariadbd; } >/dev/null 2>&1")) return;
    FDbDir = new QTemporaryDir;
    const std::string dir = FDbDir->path().toStdString() + "/db";
    FDbPort = test::UnusedLoopbackPort();
    FDbUp = Shell("VIX_DEMO_DB_PORT=" + std::to_string(FDbPort) + " '" VIX_DEMO_DATABASE "' start '" + dir + "' >'" +
                  dir + ".log' 2>&1");
  }
  static void TearDownTestSuite() {
    if (FDbDir == nullptr) return;
    Shell("'" VIX_DEMO_DATABASE "' stop '" + FDbDir->path().toStdString() + "/db' >/dev/null 2>&1");
    delete FDbDir;
    FDbDir = nullptr;
  }
  void SetUp() override {
    FormCheckTest::SetUp();
    VIX_REQUIRE_COMPONENT(FDbDir != nullptr, "MariaDB server");
    ASSERT_TRUE(FDbUp) << "the demo database did not start";
    RegisterMySQLVixProvider();
    FProxy = std::make_unique<test::TLoopbackProxy>(FDbPort);
    Form().cnServer->SetPort(FProxy->Port());
  }

  static inline QTemporaryDir* FDbDir = nullptr;
  static inline int FDbPort = 0;
  static inline bool FDbUp = false;
  std::unique_ptr<test::TLoopbackProxy> FProxy;
};

TEST_F(FormDatabaseTest, AnAccountDatabaseThatStopsAnsweringEndsTheUserCheckInAPrompt) {
  EXPECT_EQ(TMainForm::kQueryTimeout, 30);
  Form().AnswerUserCheck = false;
  Form().SetQueryTimeout(1);
  Platform.Pages = {u"aspservice;localhost;x;1"};
  Enter(u"demo", u"1", u"manager", u"wrong");
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"비밀번호가 일치하지 않습니다.");
  ASSERT_TRUE(Form().cnServer->GetConnected());

  // The server stops answering: the next press ends in a prompt instead of
  // waiting with it.
  FProxy->SetMode(test::TLoopbackProxy::Mode::Stall);
  Platform.Answers = {IDRETRY};
  Form().edPassword->setText(QStringLiteral("demo1234"));
  {
    // Should the press wait on regardless, the connection is reset after a
    // while, so that the test ends (and fails) rather than hangs.
    std::promise<void> pressed;
    std::thread watchdog([this, done = pressed.get_future()] {
      if (done.wait_for(std::chrono::seconds(30)) == std::future_status::timeout)
        FProxy->SetMode(test::TLoopbackProxy::Mode::Reset);
    });
    Form().btOk->click();
    pressed.set_value();
    watchdog.join();
  }
  ASSERT_EQ(Platform.Messages.size(), 2u);
  EXPECT_EQ(Platform.Messages[1].Text, u"계정서버가 응답하지 않습니다. 잠시후 다시 시도해주세요." + kRetryQuestion);
  EXPECT_EQ(Platform.Messages[1].Flags, 0x15u);
  EXPECT_EQ(Platform.Terminations, 0);
  EXPECT_TRUE(Form().isVisible());
  EXPECT_FALSE(Form().lOk);
  EXPECT_EQ(Ini(), "<none>");

  // Once the server answers again, the repeated press completes.
  FProxy->SetMode(test::TLoopbackProxy::Mode::Pass);
  Form().btOk->click();
  ASSERT_EQ(Platform.Messages.size(), 3u);
  EXPECT_EQ(Platform.Messages[2].Text, kSuccess);
  EXPECT_EQ(Ini(), Values("localhost", "k8demo", "1"));
}

TEST_F(FormCheckTest, ErrorsOfTheFormsDataComponentsNameThem) {
  EXPECT_EQ(Form().cnServer->GetName(), u"cnServer");
  EXPECT_EQ(Form().Query->GetName(), u"Query");
  // A dataset error, as the failure recovery shows it.
  Platform.Answers = {IDRETRY};
  try {
    Form().Query->FieldByName(u"AccessSetupCnt");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    Form().ApplicationEventsException(&Form(), e);
  }
  ASSERT_EQ(Platform.Messages.size(), 1u);
  EXPECT_EQ(Platform.Messages[0].Text, u"Query: Field 'AccessSetupCnt' not found" + kRetryQuestion);
  EXPECT_EQ(test::ErrorOf([&] { Form().Query->ParamByName(u"Nobody"); }), "Query: Parameter 'Nobody' not found");
}

}  // namespace
}  // namespace vix
