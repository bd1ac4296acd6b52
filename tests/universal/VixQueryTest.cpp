// The query without a server: its text, parameters and settings, and the
// failures of an open that never reaches the network.
#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix {
namespace {

const UString kDialogSQL =
    u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = :UserName ";

template <typename F>
UString ErrorOf(F action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return u"<no error>";
}

TEST(VixQuery, TextGivesParametersWhoseValuesSurviveByName) {
  TVixQuery q;
  q.SetName(u"Query");
  q.SetSQL(kDialogSQL);
  EXPECT_EQ(q.FinalSQL(), kDialogSQL.substr(0, kDialogSQL.size() - 1));
  ASSERT_EQ(q.Params().Count(), 2);
  EXPECT_EQ(q.Params().Items(0)->GetName(), u"SiteID");
  EXPECT_EQ(q.Params().Items(1)->GetName(), u"UserName");
  q.ParamByName(u"siteid").SetAsString(u"007");
  q.ParamByName(u"UserName").SetAsString(u"kim");
  EXPECT_EQ(q.ParamByName(u"SiteID").GetDataType(), ftWideString);

  // The same text again, and a text that keeps one of the names.
  q.SetSQL(kDialogSQL);
  EXPECT_EQ(q.ParamByName(u"UserName").GetAsString(), u"kim");
  q.SetSQL(u"SELECT * FROM UserMt WHERE SiteID = :SiteID OR :siteid = '' -- :Ignored\r\n");
  ASSERT_EQ(q.Params().Count(), 1);
  EXPECT_EQ(q.ParamByName(u"SiteID").GetAsString(), u"007");
  EXPECT_EQ(ErrorOf([&] { q.ParamByName(u"UserName"); }), u"Query: Parameter 'UserName' not found");
  EXPECT_EQ(q.FindParam(u"UserName"), nullptr);

  // Without ParamCheck the collection stays as the user made it.
  q.SetParamCheck(false);
  q.SetSQL(u"SELECT :Other");
  EXPECT_EQ(q.Params().Count(), 1);
  EXPECT_NE(q.FindParam(u"SiteID"), nullptr);
}

TEST(VixQuery, MacrosAreExpandedInTheFinalText) {
  TVixQuery q;
  q.SetSQL(u"SELECT * FROM &Table WHERE 'a&b' <> :P\r\n");
  ASSERT_NE(q.Macros().FindMacro(u"Table"), nullptr);
  q.Macros().FindMacro(u"Table")->SetValue(u"UserMt");
  EXPECT_EQ(q.FinalSQL(), u"SELECT * FROM UserMt WHERE 'a&b' <> :P");
  EXPECT_EQ(q.Params().Count(), 1);

  // "&&" is MySQL's AND: the query keeps both its operands.
  q.SetSQL(u"SELECT 1 FROM UserMt WHERE a=1&&b=2");
  EXPECT_EQ(q.Macros().FindMacro(u"b"), nullptr);
  EXPECT_EQ(q.FinalSQL(), u"SELECT 1 FROM UserMt WHERE a=1&&b=2");
}

TEST(VixQuery, FetchRowsRangeAndClosedOnlySettings) {
  TVixQuery q;
  q.SetName(u"Query");
  EXPECT_EQ(q.GetFetchRows(), 25);
  for (int bad : {0, -1, 65536})
    EXPECT_EQ(ErrorOf([&] { q.SetFetchRows(bad); }), u"Query: FetchRows must be 1..65535") << bad;
  q.SetFetchRows(65535);
  q.SetFetchRows(1);
  EXPECT_EQ(q.GetFetchRows(), 1);
  EXPECT_EQ(q.GetRowsAffected(), -1);
  EXPECT_EQ(q.RecordCount(), 0);
}

TEST(VixQuery, OpenFailsBeforeAnyNetworkWithoutConnectionOrProvider) {
  RegisterMySQLVixProvider();
  TVixQuery q;
  q.SetName(u"Query");
  q.SetSQL(u"SELECT 1");
  EXPECT_EQ(ErrorOf([&] { q.Open(); }), u"Connection is not defined");
  EXPECT_FALSE(q.Active());

  TVixConnection c;
  q.SetConnection(&c);
  EXPECT_EQ(c.ClientCount(), 1);
  EXPECT_EQ(ErrorOf([&] { q.Open(); }), u"Provider is not defined");
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(c.GetUseCount(), 0);
  // A refused connection: the provider's error, the query closed, the use given back.
  c.SetProviderName(u"MySQL");
  c.SetServer(u"127.0.0.1");
  c.SetPort(1);
  EXPECT_THROW(q.Open(), EDAError);
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(c.GetConnected());
  EXPECT_EQ(c.GetUseCount(), 0);
  q.SetConnection(nullptr);
  EXPECT_EQ(c.ClientCount(), 0);
}

}  // namespace
}  // namespace vix
