#include "Common/DBAccess.h"

#include <utility>

#include "rtl/CodePage.h"
#include "rtl/DateUtils.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

bool IsTextOrBytesType(TFieldType type) {
  switch (type) {
    case ftString:
    case ftBytes:
    case ftVarBytes:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar: return true;
    default: return false;
  }
}

}  // namespace

// --- TDAParam -------------------------------------------------------------------

TDAParam::TDAParam(UString name) : FName(std::move(name)) {}

TDAParam::~TDAParam() = default;

void TDAParam::SetDataType(TFieldType value) {
  if (value == FDataType) return;
  FParamObject.Reset();
  FDataType = value;
  FSubDataType = 0;
  FData = Variant();
  FNull = true;
  if (IsBlobFieldType(value)) FParamObject = TSharedRef<TBlob>::Adopt(new TBlob(value == ftWideMemo));
}

bool TDAParam::IsBlobFieldType(TFieldType type) const {
  return type == ftBlob || type == ftMemo || type == ftWideMemo;
}

void TDAParam::WriteBlobText(const UString& value, bool ansi) {
  if (ansi) FParamObject->SetAsAnsiString(Utf16ToAnsi(value));
  else FParamObject->SetAsString(value);
  FNull = false;
  FBound = true;
}

std::string TDAParam::GetAsBlob() const {
  if (IsBlob()) return FParamObject->AsBytes();
  return IsNull() ? std::string() : FData.AsBytes();
}

void TDAParam::SetAsBlob(std::string_view value) {
  SetDataType(ftBlob);
  FParamObject->SetAsBytes(value);
  FNull = false;
  FBound = true;
}

void TDAParam::SetAsMemo(const UString& value) {
  SetDataType(ftMemo);
  WriteBlobText(value, false);
}

void TDAParam::StoreValue(const Variant& value) {
  FData = value;
  FBound = !value.IsEmpty();
  FNull = value.IsEmptyOrNull();
}

void TDAParam::StoreTyped(TFieldType type, const Variant& value) {
  SetDataType(type);
  StoreValue(value);
}

TFieldType TDAParam::FieldTypeOfValue(TVarType type) {
  switch (type) {
    case varSmallint: return ftSmallint;
    case varInteger: return ftInteger;
    case varSingle: return ftSingle;
    case varDouble: return ftFloat;
    case varCurrency: return ftBCD;
    case varDate: return ftDateTime;
    case varUString: return ftWideString;
    case varBoolean: return ftBoolean;
    case varShortInt: return ftShortint;
    case varByte: return ftByte;
    case varWord: return ftWord;
    case varLongWord: return ftLongWord;
    case varInt64:
    case varUInt64: return ftLargeint;
    case varString: return ftString;
    case varSQLTimeStamp: return ftTimeStamp;
    case varFMTBcd: return ftFMTBcd;
    default: return ftUnknown;
  }
}

void TDAParam::SetValue(const Variant& value) {
  if (IsBlob()) {
    if (value.VarType() == varBytes) {
      FParamObject->SetAsBytes(value.AsBytes());
      FNull = false;
      FBound = true;
    } else {
      WriteBlobText(VarToStr(value), false);
    }
    return;
  }
  if (FDataType == ftUnknown) FDataType = FieldTypeOfValue(value.VarType());
  StoreValue(value);
}

void TDAParam::AssignField(const TField& field) {
  SetDataType(field.DataType());
  if (IsBlob()) {
    if (field.IsNull()) return Clear();
    if (field.DataType() == ftBlob) {
      FParamObject->SetAsBytes(static_cast<const TBlobField&>(field).AsBytes());
      FNull = false;
      FBound = true;
    } else {
      WriteBlobText(field.AsString(), false);
    }
    return;
  }
  StoreValue(field.AsVariant());
}

bool TDAParam::IsNull() const {
  if (IsBlob()) return FParamObject->IsEmpty();
  return FNull || FData.IsEmptyOrNull();
}

