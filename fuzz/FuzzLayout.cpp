// Column definitions through the type mapping and the record layout, then a
// row decoded into a record of exactly the layout's size (AddressSanitizer
// sees any write outside it). Input: the mapping options, a column count,
// column definitions of 10 bytes (type, flags, charset, length, decimals,
// repeat), then the row: per column a length byte and the value.
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "MySql/MyClasses.h"
#include "MySql/MySqlValues.h"

namespace {

using namespace vix;

constexpr int32_t kCharsets[] = {33, 63, 8, 45};

class TFuzzData : public TMemData {
 public:
  std::vector<std::unique_ptr<TMySQLFieldDesc>> Pending;

 protected:
  void InternalInitFields() override {
    for (auto& d : Pending) FFields.Add(std::move(d));
    Pending.clear();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TMyMappingOptions o;
  const uint8_t bits = data[0];
  o.UseUnicode = bits & 1;
  o.FieldsAsString = bits & 2;
  o.EnableBoolean = bits & 4;
  o.BinaryAsString = bits & 8;
  o.LongStrings = bits & 16;
  o.FlatBuffers = bits & 32;
  o.OptimizedBigInt = bits & 64;
  o.EnableFMTBCD = bits & 128;
  o.CheckPrecision = o.EnableBCD = (bits & 3) == 3;
  const size_t columns = data[1] % 16;
  size_t pos = 2;
  TFuzzData store;
  size_t total = 0;
  for (size_t c = 0; c < columns && pos + 10 <= size; ++c, pos += 10) {
    const uint8_t* d = data + pos;
    TMYSQL_FIELD f;
    f.Name = f.OrgName = "c";
    f.Table = f.OrgTable = (d[9] & 0x80) ? "" : "t";
    f._type = d[0];
    f.Flags = static_cast<uint32_t>(d[1] | d[2] << 8);
    f.CharsetNr = kCharsets[d[3] % std::size(kCharsets)];
    f.LengthInBytes = static_cast<uint32_t>(d[4] | d[5] << 8 | d[6] << 16 | static_cast<uint32_t>(d[7]) << 24);
    f.Decimals = d[8];
    // Mostly up to four copies; now and then a thousand or more, enough to
    // pass the record's limits.
    const size_t repeat = (d[9] & 0x7C) == 0x40 ? size_t{1024} << (d[9] & 3) : 1 + (d[9] & 3);
    for (size_t r = 0; r < repeat && total < 9000; ++r, ++total) {
      auto desc = std::make_unique<TMySQLFieldDesc>();
      desc->FFieldNo = static_cast<uint16_t>(total + 1);
      try {
        MapMySqlField(f, o, *desc);
      } catch (const Exception&) {
        return 0;
      }
      desc->FName = u"c";
      store.Pending.push_back(std::move(desc));
    }
  }
  try {
    store.InitFields();
  } catch (const Exception&) {
    return 0;  // a layout beyond the limits is refused
  }
  if (store.RecordSize() + store.CalcRecordSize() > (1 << 18)) return 0;  // laid out; too large to fill each run
  std::vector<uint8_t> rec(static_cast<size_t>(store.RecordSize() + store.CalcRecordSize()));
  const TFieldDescs& fields = store.Fields();
  for (int i = 0; i < fields.Count(); ++i) {
    const auto& f = static_cast<const TMySQLFieldDesc&>(fields[i]);
    if (f.FOffset < 0 || f.FSize < 0 || static_cast<size_t>(f.FOffset) + static_cast<size_t>(f.FSize) > rec.size())
      __builtin_trap();
    if (!IsInlineMySqlValue(f.FDataType)) continue;
    std::string_view value;
    if (pos < size) {
      const size_t n = std::min<size_t>(data[pos], size - pos - 1);
      value = std::string_view(reinterpret_cast<const char*>(data + pos + 1), n);
      pos += 1 + n;
    }
    TMySqlValueSlot t;
    t.DataType = f.FDataType;
    t.MySqlType = f.FMySQLType;
    t.Length = f.FLength;
    t.Scale = f.FScale;
    t.Size = static_cast<size_t>(f.FSize);
    t.FieldName = f.FName;
    try {
      DecodeMySqlValue(t, value, rec.data() + f.FOffset);
    } catch (const Exception&) {
    }
  }
  return 0;
}
