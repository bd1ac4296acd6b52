// The MySQL record set: columns mapped to record fields, rows decoded into
// records, several results of one text, and the describe-only run.
#include <algorithm>
#include <cstring>

#include "MySql/MyClasses.h"
#include "MySql/MySqlConsts.h"
#include "MySql/MySqlValues.h"
#include "rtl/CodePage.h"
#include "rtl/DateUtils.h"
#include "rtl/FMTBcd.h"

namespace vix {

namespace {

[[noreturn]] void RaiseProviderError(UString message) { throw EDAError(0, std::move(message)); }

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
    dt = mtString;
  } else {
    switch (type) {
      case MYSQL_TYPE_DECIMAL:
      case MYSQL_TYPE_NEWDECIMAL: {
        // The server's length is unsigned 32-bit: counted in 64 bits, a huge one stays huge.
        const int64_t precision = int64_t{f.LengthInBytes} - 1 - (f.Decimals > 0 ? 1 : 0);
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
  if (o.UseUnicode && wide && !o.IsShow && f.CharsetNr != BINARY_CHARSET_NR) length = f.LengthInBytes / 3;
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

TMySQLConnection& TMySQLRecordset::Connection() const { return FMyCommand->Connection(); }

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
  }
  o.EnableBCD = o.EnableBCD || FMyCommand->FEnableBCD;
  o.EnableFMTBCD = o.EnableFMTBCD || FMyCommand->FEnableFMTBCD;
  o.IsShow = Pos(u"SHOW", UpperCaseAscii(FMyCommand->GetSQL())) > 0;
  return o;
}

void TMySQLRecordset::ExecCommand() {
  TMySQLConnection& c = Connection();
  FUseUnicode = c.GetUseUnicode();
  FNullForZeroVanticDate = c.GetNullForZeroVanticDate();
  FOpenNextState = osNotChecked;
  // A result read to its end is closed already: the statement may run again.
  if (FMyCommand->FCursorState == csFetched && !FMyCommand->FSQLResult)
    FMyCommand->FCursorState = FMyCommand->FPrepared ? csPrepared : csInactive;
  try {
    FMyCommand->Execute();
    FWaitForFetchBreak = false;
    if (FMyCommand->FSQLResult) {
      FCommandType = ctCursor;
      FMyCommand->FCursorState = csExecuted;
    } else {
      FCommandType = ctStatement;
      FMyCommand->FCursorState = csInactive;
    }
  } catch (...) {
    CloseResult(false, true);
    throw;
  }
}

void TMySQLRecordset::InternalInitFields() {
  PMYSQL_RES res = FMyCommand->FSQLResult;
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
    FFields.Add(std::move(d));
  }
  FNulls.clear();
}

void TMySQLRecordset::DecodeValue(const TMySQLFieldDesc& f, std::string_view v, uint8_t* rec, uint8_t& isNull) {
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
    case mtExtWideString: StoreSlot<char16_t*>(slot, FStringHeap->AllocWideStr(Utf8ToUtf16(v))); return;
    case mtBlob:
    case mtMemo:
    case mtWideMemo: {
      TBlob* blob = NewBlob(f);
      StoreSlot<TBlob*>(slot, blob);  // the record owns it from here, also on a failure below
      if (f.FDataType == mtWideMemo) blob->SetAsString(Utf8ToUtf16(v));
      else blob->SetAsBytes(v);
      if (auto* cb = dynamic_cast<TCompressedBlob*>(blob)) {
        const TCompressBlobMode mode = FMyCommand->FCompressBlob;
        cb->SetCompressed(mode == cbClient || mode == cbClientServer);
      }
      return;
    }
    default: break;
  }
  TMySqlValueSlot target;
  target.DataType = f.FDataType;
  target.MySqlType = f.FMySQLType;
  target.Length = f.FLength;
  target.Scale = f.FScale;
  target.Size = static_cast<size_t>(f.FSize);
  target.NullForZeroDate = FNullForZeroDate;
  target.NullForZeroVanticDate = FNullForZeroVanticDate;
  target.FieldName = f.FName;
  if (!DecodeMySqlValue(target, v, slot)) isNull = 1;
}