void TDAParam::Clear() {
  if (IsBlob()) return FParamObject->Clear();
  FData = Variant();
  FNull = true;
}

UString TDAParam::GetAsString() const {
  if (IsBlob()) return FParamObject->AsString();
  if (IsNull()) return UString();
  if (FDataType == ftDate || FDataType == ftDateTime) return DateToStr(FData.AsDateTime());
  return FData.AsString();
}

void TDAParam::SetAsString(const UString& value) {
  if (IsBlob()) return WriteBlobText(value, false);
  StoreTyped(FDataType == ftFixedWideChar ? ftFixedWideChar : ftWideString, Variant(value));
}

std::string TDAParam::GetAsAnsiString() const {
  if (IsBlob()) return FParamObject->AsAnsiString();
  if (IsNull()) return std::string();
  return FData.AsAnsiString();
}

void TDAParam::SetAsAnsiString(const UString& value) {
  if (IsBlob()) return WriteBlobText(value, true);
  if (FDataType == ftWideString || FDataType == ftFixedWideChar) return SetAsWideString(value);
  StoreTyped(FDataType == ftFixedChar ? ftFixedChar : ftString, Variant::FromAnsi(Utf16ToAnsi(value)));
}

int32_t TDAParam::GetAsInteger() const {
  return IsNull() ? 0 : FData.AsInteger();
}

int64_t TDAParam::GetAsLargeInt() const {
  return IsNull() ? 0 : FData.AsInt64();
}

double TDAParam::GetAsFloat() const {
  return IsNull() ? 0 : FData.AsFloat();
}

void TDAParam::AssignValue(const TDAParam& source) {
  SetDataType(source.FDataType);
  FData = source.FData;
  FNull = source.FNull;
  FBound = source.FBound;
  if (FParamType == ptUnknown) FParamType = source.FParamType;
  FSize = source.FSize;
  FParamObject = source.FParamObject;
}

void TDAParam::WriteParamDesc(TParamDesc& desc, uint16_t dataType, bool withValue,
                              const TParamWriteSettings& settings) const {
  desc.SetName(FName);
  desc.SetDataType(dataType);
  desc.SetSubDataType(FDataType == ftSingle && FSubDataType == 0 ? 1 : FSubDataType);
  desc.SetNational(GetNational());
  desc.SetParamType(static_cast<TParamDirection>(FParamType));
  desc.SetIsBound(FBound);

  int32_t size = FSize;
  const bool input = FParamType == ptInput || (FParamType == ptUnknown && !settings.InOutParamsSupported);
  if (size == 0 && input && IsTextOrBytesType(FDataType)) {
    if (FData.VarType() == varBytes) size = static_cast<int32_t>(FData.AsBytes().size());
    else if (FData.IsText()) size = static_cast<int32_t>(FData.AsAnsiString().size());
  }
  if (size == 0) size = settings.DefaultParamSize;
  desc.SetSize(size);

  if (withValue && IsBlob()) {
    desc.SetObject(FParamObject.Get());
    if (IsNull()) desc.SetNull(true);
  } else if (withValue && (FParamType == ptUnknown || FParamType == ptInput || FParamType == ptInputOutput)) {
    Variant value = FData;
    if (FDataType == ftDate && !IsNull()) value = Variant::FromDate(DateOf(FData.AsDateTime()));
    if ((dataType == mtBytes || dataType == mtVarBytes) && FData.IsText())
      value = Variant::FromBytes(FData.AsAnsiString());
    desc.SetValue(value);
    if (IsNull() && !desc.GetNull()) desc.SetNull(true);
  }
  desc.SetConvertEOL(settings.ConvertEOL);
}

// --- TDAParams ------------------------------------------------------------------

TDAParams::TDAParams() = default;

TDAParams::~TDAParams() = default;

std::unique_ptr<TDAParam> TDAParams::CreateParam(UString name) const {
  return std::make_unique<TDAParam>(std::move(name));
}

