// The filter expression language: lexer, patterns, parse, evaluation, and the
// record storage's omission of records.
#include "Common/MemFilter.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "Common/MemDS.h"
#include "Common/MemData.h"
#include "rtl/FormatSettings.h"

namespace vix {

namespace {

const UString kIllegalFilter = u"Illegal filter expression";

// Nesting of brackets and NOT beyond this is refused (the parse and the
// evaluation recurse on it).
constexpr int kMaxNesting = 200;

bool IsNameStart(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80;
}

bool IsNamePart(char16_t c) {
  return IsNameStart(c) || (c >= u'0' && c <= u'9');
}

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

struct TKeyword {
  const char16_t* Text;
  int Code;
};

constexpr TKeyword kKeywords[] = {{u"AND", bkAnd}, {u"FALSE", bkFalse}, {u"IS", bkIs}, {u"LIKE", bkLike},
                                  {u"NOT", bkNot}, {u"NULL", bkNull},   {u"OR", bkOr}, {u"TRUE", bkTrue}};

bool IsStar(char16_t c) {
  return c == u'*' || c == u'%';
}

// Whether `segment` ("_" matching any one unit) matches the text at `pos`.
inline bool SegmentAt(TWideText text, size_t pos, std::u16string_view segment, bool upper) {
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == u'_') continue;
    const char16_t c = upper ? UpCaseChar(text.At(pos + i)) : text.At(pos + i);
    if (c != segment[i]) return false;
  }
  return true;
}

constexpr size_t kNotFound = SIZE_MAX;

// The leftmost place from `pos` on where `segment` lies within the text's
// first `end` units, or kNotFound.
size_t FindSegment(TWideText text, size_t pos, size_t end, std::u16string_view segment, bool upper) {
  // Candidates by one unit of the segment that is not "_", then the rest.
  size_t anchor = 0;
  while (anchor < segment.size() && segment[anchor] == u'_') ++anchor;
  if (anchor == segment.size()) return pos + segment.size() <= end ? pos : kNotFound;
  const char16_t wanted = segment[anchor];
  for (; pos + segment.size() <= end; ++pos) {
    const char16_t c = text.At(pos + anchor);
    if ((upper ? UpCaseChar(c) : c) == wanted && SegmentAt(text, pos, segment, upper)) return pos;
  }
  return kNotFound;
}

// The pattern match over a text in place; `upper`: the text's units are
// upper-cased as they are read (the pattern is upper-cased already).
bool MatchText(TWideText text, std::u16string_view pattern, bool upper) {
  size_t star = pattern.find_first_of(u"*%");
  if (star == std::u16string_view::npos) return text.N == pattern.size() && SegmentAt(text, 0, pattern, upper);
  const std::u16string_view head = pattern.substr(0, star);
  if (head.size() > text.N || !SegmentAt(text, 0, head, upper)) return false;
  size_t lastStar = pattern.find_last_of(u"*%");
  const std::u16string_view tail = pattern.substr(lastStar + 1);
  if (tail.size() > text.N - head.size() || !SegmentAt(text, text.N - tail.size(), tail, upper)) return false;
  size_t pos = head.size();
  const size_t end = text.N - tail.size();
  // The pieces between the first and the last wildcard, each placed once at
  // its leftmost place.
  while (star < lastStar) {
    size_t next = star + 1;
    while (next < lastStar && !IsStar(pattern[next])) ++next;
    const std::u16string_view piece = pattern.substr(star + 1, next - star - 1);
    star = next;
    if (piece.empty()) continue;
    pos = FindSegment(text, pos, end, piece, upper);
    if (pos == kNotFound) return false;
    pos += piece.size();
  }
  return true;
}

UString UpperText(UString text) {
  for (char16_t& c : text) c = UpCaseChar(c);
  return text;
}

}  // namespace

// --- lexer -----------------------------------------------------------------------

