#include "Common/DBAccess.h"

#include <vector>

#include "TestSupport.h"
#include "rtl/CodePage.h"
#include "rtl/DateUtils.h"
#include "rtl/SysUtils.h"

namespace vix {
namespace {

TEST(TDAParams, ParamByName) {
  TDAParams params;
  params.Add(u"SiteID");
  params.Add(u"UserName");
  params.Add(u"username");
  EXPECT_EQ(params.ParamByName(u"siteid"), params.Items(0));
  EXPECT_EQ(params.ParamByName(u"USERNAME"), params.Items(1));  // the first of two
  EXPECT_EQ(params.FindParam(u"Password"), nullptr);
  try {
    params.ParamByName(u"Password");
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Parameter 'Password' not found");
  }
  EXPECT_EQ(params.Count(), 3);
  EXPECT_THROW(params.Items(3), Exception);
}

TEST(TDAParam, SettersSetTheType) {
  struct Case {
    const char* What;
    TFieldType Before;
    void (*Set)(TDAParam&);
    TFieldType After;
    Variant Value;
  };
  const Case cases[] = {
      {"AsString", ftUnknown, [](TDAParam& p) { p.SetAsString(u"김"); }, ftWideString, Variant(u"김")},
      {"AsString on ftString", ftString, [](TDAParam& p) { p.SetAsString(u"a"); }, ftWideString, Variant(u"a")},
      {"AsString on ftFixedWideChar", ftFixedWideChar, [](TDAParam& p) { p.SetAsWideString(u"a"); }, ftFixedWideChar,
       Variant(u"a")},
      {"AsAnsiString", ftUnknown, [](TDAParam& p) { p.SetAsAnsiString(u"김a"); }, ftString,
       Variant::FromAnsi(Utf16ToAnsi(u"김a"))},
      {"AsAnsiString on ftFixedChar", ftFixedChar, [](TDAParam& p) { p.SetAsAnsiString(u"a"); }, ftFixedChar,
       Variant::FromAnsi("a")},
      {"AsAnsiString on ftWideString", ftWideString, [](TDAParam& p) { p.SetAsAnsiString(u"김"); }, ftWideString,
       Variant(u"김")},
      {"AsInteger", ftString, [](TDAParam& p) { p.SetAsInteger(-7); }, ftInteger, Variant(int32_t{-7})},
      {"AsSmallInt", ftUnknown, [](TDAParam& p) { p.SetAsSmallInt(-2); }, ftSmallint, Variant(int16_t{-2})},
      {"AsWord", ftUnknown, [](TDAParam& p) { p.SetAsWord(65535); }, ftWord, Variant(uint16_t{65535})},
      {"AsShortInt", ftUnknown, [](TDAParam& p) { p.SetAsShortInt(-1); }, ftShortint, Variant(int8_t{-1})},
      {"AsByte", ftUnknown, [](TDAParam& p) { p.SetAsByte(255); }, ftByte, Variant(uint8_t{255})},
      {"AsLargeInt", ftUnknown, [](TDAParam& p) { p.SetAsLargeInt(INT64_MIN); }, ftLargeint, Variant(INT64_MIN)},
      {"AsFloat", ftUnknown, [](TDAParam& p) { p.SetAsFloat(1.5); }, ftFloat, Variant(1.5)},
      {"Value keeps a type", ftInteger, [](TDAParam& p) { p.SetValue(Variant(u"12")); }, ftInteger, Variant(u"12")},
  };
  for (const auto& c : cases) {
    TDAParam p(u"p");
    p.SetDataType(c.Before);
    c.Set(p);
    EXPECT_EQ(p.GetDataType(), c.After) << c.What;
    EXPECT_TRUE(p.GetValue() == c.Value) << c.What;
    EXPECT_FALSE(p.IsNull()) << c.What;
  }
}

TEST(TDAParam, ValueOfUnknownTypeGivesTheType) {
  const std::pair<Variant, TFieldType> cases[] = {
      {Variant(int16_t{1}), ftSmallint}, {Variant(int32_t{1}), ftInteger},   {Variant(1.0f), ftSingle},
      {Variant(1.0), ftFloat},           {Variant(Currency()), ftBCD},       {Variant::FromDate(1.0), ftDateTime},
      {Variant(u"x"), ftWideString},     {Variant(true), ftBoolean},         {Variant(int8_t{1}), ftShortint},
      {Variant(uint8_t{1}), ftByte},     {Variant(uint16_t{1}), ftWord},     {Variant(uint32_t{1}), ftLongWord},
      {Variant(int64_t{1}), ftLargeint}, {Variant::FromAnsi("x"), ftString}, {Variant(TSQLTimeStamp()), ftTimeStamp},
      {Variant(TBcd()), ftFMTBcd},       {Variant::Null(), ftUnknown},
  };
  for (const auto& [value, type] : cases) {
    TDAParam p;
    p.SetValue(value);
    EXPECT_EQ(p.GetDataType(), type) << ToUtf8(VarTypeName(value.VarType()));
  }
}

TEST(TDAParam, NullAndBound) {
  TDAParam p(u"p");
  EXPECT_TRUE(p.IsNull());
  EXPECT_TRUE(p.GetBound());
  EXPECT_EQ(p.GetAsString(), u"");
  EXPECT_EQ(p.GetAsInteger(), 0);

  p.SetAsString(u"");  // an empty text is a value
  EXPECT_FALSE(p.IsNull());
  EXPECT_TRUE(p.GetBound());

  p.SetValue(Variant::Null());
  EXPECT_TRUE(p.IsNull());
  EXPECT_TRUE(p.GetBound());
  p.SetValue(Variant());
  EXPECT_TRUE(p.IsNull());
  EXPECT_FALSE(p.GetBound());

  p.SetAsInteger(5);
  p.SetDataType(ftFloat);  // another type discards the value
  EXPECT_TRUE(p.IsNull());
  p.SetAsFloat(2);
  p.SetDataType(ftFloat);
  EXPECT_FALSE(p.IsNull());
  p.Clear();
  EXPECT_TRUE(p.IsNull());
  EXPECT_EQ(p.GetDataType(), ftFloat);
}

TEST(TDAParam, Getters) {
  TDAParam p;
  p.SetAsString(u"12");
  EXPECT_EQ(p.GetAsInteger(), 12);
  p.SetAsString(u"twelve");
  EXPECT_THROW(p.GetAsInteger(), EVariantError);
  EXPECT_EQ(p.GetAsString(), u"twelve");  // the value stays

  TDAParam d;
  d.SetDataType(ftDateTime);
  d.SetValue(Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 45, 0, 0)));
  EXPECT_EQ(d.GetAsString(), DateToStr(EncodeDate(2024, 2, 29)));  // the date part only
}

