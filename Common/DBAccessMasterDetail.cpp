// Master-detail links of the query dataset, and the delay timer of the
// detail's refresh.
#include <algorithm>
#include <mutex>

#include "Common/DBAccess.h"

namespace vix {

// --- TDelayTimer ------------------------------------------------------------------

namespace {

std::mutex& TimerLock() {
  static std::mutex lock;
  return lock;
}

std::vector<TDelayTimer*>& Timers() {
  static std::vector<TDelayTimer*> timers;
  return timers;
}

std::vector<UString> SplitFieldNames(const UString& names) {
  std::vector<UString> result;
  size_t start = 0;
  for (;;) {
    const size_t end = names.find(u';', start);
    result.push_back(Trim(UStringView(names).substr(start, end == UString::npos ? UString::npos : end - start)));
    if (end == UString::npos) return result;
    start = end + 1;
  }
}

}  // namespace

TDelayTimer::TDelayTimer(std::function<void()> onTimer) : FOnTimer(std::move(onTimer)) {
  std::lock_guard guard(TimerLock());
  Timers().push_back(this);
}

TDelayTimer::~TDelayTimer() {
  std::lock_guard guard(TimerLock());
  std::erase(Timers(), this);
}

void TDelayTimer::Start(TClock::time_point now) {
  FDue = now + std::chrono::milliseconds(FInterval);
  FEnabled = true;
}

int TDelayTimer::ProcessDueTimers(TClock::time_point now) {
  std::vector<TDelayTimer*> due;
  {
    std::lock_guard guard(TimerLock());
    for (TDelayTimer* timer : Timers())
      if (timer->FEnabled && timer->FDue <= now) due.push_back(timer);
  }
  int fired = 0;
  for (TDelayTimer* timer : due) {
    // A timer that an earlier one stopped or freed is skipped.
    {
      std::lock_guard guard(TimerLock());
      if (std::find(Timers().begin(), Timers().end(), timer) == Timers().end()) continue;
    }
    if (!timer->FEnabled) continue;
    timer->FEnabled = false;
    ++fired;
    if (timer->FOnTimer) timer->FOnTimer();
  }
  return fired;
}

// --- the data link ----------------------------------------------------------------

void TDADetailDataLink::ActiveChanged() {
  FDetail.MasterChanged();
}

void TDADetailDataLink::RecordChanged() {
  FDetail.MasterChanged();
}

void TDADetailDataLink::FieldChanged(const TField& field) {
  FDetail.MasterFieldChanged(field);
}

void TDADetailDataLink::RecordLeaving() {
  FDetail.MasterRecordLeaving();
}

void TDADetailDataLink::CheckBrowseMode() {
  FDetail.MasterCheckBrowseMode();
}

// --- link properties ------------------------------------------------------------------

bool TCustomDADataSet::IsLinked() const {
  return MasterSource() && !Trim(FMasterFields).empty() && !Trim(FDetailFields).empty();
}

TDataSet* TCustomDADataSet::ActiveMaster() const {
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  return master && master->Active() ? master : nullptr;
}

void TCustomDADataSet::SetMasterSource(TDataSource* value) {
  if (value == MasterSource()) return;
  // The master may not lead back to this dataset through its own links.
  for (TDataSource* source = value; source;) {
    TDataSet* dataSet = source->DataSet();
    if (dataSet == this) DatabaseError(u"Circular datalinks are not allowed", this);
    auto* linked = dynamic_cast<TCustomDADataSet*>(dataSet);
    source = linked ? linked->MasterSource() : nullptr;
  }
  const bool wasLinked = IsLinked();
  if (!FDataLink) FDataLink = std::make_unique<TDADetailDataLink>(*this);
  FDataLink->SetDataSource(value);
  LinkChanged(wasLinked);
}

void TCustomDADataSet::SetMasterFields(const UString& value) {
  const bool wasLinked = IsLinked();
  FMasterFields = value;
  LinkChanged(wasLinked);
}

void TCustomDADataSet::SetDetailFields(const UString& value) {
  const bool wasLinked = IsLinked();
  FDetailFields = value;
  LinkChanged(wasLinked);
}

void TCustomDADataSet::SetLocalMasterDetail(bool value) {
  CheckInactive();
  FLocalMasterDetail = value;
}

void TCustomDADataSet::SetDetailDelay(int milliseconds) {
  FDetailDelay = std::max(milliseconds, 0);
  if (!FDetailRefreshTimer) FDetailRefreshTimer = std::make_unique<TDelayTimer>([this] { RefreshDetail(); });
  FDetailRefreshTimer->SetInterval(FDetailDelay);
}

void TCustomDADataSet::LinkChanged(bool wasLinked) {
  if (!wasLinked && !IsLinked()) return;
  if (!Active()) return;
  Close();
  Open();
}

// --- following the master ------------------------------------------------------------

bool TCustomDADataSet::HoldsUnappliedChanges() const {
  const bool inWork = (State() == dsEdit || State() == dsInsert) && Modified();
  return CachedUpdates() && (UpdatesPending() || inWork);
}

void TCustomDADataSet::CheckNoPendingDetailChanges() {
  // The local mode keeps every record: its changes stay, hidden or not.
  if (FLocalMasterDetail || !HoldsUnappliedChanges()) return;
  DatabaseError(u"Cannot change the master record while the detail has cached updates that are not applied", this);
}

void TCustomDADataSet::MasterChanged() {
  if (!Active() || !IsLinked() || !ActiveMaster()) return;
  bool changed = true;
  if (FLocalMasterDetail) {
    CopyMasterValues();
  } else {
    // A refused change leaves the parameters of the records shown.
    std::vector<Variant> before;
    const bool pending = HoldsUnappliedChanges();
    if (pending)
      for (int i = 0; i < FParams.Count(); ++i) before.push_back(FParams.Items(i)->GetValue());
    changed = AssignMasterParams();
    if (changed && pending) {
      for (int i = 0; i < FParams.Count(); ++i) FParams.Items(i)->SetValue(before[static_cast<size_t>(i)]);
      CheckNoPendingDetailChanges();
    }
  }
  if (!changed) return;
  if (FDetailRefreshTimer && FDetailRefreshTimer->Interval() > 0) FDetailRefreshTimer->Start();
  else RefreshDetail();
}

void TCustomDADataSet::MasterFieldChanged(const TField& field) {
  if (!Active() || !IsLinked() || State() == dsEdit || State() == dsInsert) return;
  TDataSet* master = ActiveMaster();
  if (!master || master->State() == dsInsert) return;
  // Only a field that the link reads.
  bool linkField = !FLocalMasterDetail && FParams.FindParam(field.FieldName());
  for (const UString& name : SplitFieldNames(FMasterFields)) linkField = linkField || SameText(name, field.FieldName());
  if (linkField) MasterChanged();
}

void TCustomDADataSet::MasterRecordLeaving() {
  if (Active() && IsLinked() && ActiveMaster()) CheckNoPendingDetailChanges();
}

void TCustomDADataSet::RefreshDetail() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->Stop();
  // A refresh that comes due after the detail closed does nothing.
  if (!Active()) return;
  if (!FLocalMasterDetail && HoldsUnappliedChanges()) {
    // Changes made while a delayed refresh waited: it waits on until they
    // are applied or cancelled.
    if (FDetailRefreshTimer && FDetailRefreshTimer->Interval() > 0) {
      FDetailRefreshTimer->Start();
      return;
    }
    CheckNoPendingDetailChanges();
  }
  // A record in work is posted (or dropped when unchanged), never lost with the records.
  CheckBrowseMode();
  if (FLocalMasterDetail) {
    Data()->FilterUpdated();
    First();
    return;
  }
  Close();
  Open();
}