TDAParam* TDAParams::ParamByName(UStringView name) const {
  TDAParam* param = FindParam(name);
  if (!param) throw EDatabaseError(Format(u"Parameter '%s' not found", {name}));
  return param;
}

void TDAParams::AssignValues(const TDAParams& source) {
  for (int i = 0; i < source.Count(); ++i) {
    const TDAParam* item = source.Items(i);
    if (TDAParam* param = FindParam(item->GetName())) param->AssignValue(*item);
  }
}

void TDAParams::RebuildFromParamDescs(const TParamDescs& descs, TParamFieldTypeMap fieldTypeMap,
                                      std::vector<TDAParam*>* paramRefs) {
  TDAParams before;
  before.Swap(*this);
  if (paramRefs) paramRefs->clear();
  for (int i = 0; i < descs.Count(); ++i) {
    const TParamDesc* desc = descs.Items(i);
    TDAParam* param = FindParam(desc->GetName());
    if (!param) {
      param = Add(desc->GetName());
      param->SetDataType(fieldTypeMap(desc->GetDataType()));
      param->SetParamType(static_cast<TParamType>(desc->GetParamType()));
      param->SetSize(desc->GetSize());
    }
    if (paramRefs) paramRefs->push_back(param);
  }
  AssignValues(before);
}

void TDAParams::WriteParamDescs(TParamDescs& descs, TParamDataTypeMap dataTypeMap, bool withValues,
                                const TParamWriteSettings& settings) const {
  for (int i = 0; i < descs.Count(); ++i) {
    TParamDesc* desc = descs.Items(i);
    if (const TDAParam* param = FindParam(desc->GetName()))
      param->WriteParamDesc(*desc, dataTypeMap(param->GetDataType()), withValues, settings);
  }
}

// --- TMacros -------------------------------------------------------------------

template <typename Found>
void TMacros::ForEachMacro(const UString& sql, TParserClass lexer, Found found) const {
  if (sql.find(MacroChar) == UString::npos) return;
  const std::unique_ptr<TParser> made = (lexer ? lexer : FParserClass)(sql);
  TParser& parser = *made;
  parser.SetOmitBlank(false);
  parser.SetUppered(false);
  parser.SetQuotedString(true);
  UString lexem;
  for (int code; (code = parser.GetNext(lexem)) != lkEnd;) {
    if (code != lkSymbol || lexem.size() != 1 || lexem[0] != MacroChar) continue;
    const auto ampersand = static_cast<size_t>(parser.LexemPos());
    code = parser.GetNext(lexem);
    // "&&" is MySQL's AND (a&&b): neither of its two characters starts a macro.
    if (code == lkSymbol && lexem.size() == 1 && lexem[0] == MacroChar) continue;
    const bool isName = code == lkIdent || (code > 0 && parser.KeywordLexems().Find(lexem));
    if (!isName) {
      parser.Back();  // the next lexeme may start a macro of its own
      continue;
    }
    found(ampersand, static_cast<size_t>(parser.CurrPos()), lexem);
  }
}

void TMacros::Scan(const UString& sql) {
  TMacros found;
  found.SetParserClass(FParserClass);
  ForEachMacro(sql, nullptr, [&](size_t, size_t, const UString& name) {
    if (found.FindMacro(name)) return;
    TMacro* macro = found.Add(std::make_unique<TMacro>(name));
    if (const TMacro* old = FindMacro(name)) {
      macro->SetValue(old->GetValue());
      macro->SetActive(old->GetActive());
    }
  });
  Swap(found);
}

UString TMacros::Expand(const UString& sql, TParserClass lexer) const {
  UString out;
  size_t done = 0;
  ForEachMacro(sql, lexer, [&](size_t ampersand, size_t end, const UString& name) {
    const TMacro* macro = FindMacro(name);
    if (!macro) return;
    out.append(sql, done, ampersand - done);
    if (macro->GetActive()) out += macro->GetValue();
    done = end;
  });
  if (done == 0) return sql;
  out.append(sql, done);
  return out;
}

}  // namespace vix
