// The universal connection and query over TLS against the private MariaDB
// server (TLS on, certificates made at its start): the handshake, the cipher
// list, client certificates, the certificate checks and large values inside
// TLS. Skipped locally when the server is not running.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Common/ZelVioTcp.h"
#include "MySql/MyClasses.h"
#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "universal/Vix.h"

namespace vix {
namespace {

using test::EnvOr;

// Resolves every name to the test server's loopback address: a host name the
// server's certificate does not carry.
uint32_t LoopbackLookup(const std::string&, int&) {
  return htonl(0x7F000001);
}

struct VixTlsServerTest : ::testing::Test {
  std::string host, ca;
  TVixConnection connection;
  TVixQuery query;

  void SetUp() override {
    host = EnvOr("VIX_MYSQL_HOST");
    ca = EnvOr("VIX_MYSQL_SSL_CA");
    VIX_REQUIRE_COMPONENT(!host.empty() && !ca.empty(), "MariaDB test server with TLS (VIX_MYSQL_SSL_CA)");
    RegisterMySQLVixProvider();
    connection.SetProviderName(u"MySQL");
    connection.SetServer(Utf8ToUtf16(host));
    connection.SetPort(std::atoi(EnvOr("VIX_MYSQL_PORT", "0").c_str()));
    connection.SetDatabase(Utf8ToUtf16(EnvOr("VIX_MYSQL_DATABASE", "vixtest")));
    connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_USER", "vix")));
    connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_PASSWORD")));
    connection.SpecificOptions().Add(u"MySQL.UseUnicode=True");
    connection.SpecificOptions().Add(u"MySQL.Protocol=mpSSL");
    query.SetConnection(&connection);
  }
  void TearDown() override {
    query.Close();
    connection.Close();
    TZelVioTcp::SetHostLookup(nullptr);
  }