bool TCustomDADataSet::AssignMasterParams() {
  TDataSet* master = ActiveMaster();
  if (!master || !IsLinked()) return false;
  bool changed = false;
  for (int i = 0; i < FParams.Count(); ++i) {
    TDAParam& param = *FParams.Items(i);
    TField* field = master->FindField(param.GetName());
    if (!field) continue;
    const Variant value = field->AsVariant();
    param.SetParamType(ptInput);
    if (Active() && (param.GetValue() == value || (param.IsNull() && value.IsNull()))) continue;
    param.SetValue(value);
    changed = true;
  }
  return changed;
}

std::vector<TCustomDADataSet::TLocalLink> TCustomDADataSet::MasterLinkValues(TDataSet& master, bool strict) const {
  std::vector<TLocalLink> links;
  const std::vector<UString> masterNames = SplitFieldNames(FMasterFields);
  const std::vector<UString> detailNames = SplitFieldNames(FDetailFields);
  for (size_t i = 0; i < masterNames.size() && i < detailNames.size(); ++i) {
    if (masterNames[i].empty() || detailNames[i].empty()) continue;
    TField* field = master.FindField(masterNames[i]);
    if (!field) {
      if (strict) throw Exception(Format(u"Field %s not found", {masterNames[i]}));
      continue;
    }
    if (!strict && !Data()->Fields().FindField(detailNames[i])) continue;
    // A copy: the master's record buffer may go away before the detail does.
    links.push_back({detailNames[i], field->IsNull() ? Variant::Null() : field->AsVariant()});
  }
  return links;
}

void TCustomDADataSet::CopyMasterValues() {
  // Without an open master the values copied last stay.
  TDataSet* master = ActiveMaster();
  if (!master || !IsLinked()) return;
  FLocalLinks.clear();
  if (!dynamic_cast<TMemDataSet*>(master)) throw Exception(u"Master dataset must be inherited from TMemDataSet");
  FMasterEmpty = master->IsEmpty();
  FLocalLinks = MasterLinkValues(*master, true);
}

