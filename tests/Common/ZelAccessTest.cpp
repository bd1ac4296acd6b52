#include "Common/ZelAccess.h"

#include <algorithm>
#include <vector>

#include "TestSupport.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

// The scan as the MySQL command runs it: the MySQL lexer, backquotes.
class TMyScanCommand : public TZelCommand {
 public:
  TParserClass GetParserClass() const override { return &NewParser<TMyParser>; }
  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }
};

std::vector<UString> Names(const TParamDescs& params) {
  std::vector<UString> names;
  for (int i = 0; i < params.Count(); ++i) names.push_back(params.Items(i)->GetName());
  return names;
}

struct ScanCase {
  UString Sql;
  UString Rewritten;
  std::vector<UString> Names;
};

const UString kDialogSql =
    u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = :UserName ";

TEST(ParseSQL, MySqlScan) {
  const ScanCase cases[] = {
      {kDialogSql,
       u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = ? AND UserName = ? ",
       {u"SiteID", u"UserName"}},
      {u"SELECT 1", u"SELECT 1", {}},
      {u"a::b", u"a::b", {}},
      {u"x := 1", u"x := 1", {}},
      {u": Name", u": Name", {}},
      {u"x = :p::int, :", u"x = ?::int, :", {u"p"}},
      // Colons inside strings, quoted names and comments.
      {u"':p' `:p` \":p\" /* :p */ # :p\n-- :p", u"':p' `:p` \":p\" /* :p */ # :p\n-- :p", {}},
      {u"--:p", u"--?", {u"p"}},
      {u"'a\\':p' 'it'':p'", u"'a\\':p' 'it'':p'", {}},
      // Names: numbers, "@", quoted, keywords, letters beyond ASCII.
      {u":1 :@v :`a b` :order :코드", u"? ? ? ? ?", {u"1", u"@v", u"a b", u"ORDER", u"코드"}},
      {u":p + :P", u"? + ?", {u"p", u"P"}},
      {u":@ x", u":@ x", {}},
      // Comments right after a colon are kept, and make no parameter.
      {u"a :/*c*/x, :/* d */ =", u"a :/*c*/x, :/* d */ =", {}},
      {u"/*/ :p */ :q", u"/*/ :p */ ?", {u"q"}},
      // An unterminated quoted name of one character.
      {u"x = :`", u"x = ?", {u"`"}},
      {u"x = :`ab", u"x = ?", {u"`ab"}},
  };
  TMyScanCommand cmd;
  for (const auto& c : cases) {
    TParamDescs params;
    EXPECT_EQ(cmd.ParseSQL(c.Sql, &params), c.Rewritten) << ToUtf8(c.Sql);
    EXPECT_EQ(Names(params), c.Names) << ToUtf8(c.Sql);
  }
}

TEST(ParseSQL, GenericScanQuotesWithDoubleQuotes) {
  TZelCommand cmd;
  TParamDescs params;
  EXPECT_EQ(cmd.ParseSQL(u"a = :\"Long Name\" -- :c\nAND b = ':s' || :x#y || :#z", &params),
            u"a = ? -- :c\nAND b = ':s' || ? || :#z");
  EXPECT_EQ(Names(params), (std::vector<UString>{u"Long Name", u"x#y"}));
}

TEST(ParseSQL, RenamePrefixWithoutParams) {
  TMyScanCommand cmd;
  EXPECT_EQ(cmd.ParseSQL(u"a = :p AND b = ':q' AND c = :`r`", nullptr, true, u"@"), u"a = @p AND b = ':q' AND c = @r");
  EXPECT_EQ(cmd.ParseSQL(u"a = :p", nullptr), u"a = :p");
}

