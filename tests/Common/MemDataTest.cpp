#include "Common/MemData.h"
#include "TestSupport.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace vix {
namespace {

struct FieldDef {
  const char16_t* Name;
  TDataType Type;
  int Length = 0;
  TFieldDescKind Kind = fdkData;
};

// Blobs that count their destruction.
class CountedBlob : public TBlob {
 public:
  CountedBlob(bool unicode, int& destroyed) : TBlob(unicode), FDestroyed(destroyed) {}

 protected:
  ~CountedBlob() override { ++FDestroyed; }

 private:
  int& FDestroyed;
};

// Storage whose descriptors come from a list, as a provider's would.
class TestData : public TMemData {
 public:
  explicit TestData(std::initializer_list<FieldDef> defs) : FDefs(defs) { InitFields(); }
  explicit TestData(std::vector<FieldDef> defs) : FDefs(std::move(defs)) { InitFields(); }
  mutable int BlobsDestroyed = 0;

 protected:
  void InternalInitFields() override {
    for (const auto& s : FDefs) {
      auto d = std::make_unique<TFieldDesc>();
      d->FName = s.Name;
      d->FActualName = s.Name;
      d->FDataType = s.Type;
      d->FLength = static_cast<uint16_t>(s.Length);
      d->FSize = DataTypeSize(s.Type, s.Length);
      d->FFieldDescKind = s.Kind;
      FFields.Add(std::move(d));
    }
  }
  TBlob* NewBlob(const TFieldDesc& field) const override {
    return new CountedBlob(field.FDataType == mtWideMemo, BlobsDestroyed);
  }

 private:
  std::vector<FieldDef> FDefs;
};

// --- type codes and layout -------------------------------------------------------

TEST(DataTypes, MapsToFieldTypesAndBack) {
  const TFieldType expected[] = {ftUnknown, ftString,   ftSmallint,  ftSmallint, ftInteger,    ftFloat,      ftDate,
                                 ftTime,    ftDateTime, ftWord,      ftBoolean,  ftLargeint,   ftCurrency,   ftBlob,
                                 ftMemo,    ftADT,      ftReference, ftArray,    ftDataSet,    ftVariant,    ftString,
                                 ftBytes,   ftVarBytes, ftVarBytes,  ftLargeint, ftWideString, ftWideString, ftBCD,
                                 ftFMTBcd,  ftGuid,     ftWideMemo};
  for (TDataType t = 0; t < std::size(expected); ++t) EXPECT_EQ(GetFieldType(t), expected[t]) << t;
  EXPECT_EQ(GetFieldType(mtCursor), ftCursor);
  EXPECT_EQ(GetFieldType(mtUInt64), ftLargeint);
  for (TDataType t : {TDataType{mtSQLTimeStamp}, TDataType{34}, TDataType{1000}}) {
    try {
      GetFieldType(t);
      FAIL() << t;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"Unknown data type");
    }
  }
  struct Back {
    TFieldType f;
    TDataType t;
  } const back[] = {{ftString, mtString},
                    {ftFixedChar, mtString},
                    {ftSmallint, mtInt16},
                    {ftInteger, mtInt32},
                    {ftAutoInc, mtInt32},
                    {ftWord, mtUInt16},
                    {ftBoolean, mtBoolean},
                    {ftFloat, mtFloat},
                    {ftExtended, mtFloat},
                    {ftSingle, mtFloat},
                    {ftCurrency, mtCurrency},
                    {ftBCD, mtBCD},
                    {ftDate, mtDate},
                    {ftTime, mtTime},
                    {ftDateTime, mtDateTime},
                    {ftBytes, mtBytes},
                    {ftVarBytes, mtVarBytes},
                    {ftBlob, mtBlob},
                    {ftMemo, mtMemo},
                    {ftCursor, mtCursor},
                    {ftWideString, mtWideString},
                    {ftFixedWideChar, mtWideString},
                    {ftLargeint, mtInt64},
                    {ftADT, mtObject},
                    {ftArray, mtArray},
                    {ftReference, mtReference},
                    {ftDataSet, mtTable},
                    {ftVariant, mtVariant},
                    {ftGuid, mtGuid},
                    {ftFMTBcd, mtFMTBCD},
                    {ftWideMemo, mtWideMemo},
                    {ftLongWord, mtUInt32},
                    {ftShortint, mtInt8},
                    {ftByte, mtInt16}};
  for (int f = 0; f < kFieldTypeCount; ++f) {
    TDataType want = mtUnknown;
    for (const auto& b : back)
      if (b.f == f) want = b.t;
    EXPECT_EQ(GetDataType(static_cast<TFieldType>(f)), want) << f;
  }
}