  void Option(const UString& name, const std::string& value) {
    connection.SpecificOptions().SetValues(u"MySQL." + name, Utf8ToUtf16(value));
  }
  // 0, or the error number with its message.
  int ConnectError(UString& message) {
    try {
      connection.Connect();
    } catch (const EVixError& e) {
      message = e.Message();
      return e.ErrorCode();
    }
    return 0;
  }
  UString Status(const UString& name) {
    query.SetSQL(u"SHOW SESSION STATUS LIKE '" + name + u"'");
    query.Open();
    const UString value = query.Fields(1).AsString();
    query.Close();
    return value;
  }
};

TEST_F(VixTlsServerTest, HandshakeAndQueryInsideTls) {
  UString message;
  ASSERT_EQ(ConnectError(message), 0) << Utf16ToUtf8(message);
  const UString version = Status(u"Ssl_version");
  EXPECT_TRUE(version == u"TLSv1.2" || version == u"TLSv1.3") << Utf16ToUtf8(version);
  query.SetSQL(u"SELECT CONCAT(:A, '-', :B) AS V");
  query.ParamByName(u"A").SetAsString(u"암호");
  query.ParamByName(u"B").SetAsInteger(42);
  query.Open();
  EXPECT_EQ(query.FieldByName(u"V").AsString(), u"암호-42");
}

TEST_F(VixTlsServerTest, CipherListIsHonoured) {
  const struct {
    const char* list;
    const char16_t* cipher;
    const char16_t* version;
  } cases[] = {
      {"ECDHE-RSA-AES128-GCM-SHA256", u"ECDHE-RSA-AES128-GCM-SHA256", u"TLSv1.2"},
      {"TLS_AES_128_GCM_SHA256", u"TLS_AES_128_GCM_SHA256", u"TLSv1.3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    Option(u"SSLChipherList", c.list);
    UString message;
    ASSERT_EQ(ConnectError(message), 0) << Utf16ToUtf8(message);
    EXPECT_EQ(Status(u"Ssl_cipher"), c.cipher);
    EXPECT_EQ(Status(u"Ssl_version"), c.version);
    connection.Close();
  }
  Option(u"SSLChipherList", "NO-SUCH-CIPHER");
  UString message;
  EXPECT_EQ(ConnectError(message), 2026);
  EXPECT_GT(Pos(u"no cipher match", message), 0u) << Utf16ToUtf8(message);
  EXPECT_FALSE(connection.GetConnected());
}

// The certificate checks: the right CA passes, a wrong CA or a host name the
// certificate does not name fails with 2026 and the reason.
TEST_F(VixTlsServerTest, CertificateChecks) {
  const std::string other = EnvOr("VIX_MYSQL_SSL_OTHER_CA");
  const struct {
    const char* verify;
    std::string ca;
    bool renamedHost;
    int error;
    const char16_t* reason;
  } cases[] = {
      {"CA", ca, false, 0, u""},
      {"Identity", ca, false, 0, u""},
      {"CA", ca, true, 0, u""},
      {"None", other, true, 0, u""},
      {"CA", other, false, 2026, u"certificate verify failed"},
      {"Identity", other, false, 2026, u"certificate verify failed"},
      {"Identity", ca, true, 2026, u"certificate verify failed"},
      {"CA", "/nonexistent/ca.pem", false, 2026, u"cannot load the certificate authorities"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.verify) + " " + c.ca + (c.renamedHost ? " renamed host" : ""));
    Option(u"SSLVerify", c.verify);
    Option(u"SSLCACert", c.ca);
    TZelVioTcp::SetHostLookup(c.renamedHost ? &LoopbackLookup : nullptr);
    connection.SetServer(c.renamedHost ? u"db.wrong.example" : Utf8ToUtf16(host));
    UString message;
    EXPECT_EQ(ConnectError(message), c.error) << Utf16ToUtf8(message);
    if (c.error != 0) {
      EXPECT_GT(Pos(UString(c.reason), message), 0u) << Utf16ToUtf8(message);
      EXPECT_FALSE(connection.GetConnected());
    } else {
      EXPECT_FALSE(Status(u"Ssl_version").empty());
    }
    connection.Close();
  }
}

// The certificate authorities as a folder of hashed names (openssl rehash):
// the folder with the test CA verifies the server, one with only another CA
// does not.
TEST_F(VixTlsServerTest, CertificateAuthorityFolder) {
  namespace fs = std::filesystem;
  const struct {
    std::string caFile;
    int error;
  } cases[] = {{ca, 0}, {EnvOr("VIX_MYSQL_SSL_OTHER_CA"), 2026}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caFile);
    const fs::path folder = fs::path(::testing::TempDir()) / ("vix-ca-folder-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(c.caFile, folder / "ca.pem");
    ASSERT_EQ(std::system(("openssl rehash '" + folder.string() + "'").c_str()), 0);
    Option(u"SSLVerify", "CA");
    Option(u"SSLCACert", "");
    Option(u"SSLCAPath", folder.string());
    UString message;
    EXPECT_EQ(ConnectError(message), c.error) << Utf16ToUtf8(message);
    if (c.error == 0) EXPECT_FALSE(Status(u"Ssl_version").empty());
    else EXPECT_GT(Pos(u"certificate verify failed", message), 0u) << Utf16ToUtf8(message);
    connection.Close();
    fs::remove_all(folder);
  }
}

TEST_F(VixTlsServerTest, AccountThatRequiresAClientCertificate) {
  connection.SetUsername(Utf8ToUtf16(EnvOr("VIX_MYSQL_X509_USER", "vix_x509")));
  connection.SetPassword(Utf8ToUtf16(EnvOr("VIX_MYSQL_X509_PASSWORD", "x509-pass")));
  UString message;
  EXPECT_EQ(ConnectError(message), 1045) << Utf16ToUtf8(message);
  Option(u"SSLCert", EnvOr("VIX_MYSQL_SSL_CERT"));
  Option(u"SSLKey", EnvOr("VIX_MYSQL_SSL_KEY"));
  ASSERT_EQ(ConnectError(message), 0) << Utf16ToUtf8(message);
  EXPECT_EQ(Status(u"Ssl_version").empty(), false);
  connection.Close();
  // A key that does not belong to the certificate.
  Option(u"SSLKey", EnvOr("VIX_MYSQL_SSL_CA").substr(0, ca.rfind('/')) + "/server-key.pem");
  EXPECT_EQ(ConnectError(message), 2026);
  EXPECT_GT(Pos(u"key", message), 0u) << Utf16ToUtf8(message);
}

// 16 MB both ways inside TLS, plain and compressed.
TEST_F(VixTlsServerTest, LargeValuesBothWays) {
  UString big(16 * 1024 * 1024 + 17, u'a');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char16_t>(u'A' + (i / 4093) % 26);
  for (const char16_t* compress : {u"False", u"True"}) {
    SCOPED_TRACE(Utf16ToUtf8(compress));
    connection.SpecificOptions().SetValues(u"MySQL.Compress", compress);
    UString message;
    ASSERT_EQ(ConnectError(message), 0) << Utf16ToUtf8(message);
    EXPECT_EQ(Status(u"Compression"), UString(compress) == u"True" ? u"ON" : u"OFF");
    query.SetSQL(u"SELECT :V AS V, LENGTH(:V) AS L");
    query.ParamByName(u"V").SetAsString(big);
    query.Open();
    EXPECT_EQ(query.FieldByName(u"L").AsInteger(), static_cast<int64_t>(big.size()));
    EXPECT_TRUE(query.FieldByName(u"V").AsString() == big);
    query.Close();
    connection.Close();
  }
}

// A server that offers no TLS: a connection that asks for TLS is refused
// with 2026 and the reason under every SSLVerify (None included), and the
// server's general log shows that no login and no statement came from it.
// A plain connection then proves the log records what it receives.
TEST_F(VixTlsServerTest, ServerWithoutTlsSeesNoLogin) {
  const std::string port = EnvOr("VIX_MYSQL_PLAIN_PORT"), log = EnvOr("VIX_MYSQL_PLAIN_GENERAL_LOG");
  VIX_REQUIRE_COMPONENT(!port.empty() && !log.empty(), "MariaDB test server without TLS (VIX_MYSQL_PLAIN_PORT)");
  connection.SetPort(std::atoi(port.c_str()));
  auto logText = [&log] {
    std::ifstream in(log, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const size_t before = logText().size();
  Option(u"SSLCACert", ca);
  for (const char* verify : {"CA", "Identity", "None"}) {
    SCOPED_TRACE(verify);
    Option(u"SSLVerify", verify);
    UString message;
    EXPECT_EQ(ConnectError(message), 2026) << Utf16ToUtf8(message);
    EXPECT_GT(Pos(u"does not offer TLS", message), 0u) << Utf16ToUtf8(message);
    EXPECT_FALSE(connection.GetConnected());
  }
  Option(u"Protocol", "mpTCP");
  UString message;
  ASSERT_EQ(ConnectError(message), 0) << Utf16ToUtf8(message);
  query.SetSQL(u"SELECT 'after the refused TLS attempts' AS M");
  query.Open();
  query.Close();
  connection.Close();
  const std::string added = logText().substr(before);
  // Only the plain connection logged in, and its marker is there.
  EXPECT_NE(added.find("after the refused TLS attempts"), std::string::npos) << added;
  size_t logins = 0;
  for (size_t at = added.find(" Connect\t"); at != std::string::npos; at = added.find(" Connect\t", at + 1)) ++logins;
  EXPECT_EQ(logins, 1u) << added;
}

}  // namespace
}  // namespace vix
