// The quick refresh of a query: the rows changed since they were read come
// again into their records (new rows as new records), and records whose row
// is gone leave the dataset.
#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Common/DASQLGenerator.h"
#include "Common/DASQLText.h"
#include "Common/DBAccess.h"

namespace vix {

namespace {

// One value of a key as text that tells every two values apart: its kind,
// its length and its text (a date-time by its milliseconds, which its text
// may not show).
void AppendKeyValue(UString& key, const Variant& value) {
  if (value.IsEmptyOrNull()) {
    key += u"N;";
    return;
  }
  const UString text = value.VarType() == varDate
                           ? IntToStr(static_cast<int64_t>(std::llround(value.AsDateTime() * 86400000.0)))
                           : value.AsString();
  key += IntToStr(static_cast<int64_t>(text.size())) + u':' + text + u';';
}

UString RecordKey(const TData& data, const std::vector<const TFieldDesc*>& keys, const uint8_t* rec) {
  UString key;
  for (const TFieldDesc* desc : keys) AppendKeyValue(key, data.GetFieldAsVariant(desc->FFieldNo, rec));
  return key;
}

// A buffer of a record the storage's layout, freed with its values.
struct TOwnedRecord {
  TData& data;
  std::vector<uint8_t> buf;
  bool owns = false;
  explicit TOwnedRecord(TData& d) : data(d), buf(d.AllocRecBuf()) {}
  ~TOwnedRecord() { Release(); }
  void Init() {
    Release();
    data.InitRecord(buf.data());
    owns = true;
  }
  // A copy of a stored record that owns its values.
  void CopyOf(const uint8_t* stored) {
    Release();
    std::copy(stored, stored + std::min<size_t>(buf.size(), static_cast<size_t>(data.RecordSize())), buf.begin());
    data.AddRefComplexFields(buf.data());
    owns = true;
  }
  void Release() {
    if (owns) data.FreeComplexFields(buf.data());
    owns = false;
  }
};

}  // namespace

void TCustomDADataSet::RefreshQuick(bool checkDeleted) {
  CheckBrowseMode();
  if (!FIRecordSet) return;
  if (CachedUpdates() && UpdatesPending()) DatabaseError(u"Cannot refresh while cached updates are pending", this);
  // Rows not fetched yet would come twice: as read now and when fetched.
  FetchRest();
  const TConnectionUse use(FConnection);

  TZelRecordSet& data = *FIRecordSet;
  TDADataSetUpdater& updater = Updater();
  TDASQLGenerator& generator = updater.Generator();
  const TFieldDesc& version = generator.QuickRefreshField();
  TKeyAndDataFields fields;
  generator.GetKeyAndDataFields(fields);
  const std::vector<const TFieldDesc*>& keys = fields.KeyFieldDescs;
  if (keys.empty()) DatabaseError(u"Key fields not found");

  // The newest version the records hold, and the records by key.
  bool anyVersion = false;
  TDateTime newest = 0;
  std::unordered_map<UString, TItemHeader*> byKey;
  for (TItemHeader* item = data.FirstItem; item; item = item->Next) {
    const uint8_t* rec = TBlockManager::GetRecordPtr(item);
    byKey.emplace(RecordKey(data, keys, rec), item);
    if (data.GetNull(version.FFieldNo, rec)) continue;
    const TDateTime value = data.GetFieldAsVariant(version.FFieldNo, rec).AsDateTime();
    if (!anyVersion || value > newest) newest = value;
    anyVersion = true;
  }

  UString sql = FinalSQL();
  TDAParams values;
  // Whole seconds, rounded down: a row changed within the same second as
  // the newest one is read again rather than missed. Without any version
  // every row is read.
  if (anyVersion) {
    const int64_t seconds = std::llround(newest * 86400000.0) / 1000;
    sql = AddWhere(sql, generator.QuickRefreshCondition(static_cast<double>(seconds) / 86400.0, values),
                   CommandParserClass());
  }

  TItemHeader* const remembered = data.CurrentItem;
  TOwnedRecord read(data), stored(data);
  try {
    FRowsAffected = static_cast<int>(updater.ReadRows(sql, values, [&](TZelRecordSet& result, const uint8_t* row) {
      read.Init();
      updater.CopyRow(result, row, read.buf.data());
      const UString key = RecordKey(data, keys, read.buf.data());
      const auto found = byKey.find(key);
      if (found == byKey.end()) {
        data.AppendRecord(read.buf.data());
        byKey.emplace(key, data.CurrentItem);
        return;
      }
      // The record keeps what the row does not bring (calculated values).
      data.CurrentItem = found->second;
      stored.CopyOf(TBlockManager::GetRecordPtr(found->second));
      updater.CopyRow(result, row, stored.buf.data());
      data.UpdateRecord(stored.buf.data());
    }));
  } catch (...) {
    data.CurrentItem = remembered;
    data.FilterUpdated();
    Resync();
    throw;
  }
  read.Release();
  stored.Release();
  data.CurrentItem = remembered;
  data.FilterUpdated();
  data.SortItems();

  if (checkDeleted) {
    std::unordered_set<UString> present;
    updater.ReadRows(generator.CheckDeletedSQL(FinalSQL(), CommandParserClass()), TDAParams(),
                     [&](TZelRecordSet& result, const uint8_t* row) {
                       UString key;
                       for (size_t i = 0; i < keys.size(); ++i)
                         AppendKeyValue(key, result.GetFieldAsVariant(static_cast<int>(i) + 1, row));
                       present.insert(std::move(key));
                     });
    std::vector<TItemHeader*> gone;
    for (TItemHeader* item = data.FirstItem; item; item = item->Next)
      if (!present.count(RecordKey(data, keys, TBlockManager::GetRecordPtr(item)))) gone.push_back(item);
    TItemHeader* current = remembered;
    for (TItemHeader* item : gone) {
      if (item == current) current = nullptr;
      data.CurrentItem = item;
      data.DeleteRecord();
    }
    data.CurrentItem = current;
  }
  Resync();
}

}  // namespace vix