bool TCustomDADataSet::LinkValuesMatch(const std::vector<TLocalLink>& links, const uint8_t* recBuf,
                                       int textFlags) const {
  TMemData& data = *Data();
  TFieldValue detail, master;
  for (const TLocalLink& link : links) {
    const TFieldDesc* desc = data.Fields().FindField(link.DetailField);
    if (!desc) throw Exception(Format(u"Field %s not found", {link.DetailField}));
    data.ReadFieldValue(*desc, recBuf, detail);
    if (link.MasterValue.IsNull() || detail.Null) {
      if (link.MasterValue.IsNull() != detail.Null) return false;
      continue;
    }
    try {
      data.MakeFieldValue(*desc, link.MasterValue, master);
    } catch (const EConvertError&) {
      return false;  // a master value that no detail value can equal
    }
    if (data.CompareFieldValue(*desc, detail, master, textFlags) != 0) return false;
  }
  return true;
}

bool TCustomDADataSet::LocalLinkAccepts(const uint8_t* recBuf) {
  if (!IsLinked()) return true;
  if (ActiveMaster() && FMasterEmpty) return false;
  return LinkValuesMatch(FLocalLinks, recBuf, 0);
}

bool TCustomDADataSet::KeepsPostedRecord(const uint8_t* recBuf) {
  // Local links hide such a record through the filter.
  if (FLocalMasterDetail || !IsLinked()) return true;
  TDataSet* master = ActiveMaster();
  if (!master || master->IsEmpty()) return true;
  // The server compares the link's texts by its collation: case is ignored
  // unless the record set compares texts case-sensitively.
  const int textFlags = FIRecordSet && FIRecordSet->IsCaseSensitive() ? 0 : cfCaseInsensitive;
  return LinkValuesMatch(MasterLinkValues(*master, false), recBuf, textFlags);
}

void TCustomDADataSet::DoOnNewRecord() {
  TMemDataSet::DoOnNewRecord();
  // The new record belongs to the master's current record: its link fields
  // take the master's values (copies).
  TDataSet* master = ActiveMaster();
  if (!master || !IsLinked()) return;
  const std::vector<UString> masterNames = SplitFieldNames(FMasterFields);
  const std::vector<UString> detailNames = SplitFieldNames(FDetailFields);
  for (size_t i = 0; i < masterNames.size() && i < detailNames.size(); ++i) {
    if (masterNames[i].empty() || detailNames[i].empty()) continue;
    TField* source = master->FindField(masterNames[i]);
    TField* target = FindField(detailNames[i]);
    if (!source || !target || target->ReadOnly()) continue;
    target->SetAsVariant(source->AsVariant());
  }
}

void TCustomDADataSet::MasterCheckBrowseMode() {
  if (!Active()) return;
  // A master and its detail being filled together: the detail's new or
  // changed record waits for the master's post.
  const bool editing = State() == dsEdit || State() == dsInsert;
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (editing && master && master->State() == dsInsert) return;
  CheckBrowseMode();
}

void TCustomDADataSet::InstallMasterDetailFilter() {
  if (!Data()) return;
  if (FLocalMasterDetail && IsLinked()) {
    CopyMasterValues();
    Data()->FFilterMDFunc = [this](const uint8_t* recBuf) { return LocalLinkAccepts(recBuf); };
  } else {
    Data()->FFilterMDFunc = nullptr;
    if (IsLinked()) AssignMasterParams();
  }
}

// --- the remote condition of the final SQL -----------------------------------------------

UString TCustomDADataSet::MasterDetailCondition(const UString& sql) const {
  TZelConnection* provider = FConnection ? FConnection->ProviderConnection() : nullptr;
  const std::unique_ptr<TSQLInfo> info = provider ? provider->CreateSQLInfo() : std::make_unique<TSQLInfo>();
  const std::vector<UString> masterNames = SplitFieldNames(FMasterFields);
  const std::vector<UString> detailNames = SplitFieldNames(FDetailFields);
  std::vector<UString> used;
  for (size_t i = 0; i < masterNames.size() && i < detailNames.size(); ++i)
    if (!masterNames[i].empty() && !detailNames[i].empty()) used.push_back(masterNames[i]);
  // A text that has a parameter for every master field links itself.
  if (NamesParams(sql, used)) return UString();
  UString condition;
  for (size_t i = 0; i < masterNames.size() && i < detailNames.size(); ++i) {
    if (masterNames[i].empty() || detailNames[i].empty()) continue;
    if (!condition.empty()) condition += u" and ";
    condition += info->QuoteIfNeed(detailNames[i]) + u" = :" + info->QuoteIfNeed(masterNames[i]);
  }
  return condition;
}

}  // namespace vix
