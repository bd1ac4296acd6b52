// Bookmarks of the record storage: a record is found again by its serial
// number within the refresh iteration it was taken in. A bookmark holds no
// pointer, so one of a deleted record or of records released by a close or
// a refresh is merely not valid.
#include "Common/MemDS.h"
#include "Common/MemData.h"

namespace vix {

TRecBookmark TMemData::GetBookmark() const {
  if (!CurrentItem || CurrentItem->Order == 0) return {};
  return {FRefreshIteration, CurrentItem->Serial, CurrentItem->Order};
}

TItemHeader* TMemData::BookmarkItem(const TRecBookmark& bookmark) {
  if (bookmark.Empty() || bookmark.RefreshIteration != FRefreshIteration) return nullptr;
  // Where it was taken, unless the order or the filter moved it since.
  const std::vector<TItemHeader*>& shown = RecordNoCache();
  if (bookmark.RecordNo >= 1 && static_cast<size_t>(bookmark.RecordNo) <= shown.size()) {
    TItemHeader* item = shown[static_cast<size_t>(bookmark.RecordNo) - 1];
    if (item->Serial == bookmark.Serial) return item;
  }
  // Only the items in the list are read: a deleted record's memory is never touched.
  for (TItemHeader* item : shown)
    if (item->Serial == bookmark.Serial) return item;
  return nullptr;
}

bool TMemData::SetToBookmark(const TRecBookmark& bookmark) {
  TItemHeader* item = BookmarkItem(bookmark);
  if (!item) return false;
  CurrentItem = item;
  FBOF = FEOF = false;
  return true;
}

int TMemData::CompareBookmarks(const TRecBookmark& a, const TRecBookmark& b) {
  const auto order = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  if (a.Empty() || b.Empty()) return order(!a.Empty(), !b.Empty());
  if (a.RefreshIteration == b.RefreshIteration && a.Serial == b.Serial) return 0;
  const TItemHeader* itemA = BookmarkItem(a);
  const TItemHeader* itemB = BookmarkItem(b);
  if (itemA && itemB) return order(itemA->Order, itemB->Order);
  if (const int byNumber = order(a.RecordNo, b.RecordNo)) return byNumber;
  return order(a.Serial, b.Serial);
}

// --- the dataset's bookmarks ----------------------------------------------------

TRecBookmark TMemDataSet::GetBookmark() const {
  if (!Active() || !FHasCurrent || State() == dsInsert) return {};
  return FData->GetBookmark();
}

void TMemDataSet::GotoBookmark(const TRecBookmark& bookmark) {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  CheckLeaveRecord();
  if (!FData->SetToBookmark(bookmark))
    DatabaseError(u"Bookmark not found: its record was deleted or is hidden, or the data was read again", this);
  LoadCurrent();
  FBof = FEof = false;
  NotifyDataSources(false);
}

bool TMemDataSet::BookmarkValid(const TRecBookmark& bookmark) const {
  return Active() && FData->BookmarkValid(bookmark);
}

int TMemDataSet::CompareBookmarks(const TRecBookmark& a, const TRecBookmark& b) const {
  if (!Active()) DatabaseError(u"Dataset not open", this);
  return FData->CompareBookmarks(a, b);
}

}  // namespace vix
