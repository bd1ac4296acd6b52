// Cached updates in the record storage: the cache of changed records, their
// rollback copies, the apply pass and commit, cancel, revert and restore.
#include <algorithm>

#include "Common/MemData.h"

namespace vix {

void TMemData::RemoveFromCache(TItemHeader* item) {
  const auto it = std::find(FCache.begin(), FCache.end(), item);
  if (it != FCache.end()) FCache.erase(it);
}

void TMemData::Unlink(TItemHeader* item) {
  if (item->Prev) item->Prev->Next = item->Next;
  else FirstItem = item->Next;
  if (item->Next) item->Next->Prev = item->Prev;
  else LastItem = item->Prev;
  if (CurrentItem == item) {
    CurrentItem = item->Next;
    while (CurrentItem && !IsVisible(CurrentItem)) CurrentItem = CurrentItem->Next;
    if (!CurrentItem) {
      CurrentItem = item->Prev;
      while (CurrentItem && !IsVisible(CurrentItem)) CurrentItem = CurrentItem->Prev;
    }
  }
  TItemHeader* next = item->Next;
  ReleaseItemValues(item, false);
  FBlockMan.FreeItem(item);
  Renumber(next);
  if (!CurrentItem) FBOF = FEOF = true;
}

void TMemData::RestoreFromRollback(TItemHeader* item) {
  TItemHeader* rollback = item->Rollback;
  if (!rollback) return;
  // The copy's values (and the references they hold) move into the record.
  FreeComplexFields(TBlockManager::GetRecordPtr(item));
  std::memcpy(TBlockManager::GetRecordPtr(item), TBlockManager::GetRecordPtr(rollback),
              static_cast<size_t>(FRecordSize));
  std::memset(TBlockManager::GetRecordPtr(rollback), 0, static_cast<size_t>(FRecordSize));
  item->Rollback = nullptr;
  FBlockMan.FreeItem(rollback);
}

void TMemData::CachedInsert(const uint8_t* recBuf, bool atEnd) {
  AddRecord(recBuf, atEnd);
  CurrentItem->Status = isAppended;
  CurrentItem->UpdateResult = urNone;
  FCache.push_back(CurrentItem);
}

void TMemData::CachedUpdate(const uint8_t* recBuf) {
  TItemHeader* item = CurrentItem;
  if (!item) throw Exception(u"No current record");
  if (item->Status == isUnmodified) FCache.push_back(item);
  if (item->UpdateResult == urApplied) {
    // The server holds the applied values now: the next statement finds the
    // row by them, and an applied insert is edited as a row of the table.
    ReleaseRollback(item);
    item->Status = isUpdated;
  }
  if (item->Status != isAppended) {
    item->Status = isUpdated;
    SaveRollback();
  }
  item->UpdateResult = urNone;
  item->FilterResult = fsNotChecked;
  UpdateRecord(recBuf);
}

void TMemData::CachedDelete() {
  TItemHeader* item = CurrentItem;
  if (!item) throw Exception(u"No current record");
  const bool applied = item->UpdateResult == urApplied;
  // The cursor goes on from where the record was shown, also when its old
  // values move it.
  TItemHeader* const after = item->Next;
  TItemHeader* const before = item->Prev;
  switch (item->Status) {
    case isUnmodified: FCache.push_back(item); break;
    case isUpdated:
      // Not applied: the server still has the values before the edit. An
      // applied edit: it has the record's values, which find the row.
      if (applied) {
        ReleaseRollback(item);
      } else {
        RestoreFromRollback(item);
        if (!FIndexFields.empty()) MoveToSortedPlace(item);
      }
      break;
    case isAppended:
      if (!applied) {
        RemoveFromCache(item);
        Unlink(item);
        RenumberAll();
        return;
      }
      // The insert reached the server: the row must be deleted there too.
      break;
    default: throw Exception(u"Invalid record status");
  }
  item->Status = isDeleted;
  item->UpdateResult = urNone;
  item->FilterResult = fsNotChecked;
  RenumberAll();
  TItemHeader* next = after;
  while (next && !IsVisible(next)) next = next->Next;
  if (!next) {
    next = before;
    while (next && !IsVisible(next)) next = next->Prev;
  }
  CurrentItem = next;
  if (!CurrentItem) FBOF = FEOF = true;
}

void TMemData::Revert(TItemHeader* item) {
  switch (item->Status) {
    case isUpdated:
      RestoreFromRollback(item);
      item->Status = isUnmodified;
      break;
    case isAppended: Unlink(item); return;
    case isDeleted:
      RestoreFromRollback(item);
      item->Status = isUnmodified;
      break;
    default: break;
  }
  item->UpdateResult = urNone;
  item->FilterResult = fsNotChecked;
  // The values before the change have their own place in the order.
  if (!FIndexFields.empty()) MoveToSortedPlace(item);
}

void TMemData::RevertRecord() {
  TItemHeader* item = CurrentItem;
  if (!item || item->Status == isUnmodified) return;
  RemoveFromCache(item);
  Revert(item);
  RenumberAll();
}

void TMemData::CancelUpdates() {
  std::vector<TItemHeader*> cache;
  cache.swap(FCache);
  for (TItemHeader* item : cache) Revert(item);
  RenumberAll();
}

void TMemData::RestoreUpdates() {
  for (TItemHeader* item : FCache) item->UpdateResult = urNone;
}

bool TMemData::UpdatesPending() const {
  for (const TItemHeader* item : FCache)
    if (item->UpdateResult != urApplied) return true;
  return false;
}

void TMemData::CommitUpdates() {
  std::vector<TItemHeader*> kept;
  std::vector<TItemHeader*> cache;
  cache.swap(FCache);
  for (TItemHeader* item : cache) {
    if (item->UpdateResult != urApplied) {
      kept.push_back(item);
      continue;
    }
    ReleaseRollback(item);
    if (item->Status == isDeleted) {
      Unlink(item);
      continue;
    }
    item->Status = isUnmodified;
    item->UpdateResult = urNone;
  }
  FCache = std::move(kept);
}

namespace {

bool KindRequested(uint8_t status, uint8_t kinds) {
  switch (status) {
    case isUpdated: return (kinds & (1u << TMemData::ukUpdate)) != 0;
    case isAppended: return (kinds & (1u << TMemData::ukInsert)) != 0;
    case isDeleted: return (kinds & (1u << TMemData::ukDelete)) != 0;
    default: return false;
  }
}

}  // namespace

void TMemData::ApplyUpdates(uint8_t kinds) {
  if (!OnApplyRecord) throw Exception(u"No apply callback");
  TItemHeader* const remembered = CurrentItem;
  // The last change this pass hands on: its call sends a batch still waiting.
  TItemHeader* lastToApply = nullptr;
  for (auto it = FCache.rbegin(); it != FCache.rend() && !lastToApply; ++it)
    if ((*it)->UpdateResult != urApplied && KindRequested((*it)->Status, kinds)) lastToApply = *it;
  size_t batchStart = SIZE_MAX;  // first item of the batch waiting to be sent
  bool moved = false;            // a record was placed again: renumber at the end
  bool cacheChanged = false;     // a callback reverted or forgot changes (records may be gone)
  size_t i = 0;
  while (i < FCache.size()) {
    TItemHeader* item = FCache[i];
    if (item->UpdateResult == urApplied) {
      ++i;
      continue;
    }
    if (!KindRequested(item->Status, kinds)) {
      if (item->Status != isUpdated && item->Status != isAppended && item->Status != isDeleted)
        throw Exception(u"Invalid record status in the cache");
      item->UpdateResult = urFail;
      ++i;
      continue;
    }
    CurrentItem = item;
    TUpdateRecAction action = urFail;
    uint8_t* newBuf = TBlockManager::GetRecordPtr(item);
    const uint8_t* oldBuf =
        item->Status == isUpdated && item->Rollback ? TBlockManager::GetRecordPtr(item->Rollback) : newBuf;
    const TUpdateRecKind kind = item->Status == isUpdated ? ukUpdate : item->Status == isAppended ? ukInsert : ukDelete;
    const size_t cached = FCache.size();
    try {
      OnApplyRecord(kind, action, newBuf, oldBuf, item == lastToApply);
    } catch (...) {
      if (moved && FActive) RenumberAll();
      // Changes of a batch that was never sent stay pending.
      if (batchStart != SIZE_MAX)
        for (size_t j = batchStart; j < i && j < FCache.size(); ++j) FCache[j]->UpdateResult = urNone;
      if (FActive && std::find(FCache.begin(), FCache.end(), item) != FCache.end()) CurrentItem = item;
      throw;
    }
    // A callback that closed the storage ends the pass.
    if (!FActive) return;
    if (FCache.size() != cached) cacheChanged = true;
    if (i >= FCache.size() || FCache[i] != item) {
      // The callback took this change out of the cache.
      const auto at = std::find(FCache.begin(), FCache.end(), item);
      if (at == FCache.end()) continue;
      i = static_cast<size_t>(at - FCache.begin());
    }
    if (kind != ukDelete) {
      // The callback may have written values the server made (an
      // auto-increment key): the record is judged and placed again.
      item->FilterResult = fsNotChecked;
      if (!FIndexFields.empty()) MoveToSortedPlace(item);
      moved = true;
    }
    if (action == urSuspended) {
      if (batchStart == SIZE_MAX) batchStart = i;
      item->UpdateResult = urSuspended;
    } else {
      for (size_t j = batchStart == SIZE_MAX ? i : batchStart; j <= i; ++j) FCache[j]->UpdateResult = action;
      if (action == urRetry) {
        i = batchStart == SIZE_MAX ? i : batchStart;
        batchStart = SIZE_MAX;
        continue;
      }
      batchStart = SIZE_MAX;
    }
    ++i;
  }
  // A batch the callback never sent: its changes are not applied.
  if (batchStart != SIZE_MAX)
    for (size_t j = batchStart; j < FCache.size(); ++j)
      if (FCache[j]->UpdateResult == urSuspended) FCache[j]->UpdateResult = urNone;
  if (moved) RenumberAll();
  CurrentItem = remembered;
  if (CurrentItem && cacheChanged) {
    // The remembered record may have been reverted away: its memory is not
    // read unless it is still in the list.
    TItemHeader* i = FirstItem;
    while (i && i != CurrentItem) i = i->Next;
    CurrentItem = i;
  }
  if (CurrentItem && (!IsVisible(CurrentItem) || CurrentItem->Flag != kItemInUse)) CurrentItem = nullptr;
}

}  // namespace vix
