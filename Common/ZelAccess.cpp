#include "Common/ZelAccess.h"

#include <utility>

#include "rtl/SysUtils.h"

namespace vix {

void ListIndexError(int index) {
  throw Exception(Format(u"List index out of bounds (%d)", {index}));
}

// --- TParamDesc ------------------------------------------------------------------

TParamDesc::~TParamDesc() = default;

void TParamDesc::SetValue(const Variant& value) {
  FData = value;
  FIsNull = value.IsEmptyOrNull();
}

void TParamDesc::SetNull(bool value) {
  FIsNull = value;
  if (value && FData.VarType() != varObject) FData = Variant::Null();
}

void TParamDesc::SetObject(TSharedObject* value) {
  FData = Variant::FromObject(value);
  FIsNull = value == nullptr;
}

TSharedObject* TParamDesc::GetObject() const {
  return FData.VarType() == varObject ? FData.AsObject() : nullptr;
}

// --- TZelCommand -----------------------------------------------------------------

TZelCommand::TZelCommand() = default;

TZelCommand::~TZelCommand() = default;

TParserClass TZelCommand::GetParserClass() const {
  return &NewParser<TSQLParser>;
}

TParamDescClass TZelCommand::GetParamDescType() const {
  return [] { return std::make_unique<TParamDesc>(); };
}

TParamDesc* TZelCommand::AddParam() {
  return FParams.Add(GetParamDescType()());
}

void TZelCommand::SetSQL(const UString& value) {
  if (value == FUserSQL) return;
  UString sql = FDisableParamScan ? value : ParseSQL(value, &FParams, true, UString());
  FSQL = std::move(sql);
  FUserSQL = value;
}

void TZelCommand::SetScanParams(bool value) {
  if (value && !FScanParams && !FUserSQL.empty()) FSQL = ParseSQL(FUserSQL, &FParams, true, UString());
  FScanParams = value;
}

UString TZelCommand::ParseSQL(const UString& sql, TParamDescs* params, bool /*replaceAll*/,
                              const UString& renamePrefix) {
  const char16_t leftQuote = LeftQuote();
  const char16_t rightQuote = RightQuote();
  UString out;
  out.reserve(sql.size() + sql.size() / 2);
  std::unique_ptr<TParser> parser = GetParserClass()(sql);
  parser->SetOmitBlank(false);
  parser->SetOmitComment(true);
  parser->SetQuotedString(true);
  parser->SetDecSeparator(u'.');
  parser->ToBegin();

  TParamDescs found;
  size_t done = 0;  // the source text up to here is in `out`
  while (parser->ToLexem(u":")) {
    const auto colon = static_cast<size_t>(parser->LexemPos());
    out.append(sql, done, colon - done);
    ScanParamAfterColon(out, *parser, params ? &found : nullptr, leftQuote, rightQuote, renamePrefix);
    done = static_cast<size_t>(parser->CurrPos());
  }
  out.append(sql, done);
  if (params) params->Swap(found);
  return out;
}

void TZelCommand::ScanParamAfterColon(UString& builder, TParser& parser, TParamDescs* params, char16_t leftQuote,
                                      char16_t rightQuote, const UString& renamePrefix) {
  const auto colon = static_cast<size_t>(parser.LexemPos());
  // A lexeme that does not start where the previous one ended had a comment
  // skipped before it: no parameter then.
  int64_t expected = parser.CurrPos();
  UString lexem;
  int code = parser.GetNext(lexem);
  bool adjacent = parser.LexemPos() == expected;
  bool at = false;
  if (adjacent && code != lkString && lexem == u"@") {
    at = true;
    expected = parser.CurrPos();
    code = parser.GetNext(lexem);
    adjacent = parser.LexemPos() == expected;
  }
  const bool isName =
      adjacent && (code == lkIdent || code == lkNumber || (code > 0 && parser.KeywordLexems().Find(lexem)));
  if ((!params && renamePrefix.empty()) || !isName) {
    builder.append(parser.Text(), colon, static_cast<size_t>(parser.CurrPos()) - colon);
    return;
  }
  UString name = at ? u"@" + lexem : std::move(lexem);
  if (name.size() >= 2 && name.front() == leftQuote && name.back() == rightQuote)
    name = name.substr(1, name.size() - 2);
  if (params) {
    params->Add(GetParamDescType()())->SetName(std::move(name));
    builder += u'?';
  } else {
    builder += renamePrefix;
    builder += name;
  }
}

}  // namespace vix
