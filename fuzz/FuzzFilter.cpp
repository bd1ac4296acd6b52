// The sort text (IndexFieldNames) and the filter text over any text, set on
// an open dataset as a user sets them: a text either takes effect whole or
// changes nothing, a sort leaves the records in order, and a filter and its
// negation show every record exactly once between them. The first byte picks
// the text (bit 0: filter) and the filter options (bits 1 and 2); the rest is
// the text in UTF-8 (bad bytes become U+FFFD).
#include <cstdlib>
#include <vector>

#include "MemQuery.h"
#include "rtl/SysUtils.h"

namespace {

using vix::test::Column;
using vix::test::MemQuery;

const std::vector<Column> kColumns = {
    {u"Id", vix::mtInt32},     {u"Name", vix::mtWideString, 12}, {u"Code", vix::mtString, 4, true},
    {u"Price", vix::mtFloat},  {u"Qty", vix::mtInt64},           {u"Day", vix::mtDate},
    {u"Done", vix::mtBoolean}, {u"이름", vix::mtWideString, 8}};

vix::Variant N() {
  return vix::Variant::Null();
}

// NULLs, an empty text, case pairs, Korean text, trailing blanks, equal keys.
std::vector<std::vector<vix::Variant>> Rows() {
  const vix::Variant day = vix::Variant::FromDate(45000.0), later = vix::Variant::FromDate(45100.5);
  return {
      {1, u"Smith", u"ab", 12.5, 3, day, true, u"김"},
      {2, u"smythe", u"ab ", 10.0, 0, later, false, N()},
      {3, N(), u"cd", N(), 5, N(), N(), u""},
      {4, u"", u"cd", -7.0, 0, day, true, u"가나"},
      {5, u"김철수", u"ef", 20.0, -2, later, false, u"a"},
      {6, u"Abc%", N(), 10.0, 5, day, true, u"A"},
      {7, u"a_c", u"a*", 30.0, 1, N(), N(), u"김"},
      {8, u"ABC", u"gh", 1e300, N(), day, false, u"z"},
  };
}

std::vector<int> ShownIds(MemQuery& q) {
  std::vector<int> ids;
  for (q.First(); !q.Eof(); q.Next()) ids.push_back(q.FieldByName(u"Id").AsInteger());
  return ids;
}

// The records shown under `filter`; false when it does not parse.
bool Shown(MemQuery& q, const vix::UString& filter, std::vector<int>& ids) {
  try {
    q.SetFilter(filter);
  } catch (const vix::Exception&) {
    return false;
  }
  ids = ShownIds(q);
  if (static_cast<int>(ids.size()) != q.RecordCount()) abort();
  return true;
}

// The dataset's storage, for the order of two records.
class TOrderQuery : public MemQuery {
 public:
  using MemQuery::Data;
  using MemQuery::MemQuery;
};

void CheckSort(const vix::UString& text) {
  TOrderQuery q(kColumns, Rows());
  q.SetIndexFieldNames(u"Id DESC");
  q.Open();
  const std::vector<int> before = ShownIds(q);
  try {
    q.SetIndexFieldNames(text);
  } catch (const vix::Exception&) {
    // Refused: the text and the order are the previous ones.
    if (q.IndexFieldNames() != u"Id DESC" || ShownIds(q) != before) abort();
    return;
  }
  if (q.IndexFieldNames() != text) abort();
  vix::TMemData& data = *q.Data();
  const uint8_t* previous = nullptr;
  int count = 0;
  for (vix::TItemHeader* item = data.FirstItem; item; item = item->Next, ++count) {
    const uint8_t* rec = vix::TBlockManager::GetRecordPtr(item);
    if (previous && data.CompareRecords(previous, rec) > 0) abort();
    previous = rec;
  }
  if (count != q.RecordCount() || static_cast<int>(ShownIds(q).size()) != count) abort();
}

void CheckFilter(const vix::UString& text, vix::TFilterOptions options) {
  MemQuery q(kColumns, Rows());
  q.Open();
  q.SetFilterOptions(options);
  q.SetFilter(u"Id > 2");
  q.SetFiltered(true);
  const std::vector<int> before = ShownIds(q);
  std::vector<int> kept, dropped;
  if (!Shown(q, text, kept)) {
    // Refused: the expression and the records shown are the previous ones.
    if (q.Filter() != u"Id > 2" || ShownIds(q) != before) abort();
    return;
  }
  // NULL is settled inside each comparison: NOT keeps exactly the others.
  // (A text nested to the parser's limit may refuse one level more.)
  if (!Shown(q, u"NOT (" + text + u")", dropped)) return;
  std::vector<bool> seen(Rows().size() + 1, false);
  for (const std::vector<int>* ids : {&kept, &dropped})
    for (int id : *ids) {
      if (id < 1 || id >= static_cast<int>(seen.size()) || seen[static_cast<size_t>(id)]) abort();
      seen[static_cast<size_t>(id)] = true;
    }
  if (kept.size() + dropped.size() != Rows().size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const vix::UString text = vix::Utf8ToUtf16Lenient(bytes);
  if (data[0] & 1) CheckFilter(text, static_cast<vix::TFilterOptions>((data[0] >> 1) & 3));
  else CheckSort(text);
  return 0;
}
