#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QFile>
#include <QLineEdit>

#include "ScriptedPlatform.h"
#include "TestSupport.h"
#include "app/AppConfig.h"
#include "app/QtPlatform.h"
#include "app/fmMain.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

// The local account-service stand-in, started for one test with the given
// options and stopped with it.
class TStandIn {
 public:
  explicit TStandIn(const QStringList& options) {
    FProcess.setProgram(QStringLiteral(VIX_ASPSERVICE_STANDIN));
    FProcess.setArguments(options);
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start();
    if (!FProcess.waitForStarted(10000)) return;
    while (!FProcess.canReadLine() && FProcess.waitForReadyRead(10000)) {
    }
    const QByteArray line = FProcess.readLine().trimmed();
    if (line.startsWith("port ")) FPort = line.mid(5).toInt();
  }
  ~TStandIn() {
    FProcess.terminate();
    if (!FProcess.waitForFinished(5000)) FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  int Port() const { return FPort; }
  UString Host() const { return u"127.0.0.1:" + IntToStr(FPort); }
  UString Url() const { return TMainForm::AspServiceUrl(Host(), u"kiv8", u"k8demo", 7); }

 private:
  QProcess FProcess;
  int FPort = 0;
};

class QtPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { test::TestApplication(); }
};

TEST_F(QtPlatformTest, BrowserYieldsThePageText) {
  QTemporaryDir dir;
  const QString accounts = dir.filePath(QStringLiteral("accounts"));
  QFile file(accounts);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("# aspname siteid answer\nk8other * aspservice;other;x;1\nk8demo 7 aspservice;dbhost;메모;1\n");
  file.close();

  struct Case {
    const char* what;
    QStringList options;
    UString expected;
  };
  const Case cases[] = {
      {"account from the accounts file", {QStringLiteral("--accounts"), accounts}, u"aspservice;dbhost;메모;1"},
      {"unknown account", {}, u"aspservice;False;unknown account;0"},
      {"plain text as it is", {QStringLiteral("--text"), QStringLiteral("a <b>;c\n")}, u"a <b>;c\n"},
      {"HTML as its rendered text",
       {QStringLiteral("--html"),
        QStringLiteral("<html><head><title>t</title></head><body><p>aspservice;<b>db</b>&amp;1;x;1</p></body></html>")},
       u"aspservice;db&1;x;1"},
      {"text in the charset the page names",
       {QStringLiteral("--text"), QStringLiteral("aspservice;서버;x;1"), QStringLiteral("--charset"),
        QStringLiteral("euc-kr")},
       u"aspservice;서버;x;1"},
  };
  TQtPlatform platform;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TStandIn standIn(c.options);
    ASSERT_NE(standIn.Port(), 0);
    EXPECT_EQ(platform.BrowsePageText(standIn.Url()), c.expected);
  }
}