int TBoolParser::GetNext(UString& lexem) {
  lexem.clear();
  while (FPos < FText.size() && FText[FPos] <= u' ') ++FPos;
  if (FPos >= FText.size()) return lkEnd;
  const char16_t c = FText[FPos];
  if (c == u'\'' || c == u'"') {
    ++FPos;
    for (;;) {
      if (FPos >= FText.size()) throw EDatabaseError(UString(FError));
      if (FText[FPos] == c) {
        if (FPos + 1 < FText.size() && FText[FPos + 1] == c) {
          lexem.push_back(c);
          FPos += 2;
          continue;
        }
        ++FPos;
        return lkString;
      }
      lexem.push_back(FText[FPos++]);
    }
  }
  if (IsDigit(c) || (c == u'.' && FPos + 1 < FText.size() && IsDigit(FText[FPos + 1]))) {
    const size_t start = FPos;
    while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    if (FPos < FText.size() && FText[FPos] == u'.') {
      ++FPos;
      while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    }
    if (FPos < FText.size() && (FText[FPos] == u'e' || FText[FPos] == u'E')) {
      size_t p = FPos + 1;
      if (p < FText.size() && (FText[p] == u'+' || FText[p] == u'-')) ++p;
      if (p < FText.size() && IsDigit(FText[p])) {
        FPos = p;
        while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
      }
    }
    lexem.assign(FText.substr(start, FPos - start));
    return lkNumber;
  }
  if (IsNameStart(c)) {
    const size_t start = FPos;
    while (FPos < FText.size() && IsNamePart(FText[FPos])) ++FPos;
    lexem.assign(FText.substr(start, FPos - start));
    for (const TKeyword& k : kKeywords)
      if (SameText(lexem, k.Text)) {
        lexem = k.Text;
        return k.Code;
      }
    return lkIdent;
  }
  static constexpr std::pair<const char16_t*, int> kSymbols[] = {
      {u">=", bsMoreEqual}, {u"<=", bsLessEqual}, {u"<>", bsNoEqual},    {u"=", bsEqual},
      {u">", bsMore},       {u"<", bsLess},       {u"(", bsLeftParen},   {u")", bsRightParen},
      {u"-", bsMinus},      {u"+", bsPlus},       {u"[", bsLeftBracket}, {u"]", bsRightBracket}};
  for (const auto& [text, code] : kSymbols) {
    const std::u16string_view t(text);
    if (FText.substr(FPos, t.size()) == t) {
      FPos += t.size();
      lexem.assign(t);
      return code;
    }
  }
  lexem.assign(1, c);
  ++FPos;
  return lkSymbol;
}

UString TBoolParser::ReadBracketed() {
  const size_t close = FText.find(u']', FPos);
  const size_t end = close == UStringView::npos ? FText.size() : close;
  UString name(FText.substr(FPos, end - FPos));
  FPos = close == UStringView::npos ? end : end + 1;
  return name;
}

bool MatchPattern(std::u16string_view text, std::u16string_view pattern) {
  return MatchText(TWideText::Of(text), pattern, false);
}

bool HasWildcard(std::u16string_view text) {
  return text.find_first_of(u"*%_") != std::u16string_view::npos;
}

// --- expression nodes ----------------------------------------------------------

struct TExpressionNode {
  TExpressionType NodeType = ntTrue;
  std::unique_ptr<TExpressionNode> LeftOperand;
  std::unique_ptr<TExpressionNode> RightOperand;
  // ntField: the descriptor; Value holds the name. ntValue: the constant.
  const TFieldDesc* FieldDesc = nullptr;
  Variant Value;
  // A comparison of a field with a constant: the constant in the field's
  // type, and the constant as a pattern (as it is, and upper-cased).
  std::unique_ptr<TFieldValue> Constant;
  UString Pattern;
  UString UpperPattern;
  bool PatternHasWildcard = false;
  // A number field against a constant is compared in place: the field's
  // kind and the constant read once.
  TNumberKind NumberKind = nkNone;
  TNumber NumberConstant{};
};

namespace {

class TFilterParser {
 public:
  TFilterParser(const TMemData& data, UStringView text) : FData(data), FLexer(text, kIllegalFilter) { Next(); }

  std::unique_ptr<TExpressionNode> Parse() {
    auto root = Expression(0);
    if (FCode != lkEnd) Illegal();
    return root;
  }

