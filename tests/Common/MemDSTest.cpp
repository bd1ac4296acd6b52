#include "Common/MemDS.h"
#include "MemQuery.h"
#include "TestSupport.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "rtl/DateUtils.h"
#include "rtl/FormatSettings.h"

namespace vix {
namespace {

using test::Column;
using test::MemQuery;
using test::RowData;

std::vector<std::vector<Variant>> Numbered(int count) {
  std::vector<std::vector<Variant>> rows;
  for (int i = 1; i <= count; ++i) rows.push_back({Variant(i), Variant(u"user" + IntToStr(i))});
  return rows;
}

const std::vector<Column> kUserColumns = {{u"Id", mtInt32}, {u"UserName", mtWideString, 20}};

// --- lifecycle -----------------------------------------------------------------------

TEST(DataSetLifecycle, EventsInOrderAndOpenOrCloseTwiceDoNothing) {
  std::vector<std::string> events;
  MemQuery q(kUserColumns, Numbered(3));
  q.BeforeOpen = [&](TDataSet&) { events.push_back("BeforeOpen"); };
  q.AfterOpen = [&](TDataSet& d) { events.push_back("AfterOpen " + std::to_string(d.RecordCount())); };
  q.BeforeClose = [&](TDataSet&) { events.push_back("BeforeClose"); };
  q.AfterClose = [&](TDataSet& d) { events.push_back("AfterClose " + std::to_string(d.RecordCount())); };

  EXPECT_EQ(q.RecordCount(), 0);
  q.Close();
  q.Open();
  q.Open();
  EXPECT_EQ(q.Storage.Opens, 1);
  q.Close();
  q.Close();
  q.Open();
  EXPECT_EQ(q.Storage.Opens, 2);
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "AfterOpen 3", "BeforeClose", "AfterClose 0", "BeforeOpen",
                                              "AfterOpen 3"}));
}

TEST(DataSetLifecycle, NavigatesAndReadsTheCurrentRecord) {
  MemQuery q(kUserColumns, Numbered(3));
  q.Open();
  EXPECT_TRUE(q.Bof());
  EXPECT_FALSE(q.Eof());
  std::vector<int> seen;
  for (; !q.Eof(); q.Next()) seen.push_back(q.FieldByName(u"id").AsInteger());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  // Past the end the last record stays current.
  EXPECT_EQ(q.RecNo(), 3);
  EXPECT_EQ(q.FieldByName(u"USERNAME").AsString(), u"user3");
  q.Prior();
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 2);
  q.First();
  q.Prior();
  EXPECT_TRUE(q.Bof());
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 1);
  q.Last();
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 3);
  q.Close();
  EXPECT_EQ(q.FieldCount(), 0);
  EXPECT_EQ(q.FindField(u"Id"), nullptr);
}

TEST(DataSetLifecycle, EmptyResultIsBofAndEofAndReadsAsNull) {
  MemQuery q(kUserColumns, {});
  q.Open();
  EXPECT_EQ(q.RecordCount(), 0);
  EXPECT_TRUE(q.Bof());
  EXPECT_TRUE(q.Eof());
  EXPECT_TRUE(q.IsEmpty());
  TField& id = q.FieldByName(u"Id");
  EXPECT_TRUE(id.IsNull());
  EXPECT_EQ(id.AsInteger(), 0);
  EXPECT_EQ(q.FieldByName(u"UserName").AsString(), u"");
  q.Next();
  q.Last();
  EXPECT_TRUE(q.Eof());
}

TEST(DataSetLifecycle, FieldNotFoundNamesTheFieldAndTheDataSet) {
  MemQuery q(kUserColumns, Numbered(1));
  q.Open();
  struct Case {
    const char16_t* component;
    const char16_t* expected;
  };
  for (const Case& c : {Case{u"Query", u"Query: Field 'Passwd' not found"}, Case{u"", u"Field 'Passwd' not found"}}) {
    q.SetName(c.component);
    try {
      q.FieldByName(u"Passwd");
      ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), c.expected);
    }
  }
  EXPECT_EQ(q.FindField(u"Passwd"), nullptr);
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 1);
}