TEST_F(QtPlatformTest, AFailedPageYieldsATextWithoutTheServiceName) {
  struct Case {
    const char* what;
    QStringList options;
    const char16_t* reason;
    int timeoutMs;
  };
  const Case cases[] = {
      {"HTTP error", {QStringLiteral("--status"), QStringLiteral("404")}, u"HTTP 404", 10000},
      {"server error", {QStringLiteral("--status"), QStringLiteral("500")}, u"HTTP 500", 10000},
      {"answer later than the time limit", {QStringLiteral("--delay"), QStringLiteral("60")}, u"no answer within", 300},
      {"no answer at all", {QStringLiteral("--silent")}, u"no answer within", 300},
      {"page too large",
       {QStringLiteral("--text"), QStringLiteral("aspservice;"), QStringLiteral("--repeat"), QStringLiteral("200000")},
       u"page too large",
       10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TStandIn standIn(c.options);
    ASSERT_NE(standIn.Port(), 0);
    TQtPlatform platform(c.timeoutMs);
    const UString text = platform.BrowsePageText(standIn.Url());
    EXPECT_EQ(Pos(u"aspservice", text), 0u) << ToUtf8(text);
    EXPECT_NE(Pos(c.reason, text), 0u) << ToUtf8(text);
  }
}

TEST_F(QtPlatformTest, ARefusingHostYieldsATextWithoutTheServiceName) {
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
  const int port = probe.serverPort();
  probe.close();
  TQtPlatform platform(5000);
  const UString text =
      platform.BrowsePageText(TMainForm::AspServiceUrl(u"127.0.0.1:" + IntToStr(port), u"kiv8", u"k8demo", 7));
  EXPECT_EQ(Pos(u"aspservice", text), 0u) << ToUtf8(text);
  EXPECT_NE(Pos(u"ConnectionRefused", text), 0u) << ToUtf8(text);
}

TEST_F(QtPlatformTest, MessageBoxesMapTheFlagsToIconsButtonsAndResults) {
  struct Case {
    unsigned flags;
    QMessageBox::Icon icon;
    std::vector<std::pair<QString, int>> buttons;
  };
  const Case cases[] = {
      {0x40, QMessageBox::Information, {{QStringLiteral("확인"), IDOK}}},
      {0x10, QMessageBox::Critical, {{QStringLiteral("확인"), IDOK}}},
      {0x14, QMessageBox::Critical, {{QStringLiteral("예"), IDYES}, {QStringLiteral("아니요"), IDNO}}},
      {0x13,
       QMessageBox::Critical,
       {{QStringLiteral("예"), IDYES}, {QStringLiteral("아니요"), IDNO}, {QStringLiteral("취소"), IDCANCEL}}},
      {0x15, QMessageBox::Critical, {{QStringLiteral("다시 시도"), IDRETRY}, {QStringLiteral("취소"), IDCANCEL}}},
  };
  for (const Case& c : cases) {
    for (const auto& [caption, result] : c.buttons) {
      SCOPED_TRACE(::testing::Message() << std::hex << c.flags << " " << caption.toStdString());
      QMessageBox box;
      SetUpMessageBox(box, u"첫 줄\r둘째 줄", u"확 인", c.flags);
      EXPECT_EQ(box.windowTitle(), QStringLiteral("확 인"));
      EXPECT_EQ(box.text(), QStringLiteral("첫 줄\n둘째 줄"));
      EXPECT_EQ(box.icon(), c.icon);
      ASSERT_EQ(box.buttons().size(), static_cast<qsizetype>(c.buttons.size()));
      QAbstractButton* target = nullptr;
      for (QAbstractButton* b : box.buttons())
        if (b->text() == caption) target = b;
      ASSERT_NE(target, nullptr);
      QTimer::singleShot(0, target, [target] { target->click(); });
      EXPECT_EQ(ExecMessageBox(box), result);
    }
  }
  // Escape answers a lone OK with OK, and Cancel where there is one.
  for (const auto& [flags, result] : {std::pair{0x40u, IDOK}, std::pair{0x15u, IDCANCEL}}) {
    QMessageBox box;
    SetUpMessageBox(box, u"x", u"확 인", flags);
    QTimer::singleShot(0, &box, [&box] { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_EQ(ExecMessageBox(box), result) << flags;
  }
}

// Counts the close requests it receives.
class TWatchedWindow : public QWidget {
 public:
  int Closes = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++Closes;
    QWidget::closeEvent(event);
  }
};

TEST_F(QtPlatformTest, TerminateEndsTheLoopWithoutClosingTheWindows) {
  TWatchedWindow window;
  window.show();
  TQtPlatform platform;
  platform.Terminate();  // queued: the loop below takes it
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_EQ(window.Closes, 0);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(QtPlatformTest, HostsComeFromTheEnvironmentOrTheBuild) {
  TQtPlatform platform;
  qunsetenv("USERAUTH_ASP_HOST");
  qunsetenv("USERAUTH_ASP_FALLBACK_HOST");
  EXPECT_EQ(platform.AspHost(false), u"aspservice.example.com");
  EXPECT_EQ(platform.AspHost(true), u"aspservice2.example.com");
  qputenv("USERAUTH_ASP_HOST", "127.0.0.1:8081");
  qputenv("USERAUTH_ASP_FALLBACK_HOST", "localhost:8082");
  EXPECT_EQ(platform.AspHost(false), u"127.0.0.1:8081");
  EXPECT_EQ(platform.AspHost(true), u"localhost:8082");
  qunsetenv("USERAUTH_ASP_HOST");
  qunsetenv("USERAUTH_ASP_FALLBACK_HOST");
}

TEST_F(QtPlatformTest, DatabaseOptionsAreTheLinesOfTheEnvironmentVariable) {
  TQtPlatform platform;
  const std::pair<const char*, std::vector<UString>> cases[] = {
      {nullptr, {}},
      {"", {}},
      {"MySQL.Protocol=mpSocket", {u"MySQL.Protocol=mpSocket"}},
      {"MySQL.Protocol=mpSSL\r\nMySQL.SSLVerify=CA\n \n\nMySQL.SSLCACert=/etc/ca dir/ca.pem\r",
       {u"MySQL.Protocol=mpSSL", u"MySQL.SSLVerify=CA", u"MySQL.SSLCACert=/etc/ca dir/ca.pem"}},
      {"MySQL.HttpPassword= pass word ", {u"MySQL.HttpPassword= pass word "}},
  };
  for (const auto& [value, lines] : cases) {
    SCOPED_TRACE(value != nullptr ? value : "unset");
    if (value != nullptr) qputenv("USERAUTH_DB_OPTIONS", value);
    else qunsetenv("USERAUTH_DB_OPTIONS");
    EXPECT_EQ(platform.DatabaseOptions(), lines);
  }
  qunsetenv("USERAUTH_DB_OPTIONS");
}

// The real platform with the hosts, the folder and the argument of a test;
// message boxes are recorded instead of shown.
class TLocalPlatform : public TQtPlatform {
 public:
  UString Host;
  UString Dir;
  std::vector<UString> Messages;
  int MessageBox(const UString& text, const UString&, unsigned) override {
    Messages.push_back(text);
    return IDOK;
  }
  UString FirstArgument() override { return u"DemoPOS"; }
  UString ExeDir() override { return Dir; }
  UString AspHost(bool) override { return Host; }
};

// The form with the user check answered without a database, recording what
// it was asked.
class TRecordingForm : public TMainForm {
 public:
  using TMainForm::TMainForm;
  std::vector<std::pair<UString, UString>> UserChecks;  // user name, password
  UString CheckedServer;
  bool CheckUser(const UString& Server, const UString&, const UString&, const UString& UserName,
                 const UString& Password) override {
    CheckedServer = Server;
    UserChecks.emplace_back(UserName, Password);
    return true;
  }
};

// A late answer of the real service, ended by CR LF: the event loop runs
// during the wait, and what is typed, put into the edits or pressed meanwhile
// changes nothing of the press under way.
TEST_F(QtPlatformTest, ALateAnswerIsCheckedWithTheValuesOfThePress) {
  TStandIn standIn({QStringLiteral("--text"), QStringLiteral("aspservice;dbhost1;x;1\r\n"), QStringLiteral("--delay"),
                    QStringLiteral("1")});
  ASSERT_NE(standIn.Port(), 0);
  QTemporaryDir dir;
  TLocalPlatform platform;
  platform.Host = standIn.Host();
  platform.Dir = dir.path().toStdU16String() + u"/";
  TRecordingForm form(platform);
  form.show();
  form.edAspID->setText(QStringLiteral("demo"));
  form.edSiteID->setText(QStringLiteral("7"));
  form.edUserName->setText(QStringLiteral("kim"));
  form.edPassword->setText(QStringLiteral("pw"));
  bool editedDuringWait = false;
  QTimer::singleShot(300, &form, [&] {
    editedDuringWait = true;
    form.edUserName->setFocus();
    QTest::keyClicks(form.edUserName, QStringLiteral("x"));
    form.edUserName->setText(QStringLiteral("head"));
    form.edPassword->setText(QStringLiteral("other"));
    form.btOk->click();
  });
  form.btOk->click();
  EXPECT_TRUE(editedDuringWait);
  ASSERT_EQ(form.UserChecks.size(), 1u);
  EXPECT_EQ(form.UserChecks[0].first, u"kim");
  EXPECT_EQ(form.UserChecks[0].second, u"pw");
  EXPECT_EQ(form.CheckedServer, u"dbhost1");
  ASSERT_EQ(platform.Messages.size(), 1u);
  EXPECT_EQ(platform.Messages[0], u"사용자 인증이 완료 되었습니다.");
  QFile ini(dir.filePath(QStringLiteral("DemoPOS.ini")));
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_EQ(ini.readAll().toStdString(), "[Server Info]\r\nServer=dbhost1\r\nAspID=k8demo\r\nPassword=" +
                                             ToUtf8(config::kPasswordPlaceholder) + "\r\nSiteID=7\r\n");
}

}  // namespace
}  // namespace vix