 private:
  [[noreturn]] void Illegal() { throw EDatabaseError(kIllegalFilter); }
  void Next() { FCode = FLexer.GetNext(FLexem); }

  static std::unique_ptr<TExpressionNode> Node(TExpressionType type, std::unique_ptr<TExpressionNode> left = nullptr,
                                               std::unique_ptr<TExpressionNode> right = nullptr) {
    auto node = std::make_unique<TExpressionNode>();
    node->NodeType = type;
    node->LeftOperand = std::move(left);
    node->RightOperand = std::move(right);
    return node;
  }

  std::unique_ptr<TExpressionNode> Expression(int depth) {
    auto left = Term(depth);
    while (FCode == bkOr) {
      Next();
      left = Node(ntOr, std::move(left), Term(depth));
    }
    return left;
  }

  std::unique_ptr<TExpressionNode> Term(int depth) {
    auto left = Factor(depth);
    while (FCode == bkAnd) {
      Next();
      left = Node(ntAnd, std::move(left), Factor(depth));
    }
    return left;
  }

  std::unique_ptr<TExpressionNode> Factor(int depth) {
    if (depth > kMaxNesting) Illegal();
    if (FCode == bsLeftParen) {
      Next();
      auto inner = Expression(depth + 1);
      if (FCode != bsRightParen) Illegal();
      Next();
      return inner;
    }
    if (FCode == bkNot) {
      Next();
      return Node(ntNot, Factor(depth + 1));
    }
    if (FCode == bkTrue || FCode == bkFalse) {
      // A boolean constant alone, unless a comparison follows it.
      const size_t mark = FLexer.Position();
      const int code = FCode;
      Next();
      if (!IsOperator(FCode)) return Node(code == bkTrue ? ntTrue : ntFalse);
      FLexer.SetPosition(mark);
      FCode = code;
      FLexem = code == bkTrue ? u"TRUE" : u"FALSE";
    }
    auto left = Operand();
    TExpressionType op;
    switch (FCode) {
      case bsEqual: op = ntEqual; break;
      case bsMore: op = ntMore; break;
      case bsLess: op = ntLess; break;
      case bsMoreEqual: op = ntMoreEqual; break;
      case bsLessEqual: op = ntLessEqual; break;
      case bsNoEqual: op = ntNoEqual; break;
      case bkLike: op = ntLike; break;
      case bkNot:
        Next();
        if (FCode != bkLike) Illegal();
        op = ntNotLike;
        break;
      case bkIs: {
        Next();
        op = ntEqual;
        if (FCode == bkNot) {
          op = ntNoEqual;
          Next();
        }
        if (FCode != bkNull) Illegal();
        Next();
        auto nullValue = Node(ntValue);
        nullValue->Value = Variant::Null();
        return Comparison(op, std::move(left), std::move(nullValue));
      }
      default: Illegal();
    }
    Next();
    return Comparison(op, std::move(left), Operand());
  }

  static bool IsOperator(int code) {
    return (code >= bsEqual && code <= bsNoEqual) || code == bkLike || code == bkNot || code == bkIs;
  }

  std::unique_ptr<TExpressionNode> Operand() {
    switch (FCode) {
      case lkIdent: {
        UString name = FLexem;
        Next();
        // A qualified name: Addr.City.
        while (FCode == lkSymbol && FLexem == u".") {
          Next();
          if (FCode != lkIdent) Illegal();
          name += u"." + FLexem;
          Next();
        }
        return FieldNode(name);
      }
      case bsLeftBracket: {
        UString name = FLexer.ReadBracketed();
        Next();
        return FieldNode(name);
      }
      case lkString: return ValueNode(Variant(FLexem));
      case lkNumber: return ValueNode(Number(FLexem));
      case bsMinus:
      case bsPlus: {
        const bool minus = FCode == bsMinus;
        Next();
        if (FCode != lkNumber) Illegal();
        const Variant number = Number(FLexem);
        if (number.VarType() == varInt64) return ValueNode(Variant(minus ? -number.AsInt64() : number.AsInt64()));
        return ValueNode(Variant(minus ? -number.AsFloat() : number.AsFloat()));
      }
      case bkTrue: return ValueNode(Variant(true));
      case bkFalse: return ValueNode(Variant(false));
      case bkNull: return ValueNode(Variant::Null());
      default: Illegal();
    }
  }

