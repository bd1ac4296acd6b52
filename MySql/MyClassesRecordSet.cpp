// The MySQL record set: columns mapped to record fields, rows decoded into
// records, several results of one text, and the describe-only run.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "MySql/MyClasses.h"
#include "MySql/MySqlConsts.h"
#include "MySql/MySqlValues.h"
#include "rtl/CodePage.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"

namespace vix {

namespace {

[[noreturn]] void RaiseProviderError(UString message) {
  throw EDAError(0, std::move(message));
}

// The longest text of a number, date or time column's values (0 for other types).
uint32_t ValueTextWidth(uint8_t type) {
  switch (type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_YEAR: return 4;
    case MYSQL_TYPE_SHORT: return 6;
    case MYSQL_TYPE_INT24: return 8;
    case MYSQL_TYPE_LONG: return 11;
    case MYSQL_TYPE_LONGLONG: return 20;
    case MYSQL_TYPE_FLOAT: return 15;
    case MYSQL_TYPE_DOUBLE: return 24;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return 10;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return 26;
    case MYSQL_TYPE_TIME: return 17;
    case MYSQL_TYPE_BIT: return 8;
    default: return 0;
  }
}

}  // namespace

// --- the type mapping -----------------------------------------------------------------

void MapMySqlField(const TMYSQL_FIELD& f, const TMyMappingOptions& o, TMySQLFieldDesc& d) {
  const uint8_t type = f._type;
  const bool isUnsigned = (f.Flags & UNSIGNED_FLAG) != 0;
  // Binary columns are those of the binary charset: a text column of a
  // "_bin" collation carries the binary flag too, but holds text.
  const bool binary = (f.Flags & BINARY_FLAG) != 0 && f.CharsetNr == BINARY_CHARSET_NR;
  const bool blobType = IsMySqlBlobType(type);
  TDataType dt = mtUnknown;
  bool fixed = false;
  uint32_t length = f.LengthInBytes;
  if (o.FieldsAsString && !blobType) {
    // Long enough for every value of the type, whatever its display width;
    // a text column stays Unicode on a Unicode connection.
    const uint32_t width = ValueTextWidth(type);
    dt = o.UseUnicode && width == 0 && f.CharsetNr != BINARY_CHARSET_NR ? mtWideString : mtString;
    length = std::max(length, width);
  } else {
    switch (type) {
      case MYSQL_TYPE_DECIMAL:
      case MYSQL_TYPE_NEWDECIMAL: {
        // The server's length is unsigned 32-bit: counted in 64 bits, a huge one stays huge.
        // The length counts the point and, unless the column is unsigned, the sign.
        const int64_t precision = int64_t{f.LengthInBytes} - (isUnsigned ? 0 : 1) - (f.Decimals > 0 ? 1 : 0);
        if (o.CheckPrecision) {
          if (o.EnableBCD && precision <= 14 && f.Decimals <= 4) dt = mtBCD;
          else dt = o.EnableFMTBCD ? mtFMTBCD : mtFloat;
        } else {
          dt = o.EnableFMTBCD ? mtFMTBCD : (o.EnableBCD ? mtBCD : mtFloat);
        }
        length = static_cast<uint32_t>(std::clamp<int64_t>(precision, 1, kMaxBcdDigits));
        break;
      }
      case MYSQL_TYPE_TINY:
        dt = f.LengthInBytes == 1 && o.EnableBoolean ? mtBoolean : (isUnsigned ? mtUInt16 : mtInt8);
        break;
      case MYSQL_TYPE_SHORT: dt = isUnsigned ? mtUInt16 : mtInt16; break;
      case MYSQL_TYPE_LONG: dt = isUnsigned ? mtUInt32 : mtInt32; break;
      case MYSQL_TYPE_FLOAT:
      case MYSQL_TYPE_DOUBLE: dt = mtFloat; break;
      case MYSQL_TYPE_NULL: dt = mtString; break;
      case MYSQL_TYPE_TIMESTAMP:
      case MYSQL_TYPE_DATETIME: dt = mtDateTime; break;
      case MYSQL_TYPE_LONGLONG:
      case MYSQL_TYPE_BIT:
        if (f.LengthInBytes <= 11 && o.OptimizedBigInt) dt = mtInt32;
        else if (type == MYSQL_TYPE_LONGLONG && isUnsigned && o.EnableFMTBCD) {
          // The whole unsigned range as a decimal.
          dt = mtFMTBCD;
          length = 20;
        } else if ((type == MYSQL_TYPE_LONGLONG && isUnsigned) || (type == MYSQL_TYPE_BIT && f.LengthInBytes > 63)) {
          dt = mtUInt64;  // values above 2^63 - 1 are legal
        } else dt = mtInt64;
        break;
      case MYSQL_TYPE_INT24: dt = mtInt32; break;
      case MYSQL_TYPE_DATE:
      case MYSQL_TYPE_NEWDATE: dt = mtDate; break;
      case MYSQL_TYPE_TIME: dt = mtTime; break;
      case MYSQL_TYPE_YEAR: dt = mtUInt16; break;
      case MYSQL_TYPE_VARCHAR:
      case MYSQL_TYPE_VAR_STRING: dt = binary && !o.BinaryAsString ? mtVarBytes : mtString; break;
      case MYSQL_TYPE_STRING:
        dt = binary && !o.BinaryAsString ? mtBytes : mtString;
        fixed = true;
        break;
      case MYSQL_TYPE_ENUM:
      case MYSQL_TYPE_SET: dt = mtString; break;
      default:
        if (blobType) {
          dt = binary ? mtBlob : mtMemo;
          break;
        }
        RaiseProviderError(Format(u"Unknown MySQL datatype (%d)", {static_cast<int>(type)}));
    }
    // Binary columns keep their bytes: never decoded as UTF-8.
    if (o.UseUnicode && f.CharsetNr != BINARY_CHARSET_NR) {
      if (dt == mtString) dt = mtWideString;
      else if (dt == mtMemo) dt = mtWideMemo;
    }
  }
  const bool wide = dt == mtMemo || dt == mtWideString || dt == mtExtWideString || dt == mtWideMemo;
  if (o.UseUnicode && wide && !o.IsShow && f.CharsetNr != BINARY_CHARSET_NR)
    length = f.LengthInBytes / (o.Utf8Mb4 ? 2 : 3);
  if (type == MYSQL_TYPE_VAR_STRING && f.LengthInBytes == 65535 && f.Table.empty() && !o.FieldsAsString)
    dt = (f.Flags & BINARY_FLAG) ? mtBlob : (o.UseUnicode ? mtWideMemo : mtMemo);
  // A string longer than a field can hold stays whole in a memo.
  if ((IsStringDataType(dt) || dt == mtBytes || dt == mtVarBytes) && length > 65534) {
    if (dt == mtWideString) dt = mtWideMemo;
    else if (dt == mtString) dt = o.UseUnicode && f.CharsetNr != BINARY_CHARSET_NR ? mtWideMemo : mtMemo;
    else dt = mtBlob;
  }
  if (!o.LongStrings && length > 256) {
    if (dt == mtString) dt = mtMemo;
    else if (dt == mtWideString) dt = mtWideMemo;
  }
  if (length == 0 || (!o.FlatBuffers && length >= 32)) {
    if (dt == mtString) dt = mtExtString;
    else if (dt == mtBytes || dt == mtVarBytes) dt = mtExtVarBytes;
    else if (dt == mtWideString) dt = mtExtWideString;
  }
  d.FDataType = dt;
  d.FActualFieldNo = d.FFieldNo > 0 ? static_cast<uint16_t>(d.FFieldNo - 1) : 0;
  d.FFixed = fixed;
  d.FMySQLType = type;
  d.FIsUnsigned = isUnsigned;
  d.FSubDataType = 0;
  d.FReadOnly = type == MYSQL_TYPE_NULL;
  d.FIsAutoIncrement = (f.Flags & AUTO_INCREMENT_FLAG) != 0;
  d.FRequired = !d.FIsAutoIncrement && type != MYSQL_TYPE_TIMESTAMP && (f.Flags & NOT_NULL_FLAG) != 0;
  d.FIsBinary = (f.Flags & BINARY_FLAG) != 0;
  d.FIsKey = (f.Flags & (PRI_KEY_FLAG | UNIQUE_KEY_FLAG | MULTIPLE_KEY_FLAG | PART_KEY_FLAG)) != 0;
  d.FIsPrimaryKey = (f.Flags & PRI_KEY_FLAG) != 0;
  d.FFlags = f.Flags;
  d.FIsCurrentTimestamp = (f.Flags & TIMESTAMP_FLAG) != 0;
  d.FCharsetNr = f.CharsetNr;
  const uint16_t len16 = static_cast<uint16_t>(std::min<uint32_t>(length, 65535));
  d.FLength = IsBlobDataType(dt) ? 0 : len16;
  d.FScale = 0;
  switch (dt) {
    case mtString: d.FSize = len16 + 1; break;
    case mtBytes: d.FSize = len16; break;
    case mtVarBytes: d.FSize = len16 + 2; break;
    case mtWideString: d.FSize = (len16 + 1) * 2; break;
    case mtExtString:
    case mtExtWideString:
      if (length == 0) d.FLength = 65530;
      d.FSize = 0;
      break;
    case mtFloat:
    case mtBCD:
    case mtFMTBCD:
      d.FScale = static_cast<uint16_t>(std::min<uint32_t>(f.Decimals, 64));
      d.FSize = 0;
      break;
    default: d.FSize = 0;
  }
}

// --- TMySQLRecordset ---------------------------------------------------------------

TMySQLRecordset::TMySQLRecordset() {
  FFetchAll = true;
  CreateCommand();
}

TMySQLRecordset::~TMySQLRecordset() {
  try {
    // The auxiliary session goes first: its results are then only freed.
    if (FConnectionSwap) ReleaseFetchConnection();
    if (FSQLResultNext && FMyCommand->GetMyConnection())
      FMyCommand->GetMyConnection()->GetMySQLAPI()->mysql_free_result(FSQLResultNext);
  } catch (...) {
  }
}

void TMySQLRecordset::CreateCommand() {
  auto c = std::make_unique<TMySQLCommand>();
  c->SetRequestResultset(true);
  SetCommand(std::move(c));
}

void TMySQLRecordset::SetCommand(std::unique_ptr<TZelCommand> value) {
  FMyCommand = dynamic_cast<TMySQLCommand*>(value.get());
  TZelRecordSet::SetCommand(std::move(value));
}

TMySQLConnection& TMySQLRecordset::Connection() const {
  TMySQLConnection* c = FMyCommand->GetMyConnection();
  if (!c || !c->GetConnected() || !c->GetMySQL()) throw EDatabaseError(u"Connection is not connected");
  return *c;
}

TMyMappingOptions TMySQLRecordset::MappingOptions() const {
  TMyMappingOptions o;
  o.UseUnicode = FUseUnicode;
  o.FieldsAsString = FFieldsAsString;
  o.EnableBoolean = FEnableBoolean;
  o.BinaryAsString = FBinaryAsString;
  o.LongStrings = FLongStrings;
  o.FlatBuffers = FFlatBuffers;
  if (TMySQLConnection* c = FMyCommand->GetMyConnection()) {
    o.OptimizedBigInt = c->GetOptimizedBigInt();
    o.CheckPrecision = c->GetCheckPrecision();
    o.EnableBCD = c->GetEnableBCD();
    o.EnableFMTBCD = c->GetEnableFMTBCD();
    o.Utf8Mb4 = c->GetUtf8Mb4();
  }
  o.EnableBCD = o.EnableBCD || FMyCommand->GetEnableBCD();
  o.EnableFMTBCD = o.EnableFMTBCD || FMyCommand->GetEnableFMTBCD();
  o.IsShow = Pos(u"SHOW", UpperCaseAscii(FMyCommand->GetSQL())) > 0;
  return o;
}

void TMySQLRecordset::SetConnection(TZelConnection* value) {
  if (FConnectionSwap) {
    if (value == FConnectionSwap) return;
    ReleaseFetchConnection();
  }
  TZelRecordSet::SetConnection(value);
}

void TMySQLRecordset::ExecCommand() {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection& c = Connection();
  FUseUnicode = c.GetUseUnicode();
  FNullForZeroVanticDate = c.GetNullForZeroVanticDate();
  FOpenNextState = osNotChecked;
  cmd.RearmIfFetched();
  try {
    // Inside a transaction the rows are read on its own session, which alone
    // sees the transaction's changes.
    const TCursorState state = cmd.GetCursorState();
    if (!FFetchAll && FCreateConnection && !FConnectionSwap && state == csInactive && !cmd.GetPrepared() &&
        !c.InServerTransaction()) {
      MoveToFetchConnection();
      // Left on the session (a pool without a free slot): the rows are read
      // at once, so that the connection is free for other statements.
      FFetchAllThisOpen = !FConnectionSwap;
    }
    cmd.Execute();
    FWaitForFetchBreak = false;
    if (cmd.GetSQLResult()) {
      FCommandType = ctCursor;
      cmd.SetCursorState(csExecuted);
    } else {
      FCommandType = ctStatement;
      cmd.SetCursorState(csInactive);
      ReleaseFetchConnection();
    }
  } catch (...) {
    try {
      CloseResult(false);
    } catch (...) {
    }
    ReleaseFetchConnection();
    throw;
  }
}

void TMySQLRecordset::MoveToFetchConnection() {
  TMySQLConnection& main = Connection();
  TMySQLAPI* api = main.GetMySQLAPI();
  TComponent* component = FMyCommand->GetComponent();
  api->SetTimeout(main.GetMySQL(), FMyCommand->GetCommandTimeout());
  // A main session that is gone is found here, where its error loop may act.
  main.Check(api->mysql_ping(main.GetMySQL()), component);
  std::unique_ptr<TMySQLConnection> aux = main.TakeAdditionalConnection();
  if (!aux) return;
  // Only a single SELECT may have the rest of its result killed.
  TMyParser parser(FMyCommand->GetSQL());
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  parser.SetQuotedString(true);
  parser.ToBegin();
  UString lexem;
  FIsCanFastClose = parser.GetNext(lexem) == lxSELECT;
  if (FIsCanFastClose) {
    parser.ToBegin();
    FIsCanFastClose = !parser.ToLexem(u";");
  }
  FConnectionSwap = &main;
  FFetchConnection = std::move(aux);
  FMyCommand->SetConnection(FFetchConnection.get());
}

void TMySQLRecordset::ReleaseFetchConnection() {
  if (!FConnectionSwap) return;
  TMySQLConnection* main = FConnectionSwap;
  std::unique_ptr<TMySQLConnection> aux = std::move(FFetchConnection);
  FConnectionSwap = nullptr;
  FIsCanFastClose = false;
  FMyCommand->SetConnection(main);
  if (!aux) return;
  // Results still held on the auxiliary session are detached from it and
  // freed later without reading.
  try {
    TMySQLConnection::ReleaseAdditionalConnection(std::move(aux));
  } catch (const std::exception&) {
  }
}

void TMySQLRecordset::InternalInitFields() {
  PMYSQL_RES res = FMyCommand->GetSQLResult();
  if (!res) return;
  TMySQLAPI* api = Connection().GetMySQLAPI();
  const TMyMappingOptions o = MappingOptions();
  const int n = api->mysql_num_fields(res);
  for (int i = 0; i < n; ++i) {
    const TMYSQL_FIELD f = api->_mysql_fetch_field_direct(res, i, FUseUnicode);
    auto d = std::make_unique<TMySQLFieldDesc>();
    d->FFieldNo = static_cast<uint16_t>(i + 1);
    MapMySqlField(f, o, *d);
    d->FActualFieldNo = static_cast<uint16_t>(i);
    d->FName = FUseUnicode ? Utf8ToUtf16Lenient(f.Name) : AnsiToUtf16(f.Name);
    d->FActualName = FUseUnicode ? Utf8ToUtf16Lenient(f.OrgName) : AnsiToUtf16(f.OrgName);
    d->FTableAlias = FUseUnicode ? Utf8ToUtf16Lenient(f.Table) : AnsiToUtf16(f.Table);
    d->FTableName = FUseUnicode ? Utf8ToUtf16Lenient(f.OrgTable) : AnsiToUtf16(f.OrgTable);
    d->FDecimals = f.Decimals;
    d->FDatabase = FUseUnicode ? Utf8ToUtf16Lenient(f.Database) : AnsiToUtf16(f.Database);
    FFields.Add(std::move(d));
  }
  FNulls.clear();
}

void TMySQLRecordset::DecodeValue(const TMySQLFieldDesc& f, const TMySqlValueSlot& target, std::string_view v,
                                  uint8_t* rec, uint8_t& isNull) {
  uint8_t* slot = rec + f.FOffset;
  switch (f.FDataType) {
    case mtExtString: StoreSlot<char*>(slot, FStringHeap->AllocStr(v)); return;
    case mtExtVarBytes: {
      const auto n = static_cast<uint16_t>(std::min<size_t>(v.size(), 65535));
      char* buf = FStringHeap->NewBuf(2u + n);
      PutVarBytesSlot(reinterpret_cast<uint8_t*>(buf), 2u + n, v);
      StoreSlot<char*>(slot, buf);
      return;
    }
    case mtExtWideString: {
      // A short text is decoded on the stack and copied once into the heap.
      char16_t units[256];
      if (v.size() <= std::size(units)) {
        const size_t n = Utf8ToUtf16Into(v, units, std::size(units), true);
        StoreSlot<char16_t*>(slot, FStringHeap->AllocWideStr(UStringView(units, n)));
      } else {
        StoreSlot<char16_t*>(slot, FStringHeap->AllocWideStr(Utf8ToUtf16(v)));
      }
      return;
    }
    case mtBlob:
    case mtMemo:
    case mtWideMemo: {
      TBlob* blob = NewBlob(f);
      StoreSlot<TBlob*>(slot, blob);  // the record owns it from here, also on a failure below
      if (f.FDataType == mtWideMemo) blob->SetAsString(Utf8ToUtf16(v));
      else blob->SetAsBytes(v);
      if (auto* cb = dynamic_cast<TCompressedBlob*>(blob)) {
        const TCompressBlobMode mode = FMyCommand->GetCompressBlob();
        cb->SetCompressed(mode == cbClient || mode == cbClientServer);
      }
      return;
    }
    default: break;
  }
  if (!DecodeMySqlValue(target, v, slot)) isNull = 1;
}

void TMySQLRecordset::DecodeRow(PMYSQL_ROW row, uint8_t* rec) {
  const int n = FFields.Count();
  if (static_cast<int>(row->Binds.size()) < n)
    RaiseProviderError(u"The row has fewer values than the result has columns");
  const bool binaryRow = FMyCommand->GetPrepared();
  const std::vector<TMySqlFieldInfo>* infos = binaryRow ? &FMyCommand->GetSQLResult()->Fields() : nullptr;
  for (int i = 0; i < n; ++i) {
    const auto& f = static_cast<const TMySQLFieldDesc&>(FFields[i]);
    const TMySqlBind& b = row->Binds[static_cast<size_t>(i)];
    uint8_t isNull = b.IsNull ? 1 : 0;
    if (f.FFieldDescKind != fdkData) isNull = 1;
    if (isNull) {
      if (IsBlobDataType(f.FDataType)) StoreSlot<TBlob*>(rec + f.FOffset, NewBlob(f));
    } else {
      const std::string_view v(reinterpret_cast<const char*>(row->Buffer.data() + b.Offset), b.Length);
      const ByteSpan bytes(row->Buffer.data() + b.Offset, b.Length);
      const TMySqlFieldInfo* info = binaryRow ? &(*infos)[static_cast<size_t>(i)] : nullptr;
      if (!info || !IsBinaryEncodedType(info->_Type)) {
        DecodeValue(f, FValueSlots[static_cast<size_t>(i)], v, rec, isNull);
      } else if (f.FDataType == mtDate || f.FDataType == mtDateTime) {
        // The zero date is told from the real 0100-01-01 before converting.
        TDateTime value = 0;
        if (!TryBinaryDateTimeToDateTime(DecodeBinaryDateTime(bytes), value)) {
          if (FNullForZeroDate) isNull = 1;
          else StoreSlot<double>(rec + f.FOffset, kZeroDateStandIn);
        } else if (value == 0 && FNullForZeroVanticDate) {
          isNull = 1;
        } else {
          StoreSlot<double>(rec + f.FOffset, value);
        }
      } else if (IsStringDataType(f.FDataType) || f.FDataType == mtBCD || f.FDataType == mtFMTBCD) {
        // A number, date or time kept as text or as a decimal: read from the
        // text the server writes for it.
        DecodeValue(f, FValueSlots[static_cast<size_t>(i)], BinaryValueText(*info, bytes), rec, isNull);
      } else {
        // Numbers and times: the value read by type, stored through the
        // record's typed access.
        PutFieldAsVariant(f.FFieldNo, rec, BinaryValue(*info, bytes));
      }
    }
    rec[FDataSize + i] = isNull;
  }
}

bool TMySQLRecordset::Fetch() {
  TMySQLCommand& cmd = *FMyCommand;
  if (FFields.Count() == 0) {
    CloseResult(false);
    throw EDatabaseError(u"Query must return exactly result set - use Execute");
  }
  if (!cmd.BeginFetch()) return false;
  bool cancel = false;
  if (FOnBeforeFetch) FOnBeforeFetch(cancel);
  if (cancel || FWaitForFetchBreak) {
    if (cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetching);
    return false;
  }
  FValueSlots.resize(static_cast<size_t>(FFields.Count()));
  for (int i = 0; i < FFields.Count(); ++i) {
    const auto& f = static_cast<const TMySQLFieldDesc&>(FFields[i]);
    TMySqlValueSlot& target = FValueSlots[static_cast<size_t>(i)];
    target.DataType = f.FDataType;
    target.MySqlType = f.FMySQLType;
    target.Length = f.FLength;
    target.Scale = f.FScale;
    target.Size = static_cast<size_t>(f.FSize);
    target.NullForZeroDate = FNullForZeroDate;
    target.NullForZeroVanticDate = FNullForZeroVanticDate;
    target.FieldName = f.FName;
  }
  TBlockHeader* block = FBlockMan.AllocBlock(FFetchRows);
  int count = 0;
  try {
    while (count < FFetchRows) {
      PMYSQL_ROW row = cmd.FetchRow();
      if (!row) {
        CloseResult(true);
        break;
      }
      DecodeRow(row, TBlockManager::GetRecordPtr(FBlockMan.ItemOf(block, count)));
      ++count;
    }
  } catch (...) {
    // The row that failed may hold values already: release it with the others.
    DiscardFetchBlock(block, std::min(count + 1, FFetchRows));
    try {
      CloseResult(false);
    } catch (...) {
    }
    ReleaseFetchConnection();
    FNoData = true;
    if (FOnAfterFetch) FOnAfterFetch();
    throw;
  }
  if (count > 0) FNoData = AddFetchedBlock(block, count);
  else FBlockMan.FreeBlock(block);
  if (FOnAfterFetch) FOnAfterFetch();
  return count > 0;
}

void TMySQLRecordset::CloseResult(bool lookAhead) {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection* c = cmd.GetMyConnection();
  if (!c || !c->GetMySQL()) {
    cmd.CloseResult();
    FOpenNextState = osNoMoreResults;
    FCommandType = ctUnknown;
    cmd.SetOpenNext(false);
    ReleaseFetchConnection();
    return;
  }
  if (cmd.GetSQLResult()) {
    if (FConnectionSwap && FIsCanFastClose && FastClose()) {
      ReleaseFetchConnection();
      cmd.CloseResult();
      FOpenNextState = osNoMoreResults;
      if (cmd.GetCursorState() == csFetching || cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetched);
      return;
    }
    FOpenNextState = cmd.CloseResult() ? osMoreResults : osNoMoreResults;
  } else if (FOpenNextState == osNotChecked) {
    FOpenNextState = cmd.HasMoreResults() ? osMoreResults : osNoMoreResults;
  }
  if (lookAhead && FOpenNextState == osMoreResults && !FSQLResultNext) {
    try {
      FSQLResultNext = cmd.NextResultWithColumns(FRowsAffectedNext);
    } catch (...) {
      FOpenNextState = osError;
      cmd.SetCursorState(csInactive);
      FCommandType = ctUnknown;
      throw;
    }
    if (!FSQLResultNext) FOpenNextState = osNoMoreResults;
  }
  if (FOpenNextState == osNoMoreResults && !FSQLResultNext) ReleaseFetchConnection();
  if (cmd.GetCursorState() == csFetching || cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetched);
}

bool TMySQLRecordset::FastClose() {
  TMySQLCommand& cmd = *FMyCommand;
  // A short rest is read: the session then goes back in step.
  for (int i = 0; i < FFetchRows; ++i)
    if (!cmd.FetchRow()) return false;
  TMySQLConnection* aux = cmd.GetMyConnection();
  const uint32_t id = aux->GetThreadId();
  try {
    FConnectionSwap->ExecuteStatement(u"KILL " + UIntToStr(id));
  } catch (const Exception&) {
    // The session is closed unread all the same.
  }
  return true;
}

bool TMySQLRecordset::OpenNext() {
  TMySQLCommand& cmd = *FMyCommand;
  if (cmd.GetSQLResult() || (FOpenNextState == osMoreResults && !FSQLResultNext)) CloseResult(true);
  if (!FSQLResultNext) return false;
  ClearItems();
  cmd.OpenResult(FSQLResultNext, FRowsAffectedNext);
  FSQLResultNext = nullptr;
  FCommandType = ctCursor;
  FOpenNextState = osNotChecked;
  InitFields();
  if (FFetchAll) FetchAll();
  else Fetch();
  FActive = true;
  return true;
}

void TMySQLRecordset::InternalClose() {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection* c = cmd.GetMyConnection();
  std::exception_ptr error;
  if (c && c->GetMySQL()) {
    try {
      CloseResult(false);
      if (FSQLResultNext) {
        cmd.GetMyConnection()->GetMySQLAPI()->mysql_free_result(FSQLResultNext);
        FSQLResultNext = nullptr;
      }
      // Every further result of the text is read and dropped: the session is
      // free for the next statement.
      if (cmd.GetMyConnection() && cmd.GetMyConnection()->GetMySQL()) cmd.DiscardResults();
    } catch (...) {
      error = std::current_exception();
    }
  }
  ReleaseFetchConnection();
  cmd.EndCursor();
  FSQLResultNext = nullptr;
  if (!cmd.GetPrepared()) FCommandType = ctUnknown;
  FOpenNextState = osNotChecked;
  if (error) std::rethrow_exception(error);
}

bool TMySQLRecordset::RowsReturn() const {
  if (FCommandType != ctUnknown) return TZelRecordSet::RowsReturn();
  return FMyCommand->GetSQLResult() != nullptr || FSQLResultNext != nullptr;
}

bool TMySQLRecordset::CanDisconnect() const {
  if (!TZelRecordSet::CanDisconnect()) return false;
  if (!FUseHandler) return true;
  TMySQLConnection* c = FMyCommand->GetMyConnection();
  return c && c->IsClient41() && c->IsServer41();
}

// --- describe-only ---

UString TMySQLRecordset::DescribeOnlySQL(const UString& sql) {
  TMyParser parser(sql);
  parser.SetOmitBlank(true);
  parser.SetOmitComment(true);
  parser.SetQuotedString(true);
  parser.SetDecSeparator(u'.');
  parser.ToBegin();
  UString lexem;
  const int first = parser.GetNext(lexem);
  if (first != lxSELECT && first != lxWITH && first != lxSHOW && first != lxDESCRIBE && first != lxDESC &&
      first != lxEXPLAIN)
    throw EDatabaseError(u"Field descriptions are only read from SELECT, WITH, SHOW, DESCRIBE and EXPLAIN statements");
  // Only the first statement runs.
  size_t end = sql.size();
  parser.ToBegin();
  if (parser.ToLexem(u";")) end = static_cast<size_t>(parser.LexemPos());
  UString text = sql.substr(0, end);
  if (first != lxSELECT && first != lxWITH) return text;
  parser.SetText(text);
  parser.ToBegin();
  int code = parser.ToLexem(lxLIMIT, true);
  if (code == lxLIMIT) {
    // LIMIT count | LIMIT offset, count | LIMIT count OFFSET offset: the
    // count becomes 0.
    code = parser.GetNext(lexem);
    if (code != lkNumber && lexem != u"?") return text;
    size_t countPos = static_cast<size_t>(parser.LexemPos());
    size_t countLen = lexem.size();
    code = parser.GetNext(lexem);
    if (lexem == u",") {
      code = parser.GetNext(lexem);
      if (code != lkNumber && lexem != u"?") return text;
      countPos = static_cast<size_t>(parser.LexemPos());
      countLen = lexem.size();
    }
    return text.substr(0, countPos) + u"0" + text.substr(countPos + countLen);
  }
  parser.ToBegin();
  for (int stop : {lxPROCEDURE, lxFOR, lxLOCK}) {
    parser.ToBegin();
    if (parser.ToLexem(stop, true) == stop) {
      const auto pos = static_cast<size_t>(parser.LexemPos());
      return text.substr(0, pos) + u"LIMIT 0 " + text.substr(pos);
    }
  }
  return text + u" LIMIT 0";
}

void TMySQLRecordset::DescribeFields() {
  TMySQLCommand& cmd = *FMyCommand;
  cmd.OverrideText(DescribeOnlySQL(cmd.GetSQL()));
  try {
    ExecCommand();
    InitFields();
    InternalClose();
  } catch (...) {
    cmd.RestoreText();
    try {
      InternalClose();
    } catch (...) {
    }
    throw;
  }
  cmd.RestoreText();
}

bool TMySQLRecordset::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prFieldsAsString: FFieldsAsString = value.AsBoolean(); return true;
    case prNullForZeroDate: FNullForZeroDate = value.AsBoolean(); return true;
    case prEnableBoolean: FEnableBoolean = value.AsBoolean(); return true;
    case prCreateConnection: FCreateConnection = value.AsBoolean(); return true;
    case prCommandTimeout: return FMyCommand->SetProp(prop, value);
    case prOpenNext: FMyCommand->SetOpenNext(value.AsBoolean()); return true;
    case prUseHandler: FUseHandler = value.AsBoolean(); return true;
    case prBinaryAsString: FBinaryAsString = value.AsBoolean(); return true;
    default: return TZelRecordSet::SetProp(prop, value);
  }
}

bool TMySQLRecordset::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prEnableBoolean: value = FEnableBoolean; return true;
    case prOpenNext: value = FMyCommand->GetOpenNext(); return true;
    case prMoreResults: value = FOpenNextState == osMoreResults; return true;
    default: return TZelRecordSet::GetProp(prop, value);
  }
}

}  // namespace vix