void TMySQLRecordset::DecodeRow(PMYSQL_ROW row, uint8_t* rec) {
  const int n = FFields.Count();
  if (static_cast<int>(row->Binds.size()) < n) RaiseProviderError(u"The row has fewer values than the result has columns");
  const bool binaryRow = FMyCommand->FPrepared;
  const std::vector<TMySqlFieldInfo>* infos = binaryRow ? &FMyCommand->FSQLResult->Fields() : nullptr;
  for (int i = 0; i < n; ++i) {
    const auto& f = static_cast<const TMySQLFieldDesc&>(FFields[i]);
    const TMySqlBind& b = row->Binds[static_cast<size_t>(i)];
    uint8_t isNull = b.IsNull ? 1 : 0;
    if (f.FFieldDescKind != fdkData) isNull = 1;
    if (isNull) {
      if (IsBlobDataType(f.FDataType)) StoreSlot<TBlob*>(rec + f.FOffset, NewBlob(f));
    } else {
      const std::string_view v(reinterpret_cast<const char*>(row->Buffer.data() + b.Offset), b.Length);
      if (binaryRow && !IsStringDataType(f.FDataType) && !IsBlobDataType(f.FDataType) && !IsBytesDataType(f.FDataType) &&
          f.FDataType != mtFMTBCD && f.FDataType != mtBCD && f.FMySQLType != MYSQL_TYPE_BIT &&
          !IsMySqlDecimalType(f.FMySQLType)) {
        // Numbers, dates and times of a binary row: the value read by type,
        // stored through the record's typed access.
        const Variant value = BinaryValue((*infos)[static_cast<size_t>(i)], ByteSpan(row->Buffer.data() + b.Offset, b.Length));
        if ((f.FDataType == mtDate || f.FDataType == mtDateTime) && value.VarType() == varDate &&
            value.AsDateTime() == kZeroDateStandIn && FNullForZeroDate) {
          isNull = 1;
        } else {
          PutFieldAsVariant(f.FFieldNo, rec, value);
        }
      } else {
        DecodeValue(f, v, rec, isNull);
      }
    }
    rec[FDataSize + i] = isNull;
  }
}

bool TMySQLRecordset::Fetch() {
  if (FFields.Count() == 0) {
    CloseResult(false, true);
    throw EDatabaseError(u"Query must return exactly result set - use Execute");
  }
  TMySQLCommand& cmd = *FMyCommand;
  if (cmd.FCursorState < csExecuted || cmd.FCursorState == csFetched || !cmd.FSQLResult) return false;
  if (cmd.FCursorState == csExecuted) cmd.FCursorState = csFetching;
  bool cancel = false;
  if (FOnBeforeFetch) FOnBeforeFetch(cancel);
  if (cancel || FWaitForFetchBreak) {
    if (cmd.FCursorState == csFetchingAll) cmd.FCursorState = csFetching;
    return false;
  }
  TMySQLConnection& c = Connection();
  TMySQLAPI* api = c.GetMySQLAPI();
  TBlockHeader* block = FBlockMan.AllocBlock(FFetchRows);
  int count = 0;
  try {
    while (count < FFetchRows) {
      PMYSQL_ROW row = nullptr;
      if (cmd.FPrepared) {
        const int rc = api->_mysql_stmt_fetch(cmd.Fstmt, row);
        if (rc != 0 && rc != MYSQL_NO_DATA)
          c.RaiseError(api->mysql_stmt_errno(cmd.Fstmt), api->mysql_stmt_error(cmd.Fstmt), cmd.FComponent);
        if (rc == MYSQL_NO_DATA) row = nullptr;
      } else {
        row = api->_mysql_fetch_row(cmd.FSQLResult);
        if (!row) c.Check(cmd.FComponent);
      }
      if (!row) {
        CloseResult(true, true);
        break;
      }
      DecodeRow(row, TBlockManager::GetRecordPtr(FBlockMan.ItemOf(block, count)));
      ++count;
    }
  } catch (...) {
    // The row that failed may hold values already: release it with the others.
    DiscardFetchBlock(block, std::min(count + 1, FFetchRows));
    try {
      CloseResult(false, true);
    } catch (...) {
    }
    FNoData = true;
    if (FOnAfterFetch) FOnAfterFetch();
    throw;
  }
  if (count > 0) FNoData = AddFetchedBlock(block, count);
  else FBlockMan.FreeBlock(block);
  if (FOnAfterFetch) FOnAfterFetch();
  return count > 0;
}