  static Variant Number(const UString& text) {
    int64_t i;
    if (TryStrToInt64(text, i)) return Variant(i);
    double d;
    if (!TryStrToFloat(text, d, InvariantFormatSettings())) throw EDatabaseError(kIllegalFilter);
    return Variant(d);
  }

  std::unique_ptr<TExpressionNode> FieldNode(const UString& name) {
    const TFieldDesc* desc = FData.Fields().FindField(name);
    if (!desc) throw EDatabaseError(Format(u"Field %s not found", {name}));
    auto node = Node(ntField);
    node->FieldDesc = desc;
    node->Value = Variant(name);
    return node;
  }

  std::unique_ptr<TExpressionNode> ValueNode(Variant value) {
    Next();
    auto node = Node(ntValue);
    node->Value = std::move(value);
    return node;
  }

  // A comparison node; a constant compared with a field is prepared for it.
  std::unique_ptr<TExpressionNode> Comparison(TExpressionType op, std::unique_ptr<TExpressionNode> left,
                                              std::unique_ptr<TExpressionNode> right) {
    auto node = Node(op, std::move(left), std::move(right));
    TExpressionNode* field = nullptr;
    TExpressionNode* constant = nullptr;
    if (node->LeftOperand->NodeType == ntField && node->RightOperand->NodeType == ntValue) {
      field = node->LeftOperand.get();
      constant = node->RightOperand.get();
    } else if (node->RightOperand->NodeType == ntField && node->LeftOperand->NodeType == ntValue) {
      field = node->RightOperand.get();
      constant = node->LeftOperand.get();
    }
    if (!constant || constant->Value.IsNull()) return node;
    if (constant->Value.IsText() || op == ntLike || op == ntNotLike) {
      node->Pattern = constant->Value.AsString();
      node->UpperPattern = UpperText(node->Pattern);
      node->PatternHasWildcard = HasWildcard(node->Pattern);
    }
    // Only LIKE matches the pattern alone; "=" and "<>" may too (a partial
    // compare) but need the value when it is off, and every other
    // comparison orders the field against the constant, wildcards or not.
    if (op != ntLike && op != ntNotLike) {
      node->Constant = std::make_unique<TFieldValue>();
      FData.MakeFieldValue(*field->FieldDesc, constant->Value, *node->Constant);
      const TDataType type = field->FieldDesc->FDataType;
      if (!node->Constant->Null && NumberKindOf(type) != nkNone) {
        node->NumberKind = NumberKindOf(type);
        node->NumberConstant = LoadNumber(type, node->Constant->Fixed);
      }
    }
    return node;
  }

  const TMemData& FData;
  TBoolParser FLexer;
  int FCode = lkEnd;
  UString FLexem;
};

}  // namespace

// --- evaluation ----------------------------------------------------------------

namespace {

class TFilterEvaluator {
 public:
  explicit TFilterEvaluator(const TMemData& data, const uint8_t* recBuf) : FData(data), FRec(recBuf) {}

  bool Evaluate(const TExpressionNode& node) const {
    switch (node.NodeType) {
      case ntAnd:
      case ntOr: return Chain(node);
      case ntNot: return !Evaluate(*node.LeftOperand);
      case ntTrue: return true;
      case ntFalse: return false;
      default: return Compare(node);
    }
  }