TEST(Layout, SlotOfEveryDataTypeBetweenTwoFields) {
  // A 1-byte field, the field under test, a 4-byte field.
  struct Case {
    TDataType type;
    int length;
    int offset;
    int size;
  } const cases[] = {
      {mtString, 10, 1, 11},
      {mtInt8, 0, 1, 1},
      {mtInt16, 0, 1, 2},
      {mtInt32, 0, 1, 4},
      {mtFloat, 0, 1, 8},
      {mtDate, 0, 1, 8},
      {mtTime, 0, 1, 8},
      {mtDateTime, 0, 1, 8},
      {mtUInt16, 0, 1, 2},
      {mtBoolean, 0, 1, 2},
      {mtInt64, 0, 1, 8},
      {mtCurrency, 0, 1, 8},
      {mtBlob, 0, 1, kRefSize},
      {mtMemo, 0, 1, kRefSize},
      {mtVariant, 0, 1, kRefSize},
      {mtExtString, 0, 1, kRefSize},
      {mtBytes, 5, 1, 5},
      {mtVarBytes, 5, 1, 7},
      {mtExtVarBytes, 0, 1, kRefSize},
      {mtUInt32, 0, 1, 4},
      {mtWideString, 3, 2, 8},
      {mtExtWideString, 0, 1, kRefSize},
      {mtBCD, 0, 1, 8},
      {mtFMTBCD, 10, 1, 34},
      {mtGuid, 38, 1, 39},
      {mtWideMemo, 0, 1, kRefSize},
      {mtSQLTimeStamp, 0, 1, 16},
      {mtCursor, 0, 1, kRefSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    TestData data{{u"A", mtInt8}, {u"B", c.type, c.length}, {u"C", mtInt32}};
    const TFieldDesc& b = data.Fields()[1];
    EXPECT_EQ(b.FOffset, c.offset);
    EXPECT_EQ(b.FSize, c.size);
    EXPECT_EQ(data.Fields()[2].FOffset, c.offset + c.size);
    const int dataSize = c.offset + c.size + 4;
    EXPECT_EQ(data.DataSize(), dataSize);
    const int recordSize = (dataSize + 3) % 2 == 0 ? dataSize + 4 : dataSize + 3;
    EXPECT_EQ(data.RecordSize(), recordSize);
    EXPECT_EQ(data.RecordSize() % 2, 1);
    EXPECT_EQ(data.HasComplexFields(), IsComplexDataType(c.type));
    // The null flag of B is the second byte after the data area.
    auto rec = data.AllocRecBuf();
    data.SetNull(2, rec.data(), false);
    EXPECT_EQ(rec[static_cast<size_t>(dataSize) + 1], 0);
    EXPECT_EQ(rec[static_cast<size_t>(dataSize)], 1);
  }
}

TEST(Layout, RecordSizesAndCalculatedArea) {
  TestData two{{u"A", mtInt32}, {u"B", mtInt32}};
  EXPECT_EQ(two.DataSize(), 8);
  EXPECT_EQ(two.RecordSize(), 11);
  EXPECT_EQ(two.CalcRecordSize(), 0);

  TestData wide{{u"A", mtString, 2}, {u"W", mtWideString, 4}};
  EXPECT_EQ(wide.Fields()[1].FOffset, 4);

  TestData calc{{u"A", mtInt32}, {u"C", mtInt16, 0, fdkCalculated}, {u"W", mtWideString, 1, fdkCalculated}};
  EXPECT_EQ(calc.DataSize(), 4);
  EXPECT_EQ(calc.RecordSize(), 7);          // 4 + 3 null flags
  EXPECT_EQ(calc.Fields()[1].FOffset, 7);   // after the record
  EXPECT_EQ(calc.Fields()[2].FOffset, 10);  // 9 moved to an even offset
  EXPECT_EQ(calc.CalcDataSize(), 7);
  EXPECT_EQ(calc.CalcRecordSize(), 7);
}

TEST(Layout, RecordsBeyondTheLimitAreRefused) {
  // 1,023 slots of 65,535 bytes, one of `last` bytes and `calc` calculated
  // bytes: 65,534 gives a record of exactly kMaxRecordSize - 1 bytes (odd);
  // 65,532 one byte less, so that one calculated byte (its area is odd) fits.
  struct Case {
    int last;
    int calc;
    bool fits;
  };
  const Case cases[] = {{65534, 0, true}, {65535, 0, false}, {65532, 1, true}, {65532, 2, false}, {1, 60000, true}};
  for (const Case& c : cases) {
    std::vector<FieldDef> defs(1023, FieldDef{u"B", mtBytes, 65535});
    defs.push_back({u"L", mtBytes, c.last});
    if (c.calc) defs.push_back({u"C", mtBytes, c.calc, fdkCalculated});
    SCOPED_TRACE(c.last);
    if (c.fits) {
      TestData data(std::move(defs));
      EXPECT_LE(data.RecordSize() + data.CalcRecordSize(), kMaxRecordSize);
      EXPECT_EQ(data.Fields()[1022].FOffset, 1022 * 65535);
    } else {
      try {
        TestData data(std::move(defs));
        ADD_FAILURE() << "laid out";
      } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), u"The record layout exceeds the limit of 67108864 bytes per record");
      }
    }
  }
  // Field numbers are 16-bit: a record of more fields is refused, not renumbered.
  EXPECT_THROW(TestData(std::vector<FieldDef>(65536, FieldDef{u"I", mtInt8})), EDatabaseError);
  EXPECT_NO_THROW(TestData(std::vector<FieldDef>(65535, FieldDef{u"I", mtInt8})));
}

TEST(Fields, UniqueNames) {
  TestData data{{u"ID", mtInt32}, {u"id", mtInt32}, {u"", mtInt32}, {u"ID", mtInt32}, {u"ID_1", mtInt32}};
  const char16_t* const expected[] = {u"ID", u"id_1", u"_0", u"ID_2", u"ID_1_1"};
  for (int i = 0; i < data.Fields().Count(); ++i) EXPECT_EQ(data.Fields()[i].FName, expected[i]);
}

TEST(Fields, FindFieldAndFieldByName) {
  TestData data{{u"SiteID", mtInt32}, {u"Password", mtString, 8}};
  TFieldDescs& fields = data.Fields();
  EXPECT_EQ(fields.FindField(u"siteid"), &fields[0]);
  fields[1].FActualName = u"UserMt.Password";
  EXPECT_EQ(fields.FindField(u"usermt.password"), &fields[1]);
  auto nested = std::make_unique<TFieldDesc>();
  nested->FName = u"Inner";
  nested->FParentField = &fields[0];
  fields.Add(std::move(nested));
  EXPECT_EQ(fields.FindField(u"INNER"), &fields[2]);
  EXPECT_EQ(fields.FindField(u"Nope"), nullptr);
  try {
    fields.FieldByName(u"Nope");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Field Nope not found");
  }
}