TEST(TDAParams, WriteParamDescs) {
  TZelCommand cmd;
  cmd.SetSQL(u"SELECT :SiteID, :UserName, :Empty, :Never, :D, :B, :siteid, :Out");
  TDAParams params;
  params.Add(u"SiteID")->SetAsString(u"1001");
  params.Add(u"UserName")->SetAsString(u"홍길동");
  params.Add(u"Empty")->SetAsString(u"");
  params.Add(u"Never");
  TDAParam* d = params.Add(u"D");
  d->SetDataType(ftDate);
  d->SetValue(Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)));
  TDAParam* b = params.Add(u"B");
  b->SetDataType(ftBytes);
  b->SetValue(Variant(u"ab"));
  TDAParam* out = params.Add(u"Out");
  out->SetParamType(ptOutput);
  out->SetAsInteger(3);
  out->SetSize(4);

  TParamWriteSettings settings;
  settings.ConvertEOL = true;
  params.WriteParamDescs(cmd.Params(), &GetDataType, true, settings);

  struct Expect {
    uint16_t DataType;
    TParamDirection Direction;
    int32_t Size;
    bool Null;
    Variant Value;
  };
  const Expect expected[] = {
      {mtWideString, pdUnknown, 4, false, Variant(u"1001")},
      {mtWideString, pdUnknown, 6, false, Variant(u"홍길동")},  // ANSI bytes of the text
      {mtWideString, pdUnknown, 0, false, Variant(u"")},
      {mtUnknown, pdUnknown, 0, true, Variant()},
      {mtDate, pdUnknown, 0, false, Variant::FromDate(EncodeDate(2024, 1, 2))},
      {mtBytes, pdUnknown, 2, false, Variant::FromBytes("ab")},
      {mtWideString, pdUnknown, 4, false, Variant(u"1001")},  // one parameter feeds both
      {mtInt32, pdOutput, 4, true, Variant()},                // no value for an output
  };
  ASSERT_EQ(cmd.GetParamCount(), 8);
  for (int i = 0; i < 8; ++i) {
    const TParamDesc* desc = cmd.GetParam(i);
    const Expect& e = expected[i];
    EXPECT_EQ(desc->GetDataType(), e.DataType) << i;
    EXPECT_EQ(desc->GetParamType(), e.Direction) << i;
    EXPECT_EQ(desc->GetSize(), e.Size) << i;
    EXPECT_EQ(desc->GetNull(), e.Null) << i;
    EXPECT_TRUE(desc->GetValue() == e.Value) << i;
    EXPECT_TRUE(desc->GetIsBound()) << i;
    EXPECT_TRUE(desc->GetConvertEOL()) << i;
  }
  EXPECT_EQ(cmd.GetParam(0)->GetName(), u"SiteID");
  EXPECT_EQ(cmd.GetParam(6)->GetName(), u"SiteID");

  // The connection's default size stands in for a size of 0.
  settings.DefaultParamSize = 255;
  params.WriteParamDescs(cmd.Params(), &GetDataType, false, settings);
  EXPECT_EQ(cmd.GetParam(2)->GetSize(), 255);
  EXPECT_EQ(cmd.GetParam(0)->GetSize(), 4);
}