 private:
  // A left-grouped run of AND (or OR) nodes, walked without recursing on its
  // length; the right operands are evaluated only while they can change the result.
  bool Chain(const TExpressionNode& node) const {
    // Short runs recurse; long ones are walked from a list of their operands.
    const bool isAnd = node.NodeType == ntAnd;
    const TExpressionNode* left = node.LeftOperand.get();
    if (left->NodeType != node.NodeType || left->LeftOperand->NodeType != node.NodeType) {
      const bool first = Evaluate(*left);
      return first != isAnd ? first : Evaluate(*node.RightOperand);
    }
    std::vector<const TExpressionNode*> operands;
    const TExpressionNode* n = &node;
    for (; n->NodeType == node.NodeType; n = n->LeftOperand.get()) operands.push_back(n->RightOperand.get());
    bool result = Evaluate(*n);
    for (auto it = operands.rbegin(); it != operands.rend() && result == isAnd; ++it) result = Evaluate(**it);
    return result;
  }

  int Flags() const { return FData.FFilterCaseInsensitive ? cfCaseInsensitive : 0; }

  bool Ordered(TExpressionType op, int c) const {
    switch (op) {
      case ntEqual: return c == 0;
      case ntMore: return c > 0;
      case ntLess: return c < 0;
      case ntMoreEqual: return c >= 0;
      case ntLessEqual: return c <= 0;
      default: return c != 0;
    }
  }

  bool Compare(const TExpressionNode& node) const {
    const TExpressionType op = node.NodeType;
    const bool like = op == ntLike || op == ntNotLike;
    const bool negate = op == ntNoEqual || op == ntNotLike;
    const TExpressionNode& l = *node.LeftOperand;
    const TExpressionNode& r = *node.RightOperand;
    const TExpressionNode* fieldNode = l.NodeType == ntField ? &l : (r.NodeType == ntField ? &r : nullptr);
    const TExpressionNode* valueNode = l.NodeType == ntValue ? &l : (r.NodeType == ntValue ? &r : nullptr);

    if (fieldNode && valueNode) {
      // A field and a constant.
      const TFieldDesc& f = *fieldNode->FieldDesc;
      if (node.NumberKind != nkNone) {
        // A NULL field equals only NULL, and orders nothing.
        if (FRec[FData.DataSize() + f.FFieldNo - 1] == 1) return negate;
        int c = CompareNumbers(node.NumberKind, LoadNumber(f.FDataType, FRec + f.FOffset), node.NumberConstant);
        if (&l != fieldNode) c = -c;
        return Ordered(op, c);
      }
      TFieldValue& v = FValue ? *FValue : FValue.emplace();
      FData.ReadFieldValue(f, FRec, v);
      const bool constNull = valueNode->Value.IsNull();
      if (v.Null || constNull) {
        if (!(op == ntEqual || op == ntNoEqual || like)) return false;
        return (v.Null && constNull) != negate;
      }
      const bool fieldLeft = &l == fieldNode;
      const bool upper = FData.FFilterCaseInsensitive;
      const bool patternEqual = (op == ntEqual || op == ntNoEqual) && fieldLeft && node.PatternHasWildcard &&
                                !FData.FFilterNoPartialCompare && IsTextDataType(f.FDataType);
      if (like || patternEqual) {
        const UString& constantText = upper ? node.UpperPattern : node.Pattern;
        bool matched;
        if (!fieldLeft) {
          // 'text' LIKE Field: the field's value is the pattern.
          UString pattern = v.AsText(f.FDataType);
          if (upper) pattern = UpperText(std::move(pattern));
          matched = MatchPattern(constantText, pattern);
        } else if (f.FDataType == mtWideString || f.FDataType == mtExtWideString || f.FDataType == mtWideMemo) {
          matched = MatchText(v.Wide, constantText, upper);
        } else {
          const UString text = v.AsText(f.FDataType);
          matched = MatchText(TWideText::Of(text), constantText, upper);
        }
        return matched != negate;
      }
      int c = FData.CompareFieldValue(f, v, *node.Constant, Flags());
      if (!fieldLeft) c = -c;
      return Ordered(op, c);
    }

    // Two fields, or two constants: by the variant order.
    const Variant a = Operand(l), b = Operand(r);
    if (a.IsNull() || b.IsNull()) {
      if (!(op == ntEqual || op == ntNoEqual || like)) return false;
      return (a.IsNull() && b.IsNull()) != negate;
    }
    if (like) {
      UString text = a.AsString(), pattern = b.AsString();
      if (FData.FFilterCaseInsensitive) {
        text = UpperText(std::move(text));
        pattern = UpperText(std::move(pattern));
      }
      return MatchPattern(text, pattern) != negate;
    }
    int c;
    if (l.NodeType == ntField && r.NodeType == ntField && l.FieldDesc->FDataType == r.FieldDesc->FDataType &&
        l.FieldDesc->FDataType != mtVariant) {
      TFieldValue x, y;
      FData.ReadFieldValue(*l.FieldDesc, FRec, x);
      FData.ReadFieldValue(*r.FieldDesc, FRec, y);
      c = FData.CompareFieldValue(*l.FieldDesc, x, y, Flags());
    } else {
      c = CompareVariants(a, b, Flags());
    }
    return Ordered(op, c);
  }

