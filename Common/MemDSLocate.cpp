// Finding records by key values: Locate, LocateEx, Lookup.
#include <algorithm>
#include <memory>

#include "Common/MemDS.h"
#include "Common/MemData.h"

namespace vix {

namespace {

// One key of a search.
struct TSearchKey {
  const TFieldDesc* Field = nullptr;
  std::unique_ptr<TFieldValue> Value = std::make_unique<TFieldValue>();
  UString Text;  // partial matches: the key as text (upper-cased when case is ignored)
  int SortFlags = 0;
  bool Descending = false;
};

std::vector<UString> SplitNames(const UString& names) {
  std::vector<UString> result;
  size_t start = 0;
  for (;;) {
    const size_t end = names.find(u';', start);
    const UString name = Trim(UStringView(names).substr(start, end == UString::npos ? UString::npos : end - start));
    if (!name.empty()) result.push_back(name);
    if (end == UString::npos) return result;
    start = end + 1;
  }
}

UString Upper(UString text) {
  for (char16_t& c : text) c = UpCaseChar(c);
  return text;
}

}  // namespace

bool TMemDataSet::LocateRecord(const UString& keyFields, const std::vector<Variant>& keyValues,
                               TLocateExOptions options, bool move, TItemHeader** found) {
  if (!Active()) DatabaseError(u"Cannot perform this operation on a closed dataset", this);
  const std::vector<UString> names = SplitNames(keyFields);
  if (names.empty()) return false;
  const bool caseInsensitive = (options & lxCaseInsensitive) != 0;
  const bool partial = (options & (lxPartialKey | lxPartialCompare)) != 0;
  const bool nearest = (options & lxNearest) != 0;
  const bool up = (options & lxUp) != 0;

  // Every key is prepared before anything moves: a value that cannot take
  // its field's type raises here.
  std::vector<TSearchKey> keys(names.size());
  for (size_t k = 0; k < names.size(); ++k) {
    TFieldDesc* desc = FData->Fields().FindField(names[k]);
    if (!desc) DatabaseError(u"Field '" + names[k] + u"' not found", this);
    keys[k].Field = desc;
    const Variant& value = k < keyValues.size() ? keyValues[k] : Variant::Null();
    if (partial && !value.IsEmptyOrNull()) {
      keys[k].Value->Null = false;
      keys[k].Text = caseInsensitive ? Upper(value.AsString()) : value.AsString();
    } else {
      FData->MakeFieldValue(*desc, value, *keys[k].Value);
    }
  }

  // A record in work is posted now, so that it is found at its place.
  if (move) CheckLeaveRecord();
  else CheckBrowseMode();
  FetchRest();
  // The leading keys that follow the leading sort columns, moved to the front.
  size_t sorted = 0;
  if (FLocateBinarySearch && !partial && !nearest) {
    for (const TSortColumn& column : FData->IndexFields()) {
      if ((column.SortType == stCaseInsensitive) != caseInsensitive) break;
      auto it = std::find_if(keys.begin() + static_cast<ptrdiff_t>(sorted), keys.end(),
                             [&](const TSearchKey& key) { return key.Field == column.FieldDesc; });
      if (it == keys.end()) break;
      std::rotate(keys.begin() + static_cast<ptrdiff_t>(sorted), it, it + 1);
      keys[sorted].SortFlags = SortTypeFlags(column.SortType);
      keys[sorted].Descending = column.DescendingOrder;
      ++sorted;
    }
  }

  const std::vector<TItemHeader*>& items = FData->RecordNoCache();
  const auto count = static_cast<ptrdiff_t>(items.size());
  TFieldValue value;
  // Whether record `index` matches keys [from, to).
  const auto matches = [&](ptrdiff_t index, size_t from, size_t to) {
    const uint8_t* rec = TBlockManager::GetRecordPtr(items[static_cast<size_t>(index)]);
    for (size_t k = from; k < to; ++k) {
      const TSearchKey& key = keys[k];
      FData->ReadFieldValue(*key.Field, rec, value);
      if (key.Value->Null || value.Null) {
        if (key.Value->Null != value.Null) return false;
        continue;
      }
      if (partial) {
        UString text = value.AsText(key.Field->FDataType);
        if (caseInsensitive) text = Upper(std::move(text));
        const bool ok = (options & lxPartialCompare) ? text.find(key.Text) != UString::npos
                                                     : text.compare(0, key.Text.size(), key.Text) == 0;
        if (!ok) return false;
        continue;
      }
      const int c = FData->CompareFieldValue(*key.Field, value, *key.Value, caseInsensitive ? cfCaseInsensitive : 0);
      if (c != 0 && !(nearest && c > 0)) return false;
    }
    return true;
  };

  // The range searched: after (or, with lxUp, before) the current record
  // when asked, else every record.
  TItemHeader* current = FHasCurrent ? FData->CurrentItem : nullptr;
  const ptrdiff_t at = current && current->Order != 0 ? current->Order - 1 : -1;
  ptrdiff_t lo = 0, hi = count - 1;
  if (up) hi = at >= 0 ? at - 1 : (FEof ? count - 1 : -1);
  else if (options & lxNext) lo = at >= 0 ? at + 1 : 0;

  ptrdiff_t hit = -1;
  bool atEnd = false;
  if (sorted > 0) {
    // Binary search on the sorted keys, in the columns' directions.
    const auto compareKeys = [&](ptrdiff_t index) {
      const uint8_t* rec = TBlockManager::GetRecordPtr(items[static_cast<size_t>(index)]);
      for (size_t k = 0; k < sorted; ++k) {
        FData->ReadFieldValue(*keys[k].Field, rec, value);
        int c = FData->CompareFieldValue(*keys[k].Field, *keys[k].Value, value, keys[k].SortFlags);
        if (c != 0) return keys[k].Descending ? -c : c;
      }
      return 0;
    };
    // First record not below the key, and first record above it.
    ptrdiff_t first = lo, last = hi + 1;
    for (ptrdiff_t a = lo, b = hi + 1; a < b;) {
      const ptrdiff_t mid = a + (b - a) / 2;
      if (compareKeys(mid) > 0) a = mid + 1;
      else b = mid;
      first = a;
    }
    for (ptrdiff_t a = first, b = hi + 1; a < b;) {
      const ptrdiff_t mid = a + (b - a) / 2;
      if (compareKeys(mid) >= 0) a = mid + 1;
      else b = mid;
      last = a;
    }
    if (first > hi) last = first;
    // The records with equal sorted keys: the first (or, with lxUp, the
    // last) that matches on the other keys as well.
    if (up) {
      for (ptrdiff_t i = last - 1; i >= first && hit < 0; --i)
        if (matches(i, sorted, keys.size())) hit = i;
    } else {
      for (ptrdiff_t i = first; i < last && hit < 0; ++i)
        if (matches(i, sorted, keys.size())) hit = i;
    }
  } else {
    if (up) {
      for (ptrdiff_t i = hi; i >= lo && hit < 0; --i)
        if (matches(i, 0, keys.size())) hit = i;
    } else {
      for (ptrdiff_t i = lo; i <= hi && hit < 0; ++i)
        if (matches(i, 0, keys.size())) hit = i;
    }
    atEnd = hit < 0 && nearest;
  }

  if (hit < 0 && !atEnd) return false;
  if (found) *found = hit >= 0 ? items[static_cast<size_t>(hit)] : nullptr;
  if (!move) return true;
  if (hit < 0) {
    // Nearest beyond every record: the end of data.
    if (up) First();
    else Last();
    return true;
  }
  FData->CurrentItem = items[static_cast<size_t>(hit)];
  LoadCurrent();
  FBof = FEof = false;
  NotifyDataSources(false);
  return true;
}

bool TMemDataSet::Locate(const UString& keyFields, const std::vector<Variant>& keyValues, TLocateOptions options) {
  return LocateRecord(keyFields, keyValues, options & (loCaseInsensitive | loPartialKey), true);
}

bool TMemDataSet::LocateEx(const UString& keyFields, const std::vector<Variant>& keyValues, TLocateExOptions options) {
  return LocateRecord(keyFields, keyValues, options, true);
}

std::vector<Variant> TMemDataSet::Lookup(const UString& keyFields, const std::vector<Variant>& keyValues,
                                         const UString& resultFields) {
  const std::vector<UString> names = SplitNames(resultFields);
  std::vector<TField*> fields;
  for (const UString& name : names) fields.push_back(&FieldByName(name));
  std::vector<Variant> result(fields.size(), Variant::Null());
  if (Active() && Filtered() && FOnFilterRecord) {
    // The record handler may read more than the record (a value of the
    // application): the answers kept for the records are asked again. A
    // filter text reads the record alone, and a change of a record drops
    // its answer already. The current record stays current (nothing for the
    // links to refuse) unless the handler hides it now: then the first.
    CheckBrowseMode();
    const TItemHeader* current = FHasCurrent ? FData->CurrentItem : nullptr;
    FData->FilterUpdated();
    if (current && current->Order != 0) Resync();
    else First();
  }
  TItemHeader* item = nullptr;
  if (!LocateRecord(keyFields, keyValues, 0, false, &item) || !item) return result;
  const uint8_t* saved = FReadBuffer;
  FReadBuffer = TBlockManager::GetRecordPtr(item);
  try {
    for (size_t i = 0; i < fields.size(); ++i) result[i] = fields[i]->AsVariant();
  } catch (...) {
    FReadBuffer = saved;
    throw;
  }
  FReadBuffer = saved;
  return result;
}

}  // namespace vix