TEST(TDAParams, RebuildFromParamDescs) {
  TZelCommand cmd;
  TDAParams params;
  cmd.SetSQL(u"SELECT :a, :B");
  params.RebuildFromParamDescs(cmd.Params(), &GetFieldType);
  params.ParamByName(u"A")->SetAsInteger(5);
  params.ParamByName(u"b")->SetAsString(u"x");

  // A new text keeps the values of the names that survive.
  cmd.SetSQL(u"SELECT :c, :A, :c, :C");
  std::vector<TDAParam*> refs;
  params.RebuildFromParamDescs(cmd.Params(), &GetFieldType, &refs);
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params.Items(0)->GetName(), u"c");
  EXPECT_TRUE(params.Items(0)->IsNull());
  EXPECT_EQ(params.Items(0)->GetDataType(), ftUnknown);
  EXPECT_EQ(params.Items(1)->GetName(), u"A");
  EXPECT_EQ(params.Items(1)->GetAsInteger(), 5);
  EXPECT_EQ(refs, (std::vector<TDAParam*>{params.Items(0), params.Items(1), params.Items(0), params.Items(0)}));
}

// The dialog's path: text, two values by name, the command's descriptors.
TEST(TDAParams, DialogStatement) {
  TZelCommand cmd;
  TDAParams params;
  cmd.SetSQL(
      u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
      u":UserName ");
  params.RebuildFromParamDescs(cmd.Params(), &GetFieldType);
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params.Items(0)->GetDataType(), ftUnknown);
  params.ParamByName(u"siteid")->SetAsString(u"2001");
  params.ParamByName(u"UserName")->SetAsString(u"admin");
  params.WriteParamDescs(cmd.Params(), &GetDataType, true, TParamWriteSettings());
  for (int i = 0; i < 2; ++i) {
    const TParamDesc* desc = cmd.GetParam(i);
    EXPECT_EQ(desc->GetDataType(), mtWideString);
    EXPECT_EQ(desc->GetParamType(), pdUnknown);
    EXPECT_TRUE(desc->GetIsBound());
    EXPECT_FALSE(desc->GetNull());
  }
  EXPECT_TRUE(cmd.GetParam(0)->GetValue() == Variant(u"2001"));
  EXPECT_TRUE(cmd.GetParam(1)->GetValue() == Variant(u"admin"));
  EXPECT_EQ(cmd.GetParam(1)->GetSize(), 5);
}