  Variant Operand(const TExpressionNode& node) const {
    if (node.NodeType == ntValue) return node.Value;
    return FData.GetFieldAsVariant(node.FieldDesc->FFieldNo, FRec);
  }

  const TMemData& FData;
  const uint8_t* FRec;
  // Made at the first field read: most records of a number comparison need none.
  mutable std::optional<TFieldValue> FValue;
};

}  // namespace

TFilterExpression::TFilterExpression(const TMemData& data, UStringView text) : FData(data) {
  FRoot = TFilterParser(data, text).Parse();
  // The fields' slots and null flags, a few of them, for Prefetch.
  std::vector<const TExpressionNode*> pending{FRoot.get()};
  while (!pending.empty() && FReadOffsets.size() < 8) {
    const TExpressionNode* node = pending.back();
    pending.pop_back();
    if (node->LeftOperand) pending.push_back(node->LeftOperand.get());
    if (node->RightOperand) pending.push_back(node->RightOperand.get());
    if (node->NodeType != ntField) continue;
    for (const int offset : {node->FieldDesc->FOffset, data.DataSize() + node->FieldDesc->FFieldNo - 1})
      if (offset >= 0 && std::find(FReadOffsets.begin(), FReadOffsets.end(), offset) == FReadOffsets.end())
        FReadOffsets.push_back(static_cast<uint32_t>(offset));
  }
}

TFilterExpression::~TFilterExpression() = default;

bool TFilterExpression::Evaluate(const uint8_t* recBuf) const {
  return TFilterEvaluator(FData, recBuf).Evaluate(*FRoot);
}

// --- the storage's filter --------------------------------------------------------

void TMemData::SetFilterText(const UString& value) {
  if (FFields.Count() == 0) {
    FFilterText = value;
    FFilterExpression.reset();
    return;
  }
  std::unique_ptr<TFilterExpression> expression;
  if (!Trim(value).empty()) expression = std::make_unique<TFilterExpression>(*this, value);
  FFilterExpression = std::move(expression);
  FFilterText = value;
}

void TMemData::SetFilterItemTypes(uint8_t value) {
  if (value == FFilterItemTypes) return;
  FFilterItemTypes = value;
  FilterUpdated();
}

bool TMemData::HasFilter() const {
  return FFilterFunc || FFilterMDFunc || FFilterExpression || (FCachedUpdates && FFilterItemTypes != 0x0F);
}

bool TMemData::OmitRecord(TItemHeader* item) {
  if (!item) return true;
  if (item->FilterResult != fsNotChecked) return item->FilterResult == fsOmitted;
  bool omitted = false;
  if (FCachedUpdates && !(FFilterItemTypes & (1u << item->Status))) {
    omitted = true;
  } else {
    const uint8_t* rec = TBlockManager::GetRecordPtr(item);
    omitted = (FFilterFunc && !FFilterFunc(rec)) || (FFilterMDFunc && !FFilterMDFunc(rec)) ||
              (FFilterExpression && !FFilterExpression->Evaluate(rec));
  }
  item->FilterResult = omitted ? fsOmitted : fsNotOmitted;
  return omitted;
}

