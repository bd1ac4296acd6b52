// The update object: statements of a dataset's changes kept apart from it,
// and the references between it, its dataset and its query components.
#include <algorithm>

#include "Common/DBAccess.h"

namespace vix {

TCustomDAUpdateSQL::~TCustomDAUpdateSQL() {
  SetDataSet(nullptr);
  for (int kind = 0; kind < kKinds; ++kind) SetObject(static_cast<TKind>(kind), nullptr);
}

void TCustomDAUpdateSQL::SetDataSet(TCustomDADataSet* value) {
  if (value) {
    value->SetUpdateObject(this);
  } else if (FDataSet) {
    FDataSet->SetUpdateObject(nullptr);
  }
}

void TCustomDAUpdateSQL::SetObject(TKind kind, TCustomDADataSet* value) {
  TCustomDADataSet* old = FObjects[kind];
  if (old == value) return;
  FObjects[kind] = value;
  // A dataset used for several kinds is told once, and forgets this object
  // when it serves none of them any more.
  if (old && std::find(std::begin(FObjects), std::end(FObjects), old) == std::end(FObjects)) {
    std::vector<TCustomDAUpdateSQL*>& users = old->FUpdateObjectUsers;
    users.erase(std::remove(users.begin(), users.end(), this), users.end());
  }
  if (value) {
    std::vector<TCustomDAUpdateSQL*>& users = value->FUpdateObjectUsers;
    if (std::find(users.begin(), users.end(), this) == users.end()) users.push_back(this);
  }
}

void TCustomDAUpdateSQL::ObjectDestroying(const TCustomDADataSet& object) {
  for (TCustomDADataSet*& o : FObjects)
    if (o == &object) o = nullptr;
}

void TCustomDADataSet::SetUpdateObject(TCustomDAUpdateSQL* value) {
  if (value == FUpdateObject) return;
  if (FUpdateObject) FUpdateObject->FDataSet = nullptr;
  FUpdateObject = nullptr;
  if (value) {
    if (value->FDataSet) value->FDataSet->FUpdateObject = nullptr;
    value->FDataSet = this;
    FUpdateObject = value;
  }
}

void TCustomDADataSet::DetachUpdateObjects() {
  SetUpdateObject(nullptr);
  for (TCustomDAUpdateSQL* user : FUpdateObjectUsers) user->ObjectDestroying(*this);
  FUpdateObjectUsers.clear();
}

}  // namespace vix