TEST(TDAParams, AssignValuesByName) {
  TDAParams before;
  before.Add(u"UserName")->SetAsString(u"kim");
  TDAParam* gone = before.Add(u"Gone");
  gone->SetAsInteger(1);
  gone->SetParamType(ptInput);
  TDAParam* site = before.Add(u"SiteID");
  site->SetAsInteger(7);
  site->SetParamType(ptInput);
  site->SetSize(9);

  TDAParams after;
  after.Add(u"siteid");
  after.Add(u"username")->SetParamType(ptOutput);
  after.Add(u"New");
  after.AssignValues(before);

  EXPECT_EQ(after.Items(0)->GetDataType(), ftInteger);
  EXPECT_EQ(after.Items(0)->GetAsInteger(), 7);
  EXPECT_EQ(after.Items(0)->GetParamType(), ptInput);
  EXPECT_EQ(after.Items(0)->GetSize(), 9);
  EXPECT_EQ(after.Items(1)->GetAsString(), u"kim");
  EXPECT_EQ(after.Items(1)->GetParamType(), ptOutput);  // its own direction stays
  EXPECT_TRUE(after.Items(2)->IsNull());
}

TEST(TDAParam, BlobTypes) {
  TDAParam memo(u"m");
  memo.SetDataType(ftMemo);
  TBlob* blob = memo.GetAsBlobRef();
  ASSERT_NE(blob, nullptr);
  EXPECT_FALSE(blob->IsUnicode());
  EXPECT_TRUE(memo.IsNull());
  memo.SetAsString(u"가나");  // into the blob; the type stays
  EXPECT_EQ(memo.GetDataType(), ftMemo);
  EXPECT_EQ(blob->AsAnsiString(), Utf16ToAnsi(u"가나"));
  EXPECT_EQ(memo.GetAsString(), u"가나");
  EXPECT_FALSE(memo.IsNull());
  memo.SetValue(Variant(int32_t{42}));  // any value as its text
  EXPECT_EQ(memo.GetAsString(), u"42");
  memo.Clear();
  EXPECT_TRUE(memo.IsNull());
  EXPECT_EQ(memo.GetAsBlobRef(), blob);

  TDAParam wide;
  wide.SetDataType(ftWideMemo);
  EXPECT_TRUE(wide.GetAsBlobRef()->IsUnicode());

  TDAParam bytes;
  bytes.SetAsBlob(std::string("\0\x01\xFF", 3));
  EXPECT_EQ(bytes.GetDataType(), ftBlob);
  EXPECT_EQ(bytes.GetAsBlob(), std::string("\0\x01\xFF", 3));
  bytes.SetValue(Variant::FromBytes("ab"));
  EXPECT_EQ(bytes.GetAsBlob(), "ab");

  // Another type releases the blob.
  blob->AddRef();
  memo.SetDataType(ftInteger);
  EXPECT_EQ(memo.GetAsBlobRef(), nullptr);
  EXPECT_EQ(blob->RefCount(), 1);
  blob->Release();
}