TEST(DataSetLifecycle, FailedOpenLeavesItClosedWithoutAfterOpen) {
  bool afterOpen = false;
  MemQuery q(kUserColumns, Numbered(2));
  q.Storage.FailOpen = true;
  q.AfterOpen = [&](TDataSet&) { afterOpen = true; };
  EXPECT_THROW(q.Open(), EDatabaseError);
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(afterOpen);
  EXPECT_EQ(q.FieldCount(), 0);
  EXPECT_EQ(q.RecordCount(), 0);
  q.Storage.FailOpen = false;
  q.Open();
  EXPECT_EQ(q.RecordCount(), 2);
  EXPECT_TRUE(afterOpen);
}

TEST(DataSetLifecycle, RowsFetchedInBlocksArriveAsTheCursorMoves) {
  MemQuery q(kUserColumns, Numbered(60));
  q.Storage.BlockRows = 25;
  q.Open();
  EXPECT_EQ(q.RecordCount(), 25);
  for (int i = 0; i < 25; ++i) q.Next();
  EXPECT_EQ(q.RecordCount(), 50);
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 26);
  q.Last();
  EXPECT_EQ(q.RecordCount(), 60);
  EXPECT_EQ(q.FieldByName(u"Id").AsInteger(), 60);
  // Reopening starts over.
  q.Close();
  q.Open();
  EXPECT_EQ(q.RecordCount(), 25);
}

TEST(DataSetLifecycle, UnsupportedColumnTypeFailsTheOpen) {
  MemQuery q({{u"Stamp", mtSQLTimeStamp}}, {});
  try {
    q.Open();
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Query: Data type is not supported");
  }
  EXPECT_FALSE(q.Active());
}

TEST(DataSetLifecycle, FieldWithoutDataSetCannotBeRead) {
  TFieldDef def;
  def.Name = u"Orphan";
  def.DataType = ftInteger;
  def.FieldNo = 1;
  auto field = CreateField(nullptr, def);
  try {
    field->AsInteger();
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Field 'Orphan' has no dataset");
  }
}

// --- conversions ----------------------------------------------------------------------

struct Conversion {
  const char* what;
  Column column;
  Variant value;  // Null for a null value
  UString asString;
  int32_t asInteger;
  const char16_t* integerError;  // the message AsInteger raises, or null
};

const char16_t* kAccessError = u"Cannot access field 'F' as type Integer";