// --- values in records -------------------------------------------------------------

TEST(Values, VariantRoundTripPerType) {
  const TDateTime when = EncodeDateTime(2024, 2, 9, 10, 11, 12, 0);
  struct Case {
    FieldDef def;
    Variant in;
    Variant out;
  } const cases[] = {
      {{u"s", mtString, 5}, Variant(u"abc"), Variant::FromAnsi("abc")},
      {{u"s", mtString, 5}, Variant(u"abcdefgh"), Variant::FromAnsi("abcde")},  // clamped
      {{u"w", mtWideString, 3}, Variant(u"\uAC00bcd"), Variant(u"\uAC00bc")},
      {{u"es", mtExtString}, Variant(u"long text"), Variant::FromAnsi("long text")},
      {{u"ew", mtExtWideString}, Variant(u"\uAC00\uAC01"), Variant(u"\uAC00\uAC01")},
      {{u"i8", mtInt8}, Variant(-5), Variant(int8_t{-5})},
      {{u"i16", mtInt16}, Variant(-300), Variant(int16_t{-300})},
      {{u"i32", mtInt32}, Variant(u"42"), Variant(42)},
      {{u"u16", mtUInt16}, Variant(65535), Variant(uint16_t{65535})},
      {{u"u32", mtUInt32}, Variant(4294967295LL), Variant(4294967295u)},
      {{u"i64", mtInt64}, Variant(INT64_MIN), Variant(INT64_MIN)},
      {{u"f", mtFloat}, Variant(2.5), Variant(2.5)},
      {{u"c", mtCurrency}, Variant(Currency::FromRaw(12345)), Variant(1.2345)},
      {{u"d", mtDateTime}, Variant::FromDate(when), Variant::FromDate(when)},
      {{u"b", mtBoolean}, Variant(true), Variant(true)},
      {{u"bcd", mtBCD}, Variant(1.5), Variant(Currency::FromRaw(15000))},
      {{u"fmt", mtFMTBCD, 6}, Variant(u"12.5"), Variant(NormalizeBcd(StrToBcd(u"12.5"), 6, 0))},
      {{u"ts", mtSQLTimeStamp},
       Variant(TSQLTimeStamp{2024, 2, 9, 1, 2, 3, 4}),
       Variant(TSQLTimeStamp{2024, 2, 9, 1, 2, 3, 4})},
      {{u"by", mtBytes, 3}, Variant::FromBytes("ab"), Variant::FromBytes(std::string("ab\0", 3))},
      {{u"vb", mtVarBytes, 3}, Variant::FromBytes("abcd"), Variant::FromBytes("abc")},
      {{u"evb", mtExtVarBytes}, Variant::FromBytes("abcd"), Variant::FromBytes("abcd")},
      {{u"m", mtMemo}, Variant(u"memo"), Variant::FromAnsi("memo")},
      {{u"wm", mtWideMemo}, Variant(u"\uAC00"), Variant(u"\uAC00")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.def.Name));
    TestData data{{u"pad", mtInt8}, c.def};
    auto rec = data.AllocRecBuf();
    EXPECT_TRUE(data.GetFieldAsVariant(2, rec.data()).IsNull());
    data.PutFieldAsVariant(2, rec.data(), c.in);
    EXPECT_FALSE(data.GetNull(2, rec.data()));
    EXPECT_EQ(data.GetFieldAsVariant(2, rec.data()), c.out);
    data.FreeComplexFields(rec.data());
  }
}

TEST(Values, TypesWithoutVariantFormRaise) {
  TestData data{{u"b", mtBlob}, {u"v", mtVariant}};
  auto rec = data.AllocRecBuf();
  data.PutFieldAsVariant(1, rec.data(), Variant::FromBytes("x"));
  try {
    data.GetFieldAsVariant(1, rec.data());
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Cannot convert type 13");
  }
  data.FreeComplexFields(rec.data());
}

TEST(Values, NullFieldLeavesTheDestinationAlone) {
  TestData data{{u"i", mtInt32}, {u"b", mtBlob}};
  auto rec = data.AllocRecBuf();
  data.CreateComplexFields(rec.data());
  int32_t dest = 77;
  bool blank = false;
  EXPECT_EQ(data.GetField(1, rec.data(), blank, &dest, sizeof dest), 0u);
  EXPECT_TRUE(blank);
  EXPECT_EQ(dest, 77);
  // A blob that is not null but empty reads as blank too.
  data.SetNull(2, rec.data(), false);
  char bytes[4] = {1, 2, 3, 4};
  data.GetField(2, rec.data(), blank, bytes, sizeof bytes);
  EXPECT_TRUE(blank);
  data.FreeComplexFields(rec.data());
}