TEST(TDAParams, BlobsGoToTheCommandAsObjects) {
  TZelCommand cmd;
  cmd.SetSQL(u"INSERT INTO t VALUES (:Doc, :Empty)");
  TDAParams params;
  params.Add(u"Doc")->SetAsMemo(u"text");
  params.Add(u"Empty")->SetDataType(ftBlob);
  params.WriteParamDescs(cmd.Params(), &GetDataType, true, TParamWriteSettings());
  const TParamDesc* doc = cmd.GetParam(0);
  EXPECT_EQ(doc->GetDataType(), mtMemo);
  EXPECT_EQ(doc->GetObject(), params.Items(0)->GetAsBlobRef());
  EXPECT_EQ(params.Items(0)->GetAsBlobRef()->RefCount(), 2);  // parameter and descriptor
  EXPECT_FALSE(doc->GetNull());
  const TParamDesc* empty = cmd.GetParam(1);
  EXPECT_EQ(empty->GetObject(), params.Items(1)->GetAsBlobRef());
  EXPECT_TRUE(empty->GetNull());

  // Values copied by name share the blob.
  TDAParams copy;
  copy.Add(u"doc");
  copy.AssignValues(params);
  EXPECT_EQ(copy.Items(0)->GetAsBlobRef(), params.Items(0)->GetAsBlobRef());
  EXPECT_EQ(copy.Items(0)->GetAsString(), u"text");
}

TEST(TMacros, ScanAndExpand) {
  TMacros macros;
  const UString sql = u"SELECT * FROM &Table WHERE &where AND x = '&str' /* &c */ AND y=a & b AND &&Order &Table";
  macros.Scan(sql);
  // "&&" is MySQL's AND: "a&&Order" keeps its column.
  ASSERT_EQ(macros.Count(), 2);
  EXPECT_EQ(macros.Items(0)->GetName(), u"Table");
  EXPECT_EQ(macros.Items(1)->GetName(), u"where");  // keywords keep their case
  EXPECT_EQ(macros.FindMacro(u"Order"), nullptr);

  macros.FindMacro(u"table")->SetValue(u"UserMt");
  macros.FindMacro(u"WHERE")->SetValue(u"SiteID = 1");
  EXPECT_EQ(macros.Expand(sql),
            u"SELECT * FROM UserMt WHERE SiteID = 1 AND x = '&str' /* &c */ AND y=a & b AND &&Order UserMt");

  // A new text keeps the values of the names that survive.
  macros.Scan(u"SELECT &x FROM &TABLE");
  ASSERT_EQ(macros.Count(), 2);
  EXPECT_EQ(macros.Items(1)->GetValue(), u"UserMt");
  EXPECT_EQ(macros.Expand(u"SELECT &x FROM &TABLE"), u"SELECT  FROM UserMt");

  // A text without '&' empties the list and is left alone; one that does not lex changes nothing.
  EXPECT_THROW(macros.Scan(u"SELECT &x \f"), Exception);
  EXPECT_EQ(macros.Count(), 2);
  macros.Scan(u"SELECT 1");
  EXPECT_EQ(macros.Count(), 0);
  EXPECT_EQ(macros.Expand(u"SELECT &y"), u"SELECT &y");
}

TEST(TMacros, AMySqlTextIsScannedWithTheMySqlLexer) {
  // The backslash escapes the apostrophe in MySQL: "&Jerry" is inside the string.
  const UString sql = u"SELECT 'Tom\\'s &Jerry', \"&q\" FROM &T # &c";
  struct Case {
    TParserClass lexer;
    std::vector<UString> names;
    UString expanded;
  } const cases[] = {
      {NewParser<TMyParser>, {u"T"}, u"SELECT 'Tom\\'s &Jerry', \"&q\" FROM t # &c"},
      {NewParser<TMyVixParser>, {u"T"}, u"SELECT 'Tom\\'s &Jerry', \"&q\" FROM t # &c"},
  };
  for (const Case& c : cases) {
    TMacros macros;
    macros.SetParserClass(c.lexer);
    macros.Scan(sql);
    std::vector<UString> names;
    for (int i = 0; i < macros.Count(); ++i) names.push_back(macros.Items(i)->GetName());
    EXPECT_EQ(names, c.names);
    for (int i = 0; i < macros.Count(); ++i) macros.Items(i)->SetValue(u"t");
    EXPECT_EQ(macros.Expand(sql), c.expanded);
  }
  // The SQL lexer ends the string at the escaped apostrophe and takes the macro out of it.
  TMacros plain;
  plain.Scan(sql);
  EXPECT_NE(plain.FindMacro(u"Jerry"), nullptr);
}

}  // namespace
}  // namespace vix