TEST(FieldConversions, AsStringAndAsIntegerByKind) {
  const TDateTime day = EncodeDate(2024, 2, 29);
  const Conversion cases[] = {
      {"wide text number", {u"F", mtWideString, 10}, Variant(u"42"), u"42", 42, nullptr},
      {"wide text blanks and sign", {u"F", mtWideString, 10}, Variant(u"  -17"), u"  -17", -17, nullptr},
      {"wide text hex 0x", {u"F", mtWideString, 10}, Variant(u"0x1F"), u"0x1F", 31, nullptr},
      {"wide text hex x", {u"F", mtWideString, 10}, Variant(u"x10"), u"x10", 16, nullptr},
      {"wide text hex $", {u"F", mtWideString, 10}, Variant(u"$ff"), u"$ff", 255, nullptr},
      {"wide text junk after digits",
       {u"F", mtWideString, 10},
       Variant(u"4x"),
       u"4x",
       0,
       u"'4x' is not a valid integer value"},
      {"wide text trailing blank",
       {u"F", mtWideString, 10},
       Variant(u"4 "),
       u"4 ",
       0,
       u"'4 ' is not a valid integer value"},
      {"wide text empty", {u"F", mtWideString, 10}, Variant(u""), u"", 0, u"'' is not a valid integer value"},
      {"wide text null", {u"F", mtWideString, 10}, Variant::Null(), u"", 0, u"'' is not a valid integer value"},
      {"wide text beyond 32 bits",
       {u"F", mtWideString, 12},
       Variant(u"2147483648"),
       u"2147483648",
       0,
       u"'2147483648' is not a valid integer value"},
      {"wide text cut at its size", {u"F", mtWideString, 3}, Variant(u"12345"), u"123", 123, nullptr},
      {"heap wide text",
       {u"F", mtExtWideString, 20},
       Variant(u"비밀번호"),
       u"비밀번호",
       0,
       u"'비밀번호' is not a valid integer value"},
      {"ANSI text", {u"F", mtString, 10}, Variant(u"한글7"), u"한글7", 0, u"'한글7' is not a valid integer value"},
      {"ANSI text number", {u"F", mtExtString, 10}, Variant(u"7"), u"7", 7, nullptr},
      {"guid text", {u"F", mtGuid, 38}, Variant(u"{0}"), u"{0}", 0, u"'{0}' is not a valid integer value"},
      {"int32", {u"F", mtInt32}, Variant(-5), u"-5", -5, nullptr},
      {"int32 null", {u"F", mtInt32}, Variant::Null(), u"", 0, nullptr},
      {"int16", {u"F", mtInt16}, Variant(int16_t{-300}), u"-300", -300, nullptr},
      {"int8 read as smallint", {u"F", mtInt8}, Variant(int8_t{-2}), u"-2", -2, nullptr},
      {"word", {u"F", mtUInt16}, Variant(uint16_t{65535}), u"65535", 65535, nullptr},
      {"int64 low bits", {u"F", mtInt64}, Variant(int64_t{0x100000005}), u"4294967301", 5, nullptr},
      {"uint32 above 2^31", {u"F", mtUInt32}, Variant(uint32_t{3000000000u}), u"3000000000", -1294967296, nullptr},
      {"float half to even down", {u"F", mtFloat}, Variant(2.5), u"2.5", 2, nullptr},
      {"float half to even up", {u"F", mtFloat}, Variant(3.5), u"3.5", 4, nullptr},
      {"float null", {u"F", mtFloat}, Variant::Null(), u"", 0, nullptr},
      {"currency", {u"F", mtCurrency}, Variant(-1.25), u"-1.25", -1, nullptr},
      {"bcd", {u"F", mtBCD, 10}, Variant(Currency::FromRaw(125000)), u"12.5", 12, nullptr},
      {"boolean true", {u"F", mtBoolean}, Variant(true), u"True", 0, kAccessError},
      {"boolean false", {u"F", mtBoolean}, Variant(false), u"False", 0, kAccessError},
      {"boolean null", {u"F", mtBoolean}, Variant::Null(), u"", 0, kAccessError},
      {"memo", {u"F", mtMemo}, Variant(u"긴 글"), u"긴 글", 0, kAccessError},
      {"wide memo", {u"F", mtWideMemo}, Variant(u"wide"), u"wide", 0, kAccessError},
      {"memo null", {u"F", mtWideMemo}, Variant::Null(), u"", 0, kAccessError},
      {"date", {u"F", mtDate}, Variant::FromDate(day), DateToStr(day), 0, kAccessError},
      {"date null", {u"F", mtDateTime}, Variant::Null(), u"", 0, kAccessError},
      {"time of day", {u"F", mtTime}, Variant::FromDate(EncodeTime(12, 34, 56, 0)), u"12:34:56", 0, kAccessError},
      {"time of -838 hours",
       {u"F", mtTime},
       Variant::FromDate(-(838 * 3600 + 59 * 60 + 59) / 86400.0),
       u"-838:59:59",
       0,
       kAccessError},
      {"time of 100 hours", {u"F", mtTime}, Variant::FromDate(100 / 24.0), u"100:00:00", 0, kAccessError},
      {"time of -1 second", {u"F", mtTime}, Variant::FromDate(-1 / 86400.0), u"-00:00:01", 0, kAccessError},
      {"time of -25 hours and milliseconds",
       {u"F", mtTime},
       Variant::FromDate(-(25 * 3600 + 0.25) / 86400.0),
       u"-25:00:00.250",
       0,
       kAccessError},
      {"bytes", {u"F", mtVarBytes, 4}, Variant::FromBytes("ab"), u"ab", 0, kAccessError},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.what);
    MemQuery q({c.column}, {{c.value}});
    q.Open();
    TField& f = q.FieldByName(u"F");
    EXPECT_EQ(f.IsNull(), c.value.IsNull());
    EXPECT_EQ(f.AsString(), c.asString);
    if (c.integerError) {
      try {
        f.AsInteger();
        ADD_FAILURE() << "no error";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), c.integerError);
      }
      // The failed read changes nothing.
      EXPECT_EQ(f.AsString(), c.asString);
      EXPECT_EQ(q.RecNo(), 1);
    } else {
      EXPECT_EQ(f.AsInteger(), c.asInteger);
    }
  }
}

TEST(FieldConversions, UnsignedThirtyTwoBitFieldChecksTheIntegerRange) {
  MemQuery q({{u"F", mtUInt32}}, {{Variant(uint32_t{2147483647u})}, {Variant(uint32_t{4294967295u})}});
  q.Open();
  TFieldDef def = q.FieldDefs()[0];
  def.DataType = ftLongWord;
  const auto field = CreateField(&q, def);
  EXPECT_EQ(field->AsInteger(), 2147483647);
  q.Next();
  EXPECT_EQ(field->AsString(), u"4294967295");
  // As a variant the value is whole: an unsigned 32-bit one.
  EXPECT_EQ(field->AsVariant(), Variant(uint32_t{4294967295u}));
  try {
    field->AsInteger();
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"4294967295 is not a valid value for field 'F'. The allowed range is 0 to 2147483647");
  }
}