void TMemData::FilterUpdated() {
  // One walk: each answer dropped, asked again, and the record numbered.
  int32_t shown = 0;
  const auto visit = [&](TItemHeader* i) {
    i->FilterResult = fsNotChecked;
    i->Order = IsVisible(i) ? ++shown : 0;
  };
  if (FItemOrderValid && FFilterExpression) {
    // The records lie scattered: the ones a few steps ahead are asked for
    // while this one is judged.
    constexpr size_t kAhead = 16;
    const size_t n = FItemOrder.size();
    for (size_t k = 0; k < n; ++k) {
      if (k + kAhead < n) {
        TItemHeader* ahead = FItemOrder[k + kAhead];
        __builtin_prefetch(ahead);
        FFilterExpression->Prefetch(TBlockManager::GetRecordPtr(ahead));
      }
      visit(FItemOrder[k]);
    }
  } else {
    ForEachItem(visit);
  }
  FRecordCount = shown;
  FRecordNoCacheValid = false;
  FEOF = FRecordCount == 0;
}

// --- the dataset's filter --------------------------------------------------------

void TMemDataSet::ApplyFilter(bool withHandler) {
  if (!FData) return;
  // The text first: an expression that fails changes nothing.
  FData->SetFilterText(FFiltered ? FFilter : UString());
  FData->FFilterCaseInsensitive = (FFilterOptions & foCaseInsensitive) != 0;
  FData->FFilterNoPartialCompare = (FFilterOptions & foNoPartialCompare) != 0;
  FData->FFilterFunc = nullptr;
  if (FFiltered && FOnFilterRecord && withHandler) {
    FData->FFilterFunc = [this](const uint8_t* recBuf) {
      bool accept = true;
      const uint8_t* saved = FReadBuffer;
      FReadBuffer = recBuf;
      try {
        FOnFilterRecord(*this, accept);
      } catch (...) {
        FReadBuffer = saved;
        throw;
      }
      FReadBuffer = saved;
      return accept;
    };
  }
  FData->SetFilterItemTypes(FUpdateRecordTypes & 0x0F);
}

namespace {

// Sets a dataset property and applies the filter; when that fails, the
// property goes back and the storage keeps its previous expression.
template <typename T, typename Apply>
void ChangeFilterSetting(T& property, T value, Apply apply) {
  T previous = std::move(property);
  property = std::move(value);
  try {
    apply();
  } catch (...) {
    property = std::move(previous);
    throw;
  }
}

}  // namespace

void TMemDataSet::SetFilter(const UString& value) {
  if (value == FFilter) return;
  if (!Active()) {
    FFilter = value;
    return;
  }
  // A new filter of a filtered dataset goes to the first record: the links
  // may refuse before anything changes.
  if (FFiltered) CheckLeaveRecord();
  else CheckBrowseMode();
  ChangeFilterSetting(FFilter, value, [this] {
    if (FFiltered) FData->SetFilterText(FFilter);
  });
  if (FFiltered) {
    FData->FilterUpdated();
    First();
  }
}

void TMemDataSet::SetFiltered(bool value) {
  if (value == FFiltered) return;
  if (!Active()) {
    FFiltered = value;
    return;
  }
  CheckLeaveRecord();
  ChangeFilterSetting(FFiltered, value, [this] { ApplyFilter(); });
  FData->FilterUpdated();
  First();
}

void TMemDataSet::SetFilterOptions(TFilterOptions value) {
  if (value == FFilterOptions) return;
  if (Active()) FFiltered ? CheckLeaveRecord() : CheckBrowseMode();
  FFilterOptions = value;
  if (!Active()) return;
  ApplyFilter();
  if (FFiltered) {
    FData->FilterUpdated();
    First();
  }
}

void TMemDataSet::SetOnFilterRecord(TFilterRecordEvent value) {
  if (Active()) CheckLeaveRecord();
  FOnFilterRecord = std::move(value);
  if (!Active()) return;
  ApplyFilter();
  FData->FilterUpdated();
  First();
}

void TMemDataSet::SetUpdateRecordTypes(TUpdateRecordTypes value) {
  if (Active()) CheckBrowseMode();
  FUpdateRecordTypes = value;
  if (!Active()) return;
  FData->SetFilterItemTypes(value & 0x0F);
  Resync();
}

}  // namespace vix