// Without a list and a prefix the scan must give any text back unchanged;
// with a list, each descriptor has one "?" that the MySQL lexer reads as a
// placeholder (not as part of a string or comment).
TEST(ParseSQL, RandomTexts) {
  const UString alphabet = u"'\"`\\/*-#:@ \na1._김=";
  uint32_t seed = 777;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  TMyScanCommand cmd;
  for (int n = 0; n < 3000; ++n) {
    UString text;
    const size_t length = next() % 20;
    for (size_t i = 0; i < length; ++i) text += alphabet[(next() >> 8) % alphabet.size()];
    ASSERT_EQ(cmd.ParseSQL(text, nullptr), text);
    TParamDescs params;
    const UString rewritten = cmd.ParseSQL(text, &params);
    TMyParser p(rewritten);
    p.SetOmitComment(true);
    int placeholders = 0;
    UString lexem;
    for (int code; (code = p.GetNext(lexem)) != lkEnd;) placeholders += code == lkSymbol && lexem == u"?";
    ASSERT_EQ(static_cast<int>(std::count(rewritten.begin(), rewritten.end(), u'?')), params.Count()) << ToUtf8(text);
    ASSERT_EQ(placeholders, params.Count()) << ToUtf8(text);
  }
}

TEST(TZelCommand, SetSQLScansTheText) {
  TMyScanCommand cmd;
  cmd.SetSQL(kDialogSql);
  EXPECT_EQ(cmd.GetUserSQL(), kDialogSql);
  EXPECT_EQ(cmd.GetSQL(),
            u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = ? AND UserName = ? ");
  EXPECT_EQ(Names(cmd.Params()), (std::vector<UString>{u"SiteID", u"UserName"}));
  EXPECT_EQ(cmd.FindParam(u"username"), cmd.GetParam(1));
  EXPECT_EQ(cmd.FindParam(u"Password"), nullptr);

  cmd.SetDisableParamScan(true);
  cmd.SetSQL(u"SELECT :x");
  EXPECT_EQ(cmd.GetSQL(), u"SELECT :x");
  EXPECT_EQ(cmd.GetParamCount(), 2);
  cmd.SetDisableParamScan(false);
  cmd.SetScanParams(false);
  cmd.SetScanParams(true);  // scans the stored text again
  EXPECT_EQ(cmd.GetSQL(), u"SELECT ?");
  EXPECT_EQ(Names(cmd.Params()), (std::vector<UString>{u"x"}));
}

// A text whose scan fails leaves the command as it was, and assigning it
// again fails again instead of running the old statement.
TEST(TZelCommand, FailedScanChangesNothing) {
  TMyScanCommand cmd;
  cmd.SetSQL(kDialogSql);
  const UString before = cmd.GetSQL();
  const UString bad = u"SELECT * FROM t WHERE a = :a AND \f b = :b";
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      cmd.SetSQL(bad);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"Parser: The unknown symbol '\f'  $000C");
    }
    EXPECT_EQ(cmd.GetUserSQL(), kDialogSql);
    EXPECT_EQ(cmd.GetSQL(), before);
    EXPECT_EQ(Names(cmd.Params()), (std::vector<UString>{u"SiteID", u"UserName"}));
  }
}

TEST(TParamDesc, ValuesAndObjects) {
  struct TObject : TSharedObject {};
  TParamDesc desc;
  EXPECT_TRUE(desc.GetNull());
  desc.SetValue(Variant(u"x"));
  EXPECT_FALSE(desc.GetNull());
  desc.SetNull(true);
  EXPECT_TRUE(desc.GetValue().IsNull());

  auto* object = new TObject;
  desc.SetObject(object);
  EXPECT_EQ(desc.GetObject(), object);
  EXPECT_EQ(object->RefCount(), 2);  // the descriptor holds a reference of its own
  desc.SetNull(true);                // a large object stays for the provider to fill
  EXPECT_EQ(desc.GetObject(), object);
  desc.SetValue(Variant(1));
  EXPECT_EQ(desc.GetObject(), nullptr);
  EXPECT_EQ(object->RefCount(), 1);
  object->Release();
}

TEST(TParamDescs, IndexErrors) {
  TZelCommand cmd;
  cmd.AddParam()->SetName(u"a");
  EXPECT_EQ(cmd.GetParam(0)->GetName(), u"a");
  EXPECT_TRUE(cmd.GetParam(0)->GetIsBound());
  try {
    cmd.GetParam(1);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"List index out of bounds (1)");
  }
  EXPECT_THROW(cmd.DeleteParam(-1), Exception);
  cmd.DeleteParam(0);
  EXPECT_EQ(cmd.GetParamCount(), 0);
}

}  // namespace
}  // namespace vix