// A field whose number names no column of the storage is refused, not read
// from outside the descriptor list.
TEST(FieldConversions, AFieldNumberOutsideTheStorageIsRefused) {
  MemQuery q({{u"F", mtInt32}}, {{Variant(7)}});
  q.Open();
  for (const int fieldNo : {0, 2, -1, 1000}) {
    SCOPED_TRACE(fieldNo);
    TFieldDef def = q.FieldDefs()[0];
    def.FieldNo = fieldNo;
    const auto field = CreateField(&q, def);
    EXPECT_THROW(field->AsString(), Exception);
    EXPECT_THROW(field->IsNull(), Exception);
  }
}

TEST(FieldConversions, ErrorKinds) {
  MemQuery q({{u"T", mtWideString, 4}, {u"B", mtBoolean}}, {{Variant(u"x"), Variant(true)}});
  q.Open();
  EXPECT_THROW(q.FieldByName(u"T").AsInteger(), EConvertError);
  EXPECT_THROW(q.FieldByName(u"B").AsInteger(), EDatabaseError);
}

TEST(FieldConversions, FloatTextUsesTheProcessDecimalSeparator) {
  TFormatSettings& settings = FormatSettings();
  const char16_t saved = settings.DecimalSeparator;
  settings.DecimalSeparator = u',';
  MemQuery q({{u"F", mtFloat}}, {{Variant(0.1 + 0.2)}});
  q.Open();
  const UString text = q.FieldByName(u"F").AsString();
  settings.DecimalSeparator = saved;
  EXPECT_EQ(text, u"0,3");
}

TEST(FieldConversions, TrimmingOfFixedAndVariableTexts) {
  struct Case {
    bool fixed;
    bool trimFixed;
    bool trimVar;
    const char16_t* expected;
  };
  for (const Case& c : {Case{true, true, false, u"ab"}, Case{true, false, false, u"ab  "},
                        Case{false, true, false, u"ab  "}, Case{false, true, true, u"ab"}}) {
    MemQuery q({{u"F", mtWideString, 4, c.fixed}}, {{Variant(u"ab  ")}});
    q.SetTrimFixedChar(c.trimFixed);
    q.SetTrimVarChar(c.trimVar);
    q.Open();
    EXPECT_EQ(q.FieldByName(u"F").AsString(), c.expected) << c.fixed << c.trimFixed << c.trimVar;
  }
}

TEST(FieldConversions, BooleanDisplayValues) {
  MemQuery q({{u"F", mtBoolean}}, {{Variant(true)}, {Variant(false)}});
  q.Open();
  auto& f = dynamic_cast<TBooleanField&>(q.FieldByName(u"F"));
  f.SetDisplayValues(u"예;아니오");
  EXPECT_EQ(f.AsString(), u"예");
  q.Next();
  EXPECT_EQ(f.AsString(), u"아니오");
  f.SetDisplayValues(u"");
  EXPECT_EQ(f.AsString(), u"False");
}

TEST(FieldConversions, FieldDefinitionsFollowTheDescriptors) {
  MemQuery q({{u"Name", mtWideString, 0}, {u"Code", mtString, 12, true}, {u"N", mtInt32}, {u"N", mtInt16}}, {});
  q.Open();
  const auto& defs = q.FieldDefs();
  ASSERT_EQ(defs.size(), 4u);
  EXPECT_EQ(defs[0].DataType, ftWideString);
  EXPECT_EQ(defs[0].Size, 1);
  EXPECT_EQ(q.FieldByName(u"Name").DataSize(), 4);
  EXPECT_EQ(defs[1].DataType, ftString);
  EXPECT_EQ(defs[1].Size, 12);
  EXPECT_TRUE(defs[1].Fixed);
  EXPECT_EQ(defs[2].FieldNo, 3);
  // Names are made unique by the storage.
  EXPECT_EQ(defs[3].Name, u"N_1");
  EXPECT_EQ(q.FieldByName(u"n_1").DataType(), ftSmallint);
}

}  // namespace
}  // namespace vix