void TMySQLRecordset::CloseResult(bool lookAhead, bool /*drain*/) {
  TMySQLCommand& cmd = *FMyCommand;
  TMySQLConnection* c = cmd.GetMyConnection();
  if (!c || !c->GetMySQL()) {
    // The session went away under the result (a lost connection closed it):
    // the result is only freed, nothing is read.
    if (c && cmd.FSQLResult && !cmd.FPrepared) c->GetMySQLAPI()->mysql_free_result(cmd.FSQLResult);
    cmd.FSQLResult = nullptr;
    FOpenNextState = osNoMoreResults;
    FCommandType = ctUnknown;
    cmd.FOpenNext = false;
    return;
  }
  TMySQLAPI* api = c->GetMySQLAPI();
  PMYSQL my = c->GetMySQL();
  if (cmd.FSQLResult) {
    // Freeing reads and drops the rows not read yet, so the session is in
    // step for the next statement.
    if (cmd.FPrepared) api->mysql_stmt_free_result(cmd.Fstmt);
    else api->mysql_free_result(cmd.FSQLResult);
    cmd.FSQLResult = nullptr;
    FOpenNextState = !cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my) ? osMoreResults : osNoMoreResults;
  } else if (FOpenNextState == osNotChecked) {
    FOpenNextState = !cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my) ? osMoreResults : osNoMoreResults;
  }
  if (lookAhead && FOpenNextState == osMoreResults && !FSQLResultNext) {
    for (;;) {
      const int rc = api->mysql_next_result(my);
      if (rc < 0) {
        FOpenNextState = osNoMoreResults;
        break;
      }
      if (rc > 0) {
        FOpenNextState = osError;
        cmd.FCursorState = csInactive;
        FCommandType = ctUnknown;
        c->MySQLError(cmd.FComponent);
      }
      FRowsAffectedNext = api->mysql_affected_rows(my);
      if (api->mysql_field_count(my) != 0) {
        FSQLResultNext = api->mysql_use_result(my);
        c->Check(cmd.FComponent);
        break;
      }
      if (!api->mysql_more_results(my)) {
        FOpenNextState = osNoMoreResults;
        break;
      }
    }
  }
  if (cmd.FCursorState == csFetching || cmd.FCursorState == csFetchingAll) cmd.FCursorState = csFetched;
}

bool TMySQLRecordset::OpenNext() {
  TMySQLCommand& cmd = *FMyCommand;
  if (cmd.FSQLResult || (FOpenNextState == osMoreResults && !FSQLResultNext)) CloseResult(true, true);
  if (!FSQLResultNext) return false;
  ClearItems();
  cmd.FSQLResult = FSQLResultNext;
  FSQLResultNext = nullptr;
  cmd.FRowsAffectedPrev = cmd.FRowsAffected;
  cmd.FRowsAffected = FRowsAffectedNext;
  cmd.FCursorState = csExecuted;
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
    TMySQLAPI* api = c->GetMySQLAPI();
    PMYSQL my = c->GetMySQL();
    try {
      CloseResult(false, true);
      if (FSQLResultNext) {
        api->mysql_free_result(FSQLResultNext);
        FSQLResultNext = nullptr;
      }
      // Every further result of the text is read and dropped: the session is
      // free for the next statement.
      while (!cmd.FPrepared && c->IsClient41() && api->mysql_more_results(my)) {
        const int rc = api->mysql_next_result(my);
        if (rc < 0) break;
        if (rc > 0) c->MySQLError(cmd.FComponent);
        if (PMYSQL_RES r = api->mysql_use_result(my)) api->mysql_free_result(r);
        c->Check(cmd.FComponent);
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
  cmd.FSQLResult = nullptr;
  FSQLResultNext = nullptr;
  cmd.FCursorState = cmd.FPrepared ? csPrepared : csInactive;
  if (!cmd.FPrepared) FCommandType = ctUnknown;
  FOpenNextState = osNotChecked;
  if (error) std::rethrow_exception(error);
}

bool TMySQLRecordset::RowsReturn() const {
  if (FCommandType != ctUnknown) return TZelRecordSet::RowsReturn();
  return FMyCommand->FSQLResult != nullptr || FSQLResultNext != nullptr;
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
  const UString sql = cmd.FSQL;
  const auto cached = cmd.FCachedSQL;
  cmd.FSQL = DescribeOnlySQL(sql);
  cmd.FCachedSQL.clear();
  const auto restore = [&] {
    cmd.FSQL = sql;
    cmd.FCachedSQL = cached;
  };
  try {
    ExecCommand();
    InitFields();
    InternalClose();
  } catch (...) {
    restore();
    try {
      InternalClose();
    } catch (...) {
    }
    throw;
  }
  restore();
}

bool TMySQLRecordset::SetProp(TPropId prop, const Variant& value) {
  switch (prop) {
    case prFieldsAsString: FFieldsAsString = value.AsBoolean(); return true;
    case prNullForZeroDate: FNullForZeroDate = value.AsBoolean(); return true;
    case prEnableBoolean: FEnableBoolean = value.AsBoolean(); return true;
    case prCreateConnection: FCreateConnection = value.AsBoolean(); return true;
    case prCommandTimeout: return FMyCommand->SetProp(prop, value);
    case prOpenNext: FMyCommand->FOpenNext = value.AsBoolean(); return true;
    case prUseHandler: FUseHandler = value.AsBoolean(); return true;
    case prBinaryAsString: FBinaryAsString = value.AsBoolean(); return true;
    default: return TZelRecordSet::SetProp(prop, value);
  }
}

bool TMySQLRecordset::GetProp(TPropId prop, Variant& value) {
  switch (prop) {
    case prEnableBoolean: value = FEnableBoolean; return true;
    case prOpenNext: value = FMyCommand->FOpenNext; return true;
    case prMoreResults: value = FOpenNextState == osMoreResults; return true;
    default: return TZelRecordSet::GetProp(prop, value);
  }
}

}  // namespace vix