TEST(Values, WritesAreClampedAndReadsRespectTheDestination) {
  TestData data{
      {u"s", mtString, 4}, {u"w", mtWideString, 2}, {u"vb", mtVarBytes, 3}, {u"i", mtInt32}, {u"after", mtInt32}};
  auto rec = data.AllocRecBuf();
  const int32_t sentinel = 0x5A5A5A5A;
  data.PutField(5, rec.data(), &sentinel, sizeof sentinel);

  struct Case {
    int fieldNo;
    std::string source;  // bytes handed to PutField
    std::string stored;  // bytes read back into a large buffer
  } const cases[] = {
      {1, "abcdefgh", "abcd"},
      {1, std::string("ab\0cd", 5), "ab"},
      {2, std::string("a\0b\0c\0d\0", 8), std::string("a\0b\0", 4)},
      {3, std::string("\x09\x00xyzw", 6), std::string("\x03\x00xyz", 5)},  // length word above the source
      {3, std::string("\x02\x00xyz", 5), std::string("\x02\x00xy", 4)},
      {4, std::string("\x01\x02\x03\x04\x05\x06", 6), std::string("\x01\x02\x03\x04", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fieldNo);
    data.PutField(c.fieldNo, rec.data(), c.source.data(), c.source.size());
    char big[64];
    bool blank;
    const size_t n = data.GetField(c.fieldNo, rec.data(), blank, big, sizeof big);
    EXPECT_EQ(std::string(big, n), c.stored);
  }
  int32_t after = 0;
  bool blank;
  data.GetField(5, rec.data(), blank, &after, sizeof after);
  EXPECT_EQ(after, sentinel);

  // A destination smaller than the value: cut, terminated, nothing beyond.
  data.PutField(1, rec.data(), "abcd", 4);
  char small[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(data.GetField(1, rec.data(), blank, small, 3), 2u);
  EXPECT_EQ(std::string(small, 4), std::string("ab\0#", 4));
  char16_t wsmall[3] = {u'#', u'#', u'#'};
  data.PutField(2, rec.data(), u"xy", 4);
  EXPECT_EQ(data.GetField(2, rec.data(), blank, wsmall, 4), 2u);
  EXPECT_EQ(wsmall[0], u'x');
  EXPECT_EQ(wsmall[1], u'\0');
  EXPECT_EQ(wsmall[2], u'#');
}

TEST(Values, TrimOptionsAndEmptyStringsAsNull) {
  TestData data{{u"fixed", mtString, 5}, {u"var", mtWideString, 5}};
  data.Fields()[0].FFixed = true;
  auto rec = data.AllocRecBuf();
  data.PutField(1, rec.data(), "ab   ", 5);
  data.PutField(2, rec.data(), u"ab ", 6);
  EXPECT_EQ(data.GetFieldAsVariant(1, rec.data()), Variant::FromAnsi("ab"));
  EXPECT_EQ(data.GetFieldAsVariant(2, rec.data()), Variant(u"ab "));
  data.FTrimVarChar = true;
  EXPECT_EQ(data.GetFieldAsVariant(2, rec.data()), Variant(u"ab"));
  data.FSetEmptyStrToNull = true;
  data.PutField(2, rec.data(), u"", 0);
  EXPECT_TRUE(data.GetNull(2, rec.data()));
}

TEST(Values, FloatsRoundToTheFieldScale) {
  TestData data{{u"f", mtFloat}};
  data.Fields()[0].FScale = 2;
  auto rec = data.AllocRecBuf();
  for (const auto& [in, out] : {std::pair{3.14159, 3.14}, {-2.5, -2.5}, {1e300, 1e300}}) {
    data.PutField(1, rec.data(), &in, sizeof in);
    EXPECT_EQ(data.GetFieldAsVariant(1, rec.data()), Variant(out)) << in;
  }
}

TEST(Values, NativeDateForms) {
  TestData data{{u"d", mtDate}, {u"t", mtTime}, {u"dt", mtDateTime}};
  auto rec = data.AllocRecBuf();
  const int32_t day = kDateDelta + 2;                                 // 1900-01-01
  const int32_t msecs = 3723004;                                      // 01:02:03.004
  const double stamp = (kDateDelta + 1.0) * kMSecsPerDay + 43200000;  // 1899-12-31 12:00
  data.PutField(1, rec.data(), &day, sizeof day);
  data.PutField(2, rec.data(), &msecs, sizeof msecs);
  data.PutField(3, rec.data(), &stamp, sizeof stamp);
  EXPECT_EQ(data.GetFieldAsVariant(1, rec.data()), Variant::FromDate(2.0));
  EXPECT_EQ(data.GetFieldAsVariant(2, rec.data()), Variant::FromDate(EncodeTime(1, 2, 3, 4)));
  EXPECT_EQ(data.GetFieldAsVariant(3, rec.data()), Variant::FromDate(1.5));
  int32_t d = 0, t = 0;
  double dt = 0;
  bool blank;
  data.GetField(1, rec.data(), blank, &d, sizeof d);
  data.GetField(2, rec.data(), blank, &t, sizeof t);
  data.GetField(3, rec.data(), blank, &dt, sizeof dt);
  EXPECT_EQ(d, day);
  EXPECT_EQ(t, msecs);
  EXPECT_EQ(dt, stamp);
}

// --- the string heap ---------------------------------------------------------------------

TEST(StringHeap, SmallBuffersFromBlocksLargeFromTheSystem) {
  TStringHeap heap;
  char* small = heap.NewBuf(2000);
  EXPECT_EQ(heap.SysBufCount(), 0u);
  EXPECT_EQ(heap.BlockCount(), 1u);
  char* large = heap.NewBuf(2001);
  EXPECT_EQ(heap.SysBufCount(), 1u);
  EXPECT_TRUE(heap.SysGetMem());
  std::memset(small, 'a', 2000);
  std::memset(large, 'b', 2001);
  heap.Clear();  // blocks go, the system buffer stays
  EXPECT_EQ(heap.SysBufCount(), 1u);
  heap.DisposeBuf(large);
  EXPECT_EQ(heap.SysBufCount(), 0u);
}

TEST(StringHeap, GoingAwayFreesSystemBuffersStillHeld) {
  // Checked by the leak detector of the sanitizer build.
  auto heap = std::make_unique<TStringHeap>();
  heap->NewBuf(5000);
  heap->Clear();
  EXPECT_EQ(heap->SysBufCount(), 1u);
  heap.reset();
}

TEST(StringHeap, OwnersAndFreeLists) {
  TStringHeap heap;
  char* a = heap.AllocStr("hello  ", true);
  EXPECT_STREQ(a, "hello");
  EXPECT_EQ(heap.UseCount(a), 1);
  heap.AddRef(a);
  EXPECT_EQ(heap.UseCount(a), 2);
  heap.DisposeBuf(a);
  heap.DisposeBuf(a);
  EXPECT_EQ(heap.UseCount(a), 0);
  try {
    heap.DisposeBuf(a);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"DisposeBuf failed");
  }
  EXPECT_THROW(heap.AddRef(a), Exception);
  // The freed buffer of the same class is handed out again.
  EXPECT_EQ(heap.NewBuf(3), a);
}

TEST(StringHeap, CarvedBuffersNeverOverlap) {
  TStringHeap heap;
  std::vector<std::pair<char*, size_t>> bufs;
  size_t size = 1;
  for (int i = 0; i < 400; ++i) {
    size = (size * 37 + 11) % 2001;
    char* b = heap.NewBuf(size);
    std::memset(b, static_cast<char>(i), size);
    bufs.emplace_back(b, size);
    if (i % 3 == 0) {  // free some on the way so that classes are reused
      heap.DisposeBuf(bufs.front().first);
      bufs.erase(bufs.begin());
    }
  }
  for (size_t k = 0; k < bufs.size(); ++k) {
    const auto [b, n] = bufs[k];
    for (size_t j = 0; j < n; ++j) ASSERT_EQ(b[j], b[0]) << k;
  }
  EXPECT_FALSE(heap.SysGetMem());
}

// --- blobs -----------------------------------------------------------------------------------

TEST(Blob, PiecesReadWriteTruncate) {
  TSharedRef<TBlob> blob = TSharedRef<TBlob>::Adopt(new TBlob());
  blob->SetPieceSize(4);
  blob->SetAsBytes("0123456789");
  EXPECT_EQ(blob->Size(), 10u);
  EXPECT_EQ(blob->PieceCount(), 3);
  blob->Write(8, "abcd", 4);
  EXPECT_EQ(blob->AsBytes(), "01234567abcd");
  char part[5] = {};
  EXPECT_EQ(blob->Read(10, 5, part), 2u);
  EXPECT_EQ(std::string(part, 2), "cd");
  blob->Truncate(5);
  EXPECT_EQ(blob->AsBytes(), "01234");
  EXPECT_EQ(blob->PieceCount(), 2);
  EXPECT_THROW(blob->Write(6, "x", 1), Exception);
  try {
    blob->SetIsUnicode(true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Cannot change IsUnicode if Size > 0");
  }
  blob->Clear();
  EXPECT_EQ(blob->PieceCount(), 0);
  blob->SetIsUnicode(true);
  blob->SetAsString(u"\uAC00b");
  EXPECT_EQ(blob->Size(), 4u);
  EXPECT_EQ(blob->AsAnsiString(),
            "\xB0\xA1"
            "b");
}

TEST(Blob, RollbackKeepsTheOldData) {
  TSharedRef<TBlob> blob = TSharedRef<TBlob>::Adopt(new TBlob());
  blob->SetAsBytes("old");
  blob->EnableRollback();
  blob->SetAsBytes("new");
  EXPECT_TRUE(blob->HasRollback());
  blob->Cancel();
  EXPECT_EQ(blob->AsBytes(), "old");
  blob->EnableRollback();
  blob->SetAsBytes("newer");
  blob->Commit();
  EXPECT_EQ(blob->AsBytes(), "newer");
  EXPECT_FALSE(blob->HasRollback());
}

TEST(Blob, CompressedForm) {
  auto blob = TSharedRef<TCompressedBlob>::Adopt(new TCompressedBlob());
  const std::string text(5000, 'x');
  blob->SetAsBytes(text);
  blob->SetCompressed(true);
  EXPECT_TRUE(blob->IsCompressed());
  EXPECT_LT(blob->StoredSize(), 100u);
  EXPECT_EQ(blob->StoredBytes().substr(0, 4), "VXZ1");
  EXPECT_EQ(blob->Size(), 5000u);
  EXPECT_EQ(blob->AsBytes(), text);
  blob->Write(5000, "y", 1);  // writing expands it
  EXPECT_FALSE(blob->IsCompressed());
  EXPECT_EQ(blob->Size(), 5001u);

  // Data that does not shrink stays as it is.
  blob->SetAsBytes("abc");
  blob->SetCompressed(true);
  EXPECT_FALSE(blob->IsCompressed());

  // A stored form that lies about its size or is cut short is refused.
  blob->SetAsBytes(text);
  blob->SetCompressed(true);
  std::string stored = blob->StoredBytes();
  auto other = TSharedRef<TCompressedBlob>::Adopt(new TCompressedBlob());
  std::string cut = stored.substr(0, stored.size() - 3);
  EXPECT_THROW(other->SetStoredBytes(cut), Exception);
  std::string liar = stored;
  liar[7] = '\x7F';  // claims about 2 GB
  EXPECT_THROW(other->SetStoredBytes(liar), Exception);
  other->SetStoredBytes(stored);
  EXPECT_EQ(other->AsBytes(), text);
}

TEST(Blob, RefusedStoredFormLeavesTheBlobAsItWas) {
  auto source = TSharedRef<TCompressedBlob>::Adopt(new TCompressedBlob());
  source->SetAsBytes(std::string(5000, 'x'));
  source->SetCompressed(true);
  const std::string stored = source->StoredBytes();
  struct Case {
    const char* Name;
    std::string Bytes;
  };
  std::string liar = stored;
  liar[7] = '\x7F';  // claims about 2 GB
  std::string offByOne = stored;
  offByOne[4] = static_cast<char>(offByOne[4] + 1);  // claims 5001 bytes
  const Case cases[] = {{"cut short", stored.substr(0, stored.size() - 3)},
                        {"lies about its size", liar},
                        {"claims one byte more", offByOne},
                        {"header only", stored.substr(0, TCompressedBlob::kHeaderSize)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto blob = TSharedRef<TCompressedBlob>::Adopt(new TCompressedBlob());
    blob->SetAsBytes("kept");
    EXPECT_THROW(blob->SetStoredBytes(c.Bytes), Exception);
    EXPECT_FALSE(blob->IsCompressed());
    EXPECT_EQ(blob->Size(), 4u);
    EXPECT_EQ(blob->AsBytes(), "kept");
  }
}

// --- records and their complex values -----------------------------------------------------

TEST(Records, ComplexValuesAreReleasedExactlyOnce) {
  TestData data{{u"id", mtInt32}, {u"s", mtExtString}, {u"w", mtExtWideString},
                {u"b", mtBlob},   {u"v", mtVariant},   {u"vb", mtExtVarBytes}};
  auto rec = data.AllocRecBuf();
  int counted = 0;
  class Payload : public TSharedObject {
   public:
    explicit Payload(int& n) : FN(n) {}

   protected:
    ~Payload() override { ++FN; }

   private:
    int& FN;
  };
  for (int i = 0; i < 25; ++i) {
    data.CreateComplexFields(rec.data());
    data.PutFieldAsVariant(1, rec.data(), Variant(i));
    data.PutFieldAsVariant(2, rec.data(), Variant(i == 3 ? UString(3000, u'x') : u"short"));
    data.PutFieldAsVariant(3, rec.data(), Variant(u"wide"));
    data.PutFieldAsVariant(4, rec.data(), Variant::FromBytes("blob"));
    auto* payload = new Payload(counted);
    data.PutFieldAsVariant(5, rec.data(), Variant::FromObject(payload));
    payload->Release();
    data.PutFieldAsVariant(6, rec.data(), Variant::FromBytes("bytes"));
    data.AppendRecord(rec.data());
    EXPECT_EQ(data.GetBlob(4, rec.data())->RefCount(), 2);  // the buffer's and the record's
    data.FreeComplexFields(rec.data());
  }
  EXPECT_EQ(data.RecordCount(), 25);
  EXPECT_EQ(data.BlobsDestroyed, 0);
  EXPECT_TRUE(data.StringHeap().SysGetMem());  // the 3000-character text

  // A record read back sees its values.
  data.SetRecordNo(4);
  data.GetRecord(rec.data());
  EXPECT_EQ(data.GetFieldAsVariant(2, rec.data()).AsString().size(), 3000u);
  EXPECT_EQ(data.GetBlob(4, rec.data())->RefCount(), 1);

  // Deleting one record releases its values at once.
  data.DeleteRecord();
  EXPECT_EQ(data.BlobsDestroyed, 1);
  EXPECT_EQ(counted, 1);
  EXPECT_EQ(data.StringHeap().SysBufCount(), 0u);
  EXPECT_EQ(data.RecordCount(), 24);
  EXPECT_EQ(data.RecordNo(), 4);  // the next record moved up

  // A rollback copy shares the values and is released with its record.
  data.SaveRollback();
  EXPECT_EQ(data.GetBlob(4, TBlockManager::GetRecordPtr(data.CurrentItem))->RefCount(), 2);
  data.ClearItems();
  EXPECT_EQ(data.BlobsDestroyed, 25);
  EXPECT_EQ(counted, 25);
  EXPECT_EQ(data.RecordCount(), 0);
  EXPECT_TRUE(data.Bof());
  EXPECT_TRUE(data.Eof());
  EXPECT_EQ(data.BlockMan().BlockCount(), 0u);
}

// A value that cannot take one more owner (its use word is full) fails the
// append or the rollback copy; the values before it keep their owner counts
// and no item is left behind.
TEST(Records, AFailedOwnerCountTakesNothing) {
  const struct {
    const char* Name;
    bool Rollback;
  } cases[] = {{"append", false}, {"rollback copy", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TestData data{{u"b", mtBlob}, {u"s", mtExtString}};
    auto rec = data.AllocRecBuf();
    data.PutFieldAsVariant(1, rec.data(), Variant::FromBytes("blob"));
    data.PutFieldAsVariant(2, rec.data(), Variant(u"text"));
    TBlob* blob = data.GetBlob(1, rec.data());
    void* text;
    std::memcpy(&text, rec.data() + data.Fields()[1].FOffset, sizeof text);
    if (c.Rollback) data.AppendRecord(rec.data());
    const int blobOwners = blob->RefCount();
    for (;;) {
      try {
        data.StringHeap().AddRef(text);
      } catch (const Exception&) {
        break;
      }
    }
    const int textOwners = data.StringHeap().UseCount(text);
    if (c.Rollback) EXPECT_THROW(data.SaveRollback(), Exception);
    else EXPECT_THROW(data.AppendRecord(rec.data()), Exception);
    EXPECT_EQ(blob->RefCount(), blobOwners);
    EXPECT_EQ(data.StringHeap().UseCount(text), textOwners);
    EXPECT_EQ(data.RecordCount(), c.Rollback ? 1 : 0);
    if (c.Rollback) {
      // Copied out first: item headers are packed, a reference to the field would be misaligned.
      const TItemHeader* const rollback = data.CurrentItem->Rollback;
      EXPECT_EQ(rollback, nullptr);
      data.DeleteRecord();
    }
    EXPECT_EQ(data.BlockMan().BlockCount(), 0u);
    data.FreeComplexFields(rec.data());
  }
}

TEST(Records, HeapValuesWithSystemBuffersAreGivenBackOneByOne) {
  TestData data{{u"s", mtExtString}};
  auto rec = data.AllocRecBuf();
  for (const char* text : {"short", "also short"}) {
    data.PutField(1, rec.data(), text, std::strlen(text));
    data.AppendRecord(rec.data());
  }
  const std::string large(2500, 'L');
  data.PutField(1, rec.data(), large.data(), large.size());
  data.AppendRecord(rec.data());
  data.FreeComplexFields(rec.data());
  EXPECT_EQ(data.StringHeap().SysBufCount(), 1u);
  data.ClearItems();
  EXPECT_EQ(data.StringHeap().SysBufCount(), 0u);
  EXPECT_FALSE(data.StringHeap().SysGetMem());
}

TEST(Records, NavigationInsertAndRenumbering) {
  TestData data{{u"n", mtInt32}};
  auto rec = data.AllocRecBuf();
  const auto put = [&](int v) { data.PutFieldAsVariant(1, rec.data(), Variant(v)); };
  for (int v : {10, 30}) {
    put(v);
    data.AppendRecord(rec.data());
  }
  data.SetRecordNo(2);
  put(20);
  data.InsertRecord(rec.data());  // in front of 30
  data.SetToBegin();
  put(5);
  data.InsertRecord(rec.data());  // at BOF: in front of the first
  std::vector<int> seen, orders;
  data.SetToBegin();
  while (data.GetNextRecord(rec.data())) {
    seen.push_back(data.GetFieldAsVariant(1, rec.data()).AsInteger());
    orders.push_back(data.RecordNo());
  }
  EXPECT_EQ(seen, (std::vector<int>{5, 10, 20, 30}));
  EXPECT_EQ(orders, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(data.Eof());
  EXPECT_TRUE(data.GetPriorRecord(rec.data()));
  EXPECT_EQ(data.RecordNo(), 4);
  data.SetRecordNo(2);
  put(11);
  data.UpdateRecord(rec.data());
  data.GetRecord(rec.data());
  EXPECT_EQ(data.GetFieldAsVariant(1, rec.data()).AsInteger(), 11);
}

TEST(Records, RollbackCopiesAreReleasedOnEveryPath) {
  enum class Path { Delete, ClearWithHeapAtOnce, ClearOneByOne };
  for (Path path : {Path::Delete, Path::ClearWithHeapAtOnce, Path::ClearOneByOne}) {
    SCOPED_TRACE(static_cast<int>(path));
    TestData data{{u"b", mtBlob}, {u"s", mtExtString}};
    auto rec = data.AllocRecBuf();
    data.CreateComplexFields(rec.data());
    data.PutFieldAsVariant(1, rec.data(), Variant::FromBytes("x"));
    const std::string text(path == Path::ClearOneByOne ? 3000 : 10, 't');
    data.PutField(2, rec.data(), text.data(), text.size());
    data.AppendRecord(rec.data());
    data.FreeComplexFields(rec.data());
    data.SaveRollback();
    uint8_t* stored = TBlockManager::GetRecordPtr(data.CurrentItem);
    EXPECT_EQ(data.GetBlob(1, stored)->RefCount(), 2);
    const void* heapText;
    std::memcpy(&heapText, stored + data.Fields()[1].FOffset, sizeof heapText);
    EXPECT_EQ(data.StringHeap().UseCount(heapText), 2);
    if (path == Path::Delete) data.DeleteRecord();
    else data.ClearItems();
    EXPECT_EQ(data.BlobsDestroyed, 1);
    EXPECT_EQ(data.StringHeap().SysBufCount(), 0u);
    EXPECT_EQ(data.BlockMan().BlockCount(), 0u);
  }
}

// A provider whose open step builds two columns and fetches rows, or fails
// after the first row.
class OpeningData : public TestData {
 public:
  OpeningData() : TestData{{u"id", mtInt32}, {u"b", mtBlob}} {}
  bool FailOpen = false;
  int Closes = 0;

 protected:
  void InternalOpen() override {
    if (FAutoInitFields) InitFields();
    auto rec = AllocRecBuf();
    CreateComplexFields(rec.data());
    PutFieldAsVariant(1, rec.data(), Variant(1));
    AppendRecord(rec.data());
    FreeComplexFields(rec.data());
    if (FailOpen) throw Exception(u"lost connection");
  }
  void InternalClose() override { ++Closes; }
};

TEST(Records, OpenCloseAndAFailedOpen) {
  OpeningData data;
  data.Open();
  EXPECT_TRUE(data.Active());
  EXPECT_EQ(data.RecordCount(), 1);
  data.Close();
  EXPECT_FALSE(data.Active());
  EXPECT_EQ(data.RecordCount(), 0);
  EXPECT_EQ(data.BlobsDestroyed, 1);
  EXPECT_EQ(data.Fields().Count(), 0);  // descriptors are rebuilt on every open

  data.FailOpen = true;
  EXPECT_THROW(data.Open(), Exception);
  EXPECT_FALSE(data.Active());
  EXPECT_EQ(data.Closes, 2);
  EXPECT_EQ(data.RecordCount(), 0);
  EXPECT_EQ(data.BlobsDestroyed, 2);
  EXPECT_TRUE(data.Bof() && data.Eof());
}

TEST(Records, BuffersStartZeroedWithEveryFieldNull) {
  TestData data{{u"a", mtInt32}, {u"s", mtString, 5}};
  ASSERT_EQ(data.RecordSize(), 13);  // 10 + 2 null flags + the pad byte
  std::vector<uint8_t> rec(static_cast<size_t>(data.RecordSize()), 0xFF);
  data.InitRecord(rec.data());
  for (int i = 0; i < data.DataSize(); ++i) EXPECT_EQ(rec[static_cast<size_t>(i)], 0) << i;
  EXPECT_TRUE(data.GetNull(1, rec.data()));
  EXPECT_TRUE(data.GetNull(2, rec.data()));
  EXPECT_EQ(rec.back(), 0);  // the pad byte
}

TEST(Blocks, LastItemFreesItsBlock) {
  TBlockManager man;
  man.RecordSize = 3;
  TItemHeader* item = man.AllocItem();
  EXPECT_EQ(man.BlockCount(), 1u);
  EXPECT_EQ(item->Flag, kItemInUse);
  EXPECT_EQ(item->UpdateResult, urNone);
  EXPECT_EQ(item->Block->ItemCount, 10);
  EXPECT_EQ(item->Block->UsedItems, 1);
  man.FreeItem(item);
  EXPECT_EQ(man.BlockCount(), 0u);
  EXPECT_EQ(man.FirstFree, nullptr);
  item = man.AllocItem();
  EXPECT_EQ(man.BlockCount(), 1u);
  EXPECT_EQ(man.BlockAllocations(), 2u);
  for (int i = 0; i < 9; ++i) man.AllocItem();
  EXPECT_EQ(man.BlockCount(), 1u);
  man.AllocItem();
  EXPECT_EQ(man.BlockCount(), 2u);
}

// Blocks of several sizes, many of them, some freed and taken again: each
// one starts zero-filled and none overlaps another that is in use.
TEST(Blocks, EveryBlockStartsZeroedAndApartFromTheOthers) {
  TBlockManager man;
  man.RecordSize = 99;
  const size_t itemSize = sizeof(TItemHeader) + 99;
  struct Live {
    TBlockHeader* Block;
    size_t Bytes;
  };
  std::vector<Live> live;
  int dirty = 0;
  const auto take = [&](int items) {
    TBlockHeader* block = man.AllocBlock(items);
    const size_t bytes = sizeof(TBlockHeader) + static_cast<size_t>(items) * itemSize;
    const auto* p = reinterpret_cast<const uint8_t*>(block);
    // The header's own fields aside, every byte is zero.
    for (size_t i = sizeof(TBlockHeader); i < bytes; ++i)
      if (p[i] != 0 && (i - sizeof(TBlockHeader)) % itemSize >= sizeof(void*)) ++dirty;
    std::memset(reinterpret_cast<uint8_t*>(block) + sizeof(TBlockHeader), 0xAB, bytes - sizeof(TBlockHeader));
    live.push_back({block, bytes});
  };
  const int sizes[] = {10, 3, 700, 10, 25};
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 4000; ++i) take(sizes[i % std::size(sizes)]);
    // Every other block goes back.
    std::vector<Live> kept;
    for (size_t i = 0; i < live.size(); ++i) {
      if (i % 2 == 0) man.FreeBlock(live[i].Block);
      else kept.push_back(live[i]);
    }
    live = kept;
  }
  EXPECT_EQ(dirty, 0);
  EXPECT_EQ(man.BlockCount(), live.size());
  std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) { return a.Block < b.Block; });
  int overlaps = 0;
  for (size_t i = 1; i < live.size(); ++i)
    if (reinterpret_cast<uint8_t*>(live[i - 1].Block) + live[i - 1].Bytes > reinterpret_cast<uint8_t*>(live[i].Block))
      ++overlaps;
  EXPECT_EQ(overlaps, 0);
  man.FreeAllBlock();
  EXPECT_EQ(man.BlockCount(), 0u);
  take(10);
  EXPECT_EQ(dirty, 0);
}

TEST(Blocks, FetchedBlockKeepsItsRowsAndFreesTheRest) {
  TestData data{{u"n", mtInt32}, {u"b", mtBlob}};
  TBlockHeader* block = data.BlockMan().AllocBlock(5);
  for (int i = 0; i < 3; ++i) {
    uint8_t* rec = TBlockManager::GetRecordPtr(data.BlockMan().ItemOf(block, i));
    data.InitRecord(rec);
    data.CreateComplexFields(rec);
    data.PutFieldAsVariant(1, rec, Variant(i + 1));
  }
  // A provider may have put a blob in an item it did not fill.
  data.CreateComplexFields(TBlockManager::GetRecordPtr(data.BlockMan().ItemOf(block, 3)));
  EXPECT_TRUE(data.AddFetchedBlock(block, 3));
  EXPECT_EQ(data.BlobsDestroyed, 1);
  EXPECT_EQ(data.RecordCount(), 3);
  EXPECT_EQ(block->UsedItems, 3);
  EXPECT_EQ(int32_t{data.LastItem->Order}, 3);
  // The two left-over items serve the next records without a new block.
  const size_t allocations = data.BlockMan().BlockAllocations();
  auto rec = data.AllocRecBuf();
  data.AppendRecord(rec.data());
  data.AppendRecord(rec.data());
  EXPECT_EQ(data.BlockMan().BlockAllocations(), allocations);
  EXPECT_EQ(int32_t{data.LastItem->Order}, 5);

  // A fetch that fails part-way gives back the values of the rows it decoded.
  TBlockHeader* failed = data.BlockMan().AllocBlock(4);
  for (int i = 0; i < 2; ++i) data.CreateComplexFields(TBlockManager::GetRecordPtr(data.BlockMan().ItemOf(failed, i)));
  data.DiscardFetchBlock(failed, 2);
  EXPECT_EQ(data.BlobsDestroyed, 3);
  EXPECT_EQ(data.RecordCount(), 5);
  data.ClearItems();
  EXPECT_EQ(data.BlobsDestroyed, 6);
}

}  // namespace
}  // namespace vix
