#include "Common/DASQLText.h"

#include <memory>
#include <utility>
#include <vector>

#include "Common/DBTypes.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

// Words that start a clause of a SELECT at depth 0, and the set operators.
enum TClauseWord : uint8_t {
  cwNone,
  cwFrom,
  cwWhere,
  cwStop,      // a clause that must follow WHERE
  cwInto,      // a stop only after FROM
  cwFor,       // a stop unless FOR SYSTEM_TIME
  cwCombine,   // UNION, INTERSECT, EXCEPT, MINUS
  cwSemicolon  // the statement's end
};

TClauseWord ClauseWordOf(int code, UStringView text) {
  if (code == lkString || code == lkComment || code == lkNumber || code == lkBlank || code == lkEnd) return cwNone;
  if (text == u";") return cwSemicolon;
  if (code == lkSymbol || (code > 0 && code < lxALL)) return cwNone;
  static const struct {
    UStringView Word;
    TClauseWord Kind;
  } kWords[] = {
      {u"FROM", cwFrom},     {u"WHERE", cwWhere},    {u"GROUP", cwStop},        {u"HAVING", cwStop},
      {u"WINDOW", cwStop},   {u"ORDER", cwStop},     {u"LIMIT", cwStop},        {u"OFFSET", cwStop},
      {u"FETCH", cwStop},    {u"PROCEDURE", cwStop}, {u"LOCK", cwStop},         {u"INTO", cwInto},
      {u"FOR", cwFor},       {u"UNION", cwCombine},  {u"INTERSECT", cwCombine}, {u"EXCEPT", cwCombine},
      {u"MINUS", cwCombine},
  };
  for (const auto& w : kWords)
    if (SameText(text, w.Word)) return w.Kind;
  return cwNone;
}

bool IsLineComment(UStringView text) {
  return !(text.size() >= 2 && text[0] == u'/' && text[1] == u'*');
}

// One clause keyword of the main SELECT at depth 0.
struct TMark {
  TClauseWord Kind;
  int64_t Pos;  // the keyword
  int64_t End;  // just after it
};

// What a scan of the whole text found.
struct TQueryScan {
  bool IsSelect = false;   // the text is a SELECT, or WITH ... SELECT
  int64_t SelectEnd = -1;  // just after the SELECT that starts the text; -1: it starts otherwise
  bool Combines = false;   // a set operator at depth 0 after the main SELECT
  std::vector<TMark> Marks;
  // The statement's end: its ";" at depth 0, else the end of the text
  // without the blanks after it.
  int64_t End = 0;
  bool EndsWithSemicolon = false;
  bool MoreAfterEnd = false;         // lexemes other than comments after that ";"
  bool EndAfterLineComment = false;  // the statement's last lexeme is a line comment
};

int64_t RightTrimmedLength(const UString& text) {
  size_t n = text.size();
  while (n > 0 && text[n - 1] <= u' ') --n;
  return static_cast<int64_t>(n);
}

TQueryScan ScanQuery(const UString& sql, TParserClass lexer) {
  TQueryScan scan;
  scan.End = RightTrimmedLength(sql);
  std::unique_ptr<TParser> p = lexer(sql);
  p->SetOmitBlank(true);
  p->SetOmitComment(false);
  p->SetUppered(true);
  p->SetQuotedString(true);

  enum { sFirst, sWith, sSelect } state = sFirst;
  int depth = 0;
  bool ended = false;
  bool seenFrom = false;
  bool prevIsMacroChar = false;
  bool lastIsLineComment = false;
  int pendingFor = -1;  // index of a FOR mark that SYSTEM_TIME may cancel
  UString lexem;
  for (int code; (code = p->GetNext(lexem)) != lkEnd;) {
    if (ended) {
      if (code != lkComment) scan.MoreAfterEnd = true;
      continue;
    }
    if (code == lkComment) {
      lastIsLineComment = IsLineComment(lexem);
      continue;
    }
    lastIsLineComment = false;
    const bool macroBefore = prevIsMacroChar;
    prevIsMacroChar = code == lkSymbol && lexem == u"&";
    if (pendingFor >= 0) {
      if (SameText(lexem, u"SYSTEM_TIME")) scan.Marks.erase(scan.Marks.begin() + pendingFor);
      pendingFor = -1;
    }
    if (code == lkSymbol && lexem == u"(") {
      ++depth;
    } else if (code == lkSymbol && lexem == u")") {
      if (depth > 0) --depth;
    }
    const TClauseWord word = ClauseWordOf(code, lexem);
    if (depth == 0 && word == cwSemicolon) {
      scan.End = p->LexemPos();
      scan.EndsWithSemicolon = true;
      ended = true;
      continue;
    }
    if (state == sFirst) {
      if (code == lxSELECT) {
        state = sSelect;
        scan.IsSelect = true;
        scan.SelectEnd = p->LexemPos() + p->LexemLength();
      } else if (code == lxWITH) {
        state = sWith;
      } else {
        state = sSelect;  // not a query: only the end is looked for
      }
      continue;
    }
    if (state == sWith) {
      if (depth == 0 && code == lxSELECT) {
        state = sSelect;
        scan.IsSelect = true;
      }
      continue;
    }
    if (!scan.IsSelect || depth != 0 || word == cwNone || word == cwSemicolon) continue;
    if (word == cwWhere && macroBefore) continue;
    if (word == cwInto && !seenFrom) continue;
    if (word == cwCombine) scan.Combines = true;
    if (word == cwFrom) seenFrom = true;
    if (word == cwFor) pendingFor = static_cast<int>(scan.Marks.size());
    scan.Marks.push_back({word, p->LexemPos(), p->LexemPos() + p->LexemLength()});
  }
  // A line comment at the very end is the last lexeme before the end.
  scan.EndAfterLineComment = lastIsLineComment;
  return scan;
}

const TMark* FirstMark(const TQueryScan& scan, TClauseWord kind) {
  for (const TMark& m : scan.Marks)
    if (m.Kind == kind) return &m;
  return nullptr;
}

// The first clause after `from` (an offset) that must follow WHERE.
const TMark* StopAfter(const TQueryScan& scan, int64_t from) {
  for (const TMark& m : scan.Marks)
    if (m.Pos >= from && m.Kind != cwFrom && m.Kind != cwWhere) return &m;
  return nullptr;
}

// Where a clause keyword's text starts: after it and one blank.
int64_t ClauseStart(const UString& sql, const TMark& keyword) {
  const int64_t start = keyword.End;
  if (start < static_cast<int64_t>(sql.size()) && sql[static_cast<size_t>(start)] <= u' ') return start + 1;
  return start;
}

void CheckNotCombined(const TQueryScan& scan) {
  if (scan.Combines)
    throw EDatabaseError(u"Cannot add a condition to a query that combines results with UNION, INTERSECT or EXCEPT");
}

// A caller's text, trimmed; true in `lineComment` when it ends in a line
// comment, which only a line feed ends.
UString TrimmedPart(const UString& text, TParserClass lexer, bool& lineComment) {
  UString t = Trim(text);
  lineComment = ScanQuery(t, lexer).EndAfterLineComment;
  return t;
}

// The text ends inside a string, a quoted name or a block comment: nothing
// can be joined after it. Found by reading the text with a word after it,
// which must come out as a word of its own.
void CheckClosedAtEnd(const UString& sql, TParserClass lexer) {
  const UString probe = u"vix_end_probe";
  std::unique_ptr<TParser> p = lexer(sql + u"\n" + probe);
  p->SetOmitComment(false);
  p->SetUppered(false);
  p->SetQuotedString(true);
  int last = lkEnd;
  UString lexem, lastText;
  for (int code; (code = p->GetNext(lexem)) != lkEnd;) {
    last = code;
    lastText = lexem;
  }
  if (last != lkIdent || lastText != probe)
    throw EDatabaseError(u"The query text ends inside a string, a quoted name or a comment");
}

UString Insert(const UString& sql, int64_t pos, const UString& what) {
  UString r = sql;
  r.insert(static_cast<size_t>(pos), what);
  return r;
}

}  // namespace

UString AddWhere(const UString& sql, const UString& condition, TParserClass lexer) {
  bool condComment = false;
  const UString cond = TrimmedPart(condition, lexer, condComment);
  if (cond.empty()) return sql;
  const TQueryScan scan = ScanQuery(sql, lexer);
  if (!scan.IsSelect) throw EDatabaseError(u"Cannot add a condition to a statement that is not a SELECT");
  CheckNotCombined(scan);
  CheckClosedAtEnd(sql, lexer);
  CheckClosedAtEnd(cond, lexer);

  const TMark* where = FirstMark(scan, cwWhere);
  const TMark* stop = StopAfter(scan, where ? where->End : 0);
  const UString afterCond = condComment ? UString(u"\n") : UString();
  if (!where) {
    if (stop) return Insert(sql, stop->Pos, u"\nWHERE " + cond + (condComment ? u"\n" : u" "));
    if (scan.EndsWithSemicolon) return Insert(sql, scan.End, u"\nWHERE " + cond + afterCond);
    return sql.substr(0, static_cast<size_t>(scan.End)) + u"\nWHERE " + cond;
  }
  // The old condition and the new one each in parentheses: an OR in either
  // must not bind across the AND.
  const UString closing = u") AND (" + cond + afterCond + u")";
  UString r = sql;
  if (stop) {
    r.insert(static_cast<size_t>(stop->Pos), closing + u" ");
  } else if (scan.EndsWithSemicolon) {
    r.insert(static_cast<size_t>(scan.End), (scan.EndAfterLineComment ? u"\n" : u"") + closing);
  } else {
    r = r.substr(0, static_cast<size_t>(scan.End)) + (scan.EndAfterLineComment ? u"\n" : u"") + closing;
  }
  r.insert(static_cast<size_t>(ClauseStart(sql, *where)), u"(");
  return r;
}

UString DeleteWhere(const UString& sql, TParserClass lexer) {
  const TQueryScan scan = ScanQuery(sql, lexer);
  const TMark* where = scan.IsSelect ? FirstMark(scan, cwWhere) : nullptr;
  if (!where) return sql;
  if (scan.Combines)
    throw EDatabaseError(
        u"Cannot remove the condition of a query that combines results with UNION, INTERSECT or EXCEPT");
  const TMark* stop = StopAfter(scan, where->End);
  const int64_t cut = stop ? stop->Pos : scan.End;
  return sql.substr(0, static_cast<size_t>(where->Pos)) + sql.substr(static_cast<size_t>(cut));
}

TSQLClauseSpan FindClause(const UString& sql, int keyword, TParserClass lexer) {
  if (keyword != lxFROM && keyword != lxWHERE) throw EDatabaseError(u"Only the FROM and WHERE clauses can be found");
  const TClauseWord kind = keyword == lxFROM ? cwFrom : cwWhere;
  const TQueryScan scan = ScanQuery(sql, lexer);
  TSQLClauseSpan span;
  const TMark* mark = scan.IsSelect ? FirstMark(scan, kind) : nullptr;
  if (!mark) return span;
  if (scan.Combines)
    throw EDatabaseError(u"Cannot take a clause of a query that combines results with UNION, INTERSECT or EXCEPT");
  span.Keyword = mark->Pos;
  span.Start = ClauseStart(sql, *mark);
  span.End = scan.End;
  for (const TMark& m : scan.Marks) {
    if (m.Pos > mark->Pos && m.Kind != kind) {
      span.End = m.Pos;
      break;
    }
  }
  if (span.End < span.Start) span.End = span.Start;
  return span;
}

UString GetClause(const UString& sql, int keyword, TParserClass lexer) {
  const TSQLClauseSpan span = FindClause(sql, keyword, lexer);
  if (!span.Found()) return UString();
  bool lineComment = false;
  UString text = TrimmedPart(sql.substr(static_cast<size_t>(span.Start), static_cast<size_t>(span.End - span.Start)),
                             lexer, lineComment);
  if (lineComment) text += u'\n';
  return text;
}

UString AppendToQuery(const UString& sql, const UString& tail, TParserClass lexer) {
  const TQueryScan scan = ScanQuery(sql, lexer);
  CheckClosedAtEnd(sql, lexer);
  // Text after a ";" that holds more than comments is the caller's: the
  // tail goes after all of it.
  const int64_t end = scan.MoreAfterEnd ? RightTrimmedLength(sql) : scan.End;
  return sql.substr(0, static_cast<size_t>(end)) + u"\n" + tail;
}

namespace {

// A select list that gives one row per row of FROM and WHERE: no DISTINCT,
// and no parenthesis (an aggregate or window function, a subquery).
bool PlainSelectList(const UString& list, TParserClass lexer) {
  std::unique_ptr<TParser> p = lexer(list);
  p->SetOmitBlank(true);
  p->SetOmitComment(true);
  p->SetUppered(true);
  p->SetQuotedString(true);
  UString lexem;
  for (int code; (code = p->GetNext(lexem)) != lkEnd;) {
    if (code == lkSymbol && lexem == u"(") return false;
    if (code != lkString && (SameText(lexem, u"DISTINCT") || SameText(lexem, u"DISTINCTROW"))) return false;
  }
  return true;
}

}  // namespace

UString RecordCountSQL(const UString& sql, TParserClass lexer) {
  const TQueryScan scan = ScanQuery(sql, lexer);
  if (!scan.IsSelect || scan.MoreAfterEnd) return UString();
  try {
    CheckClosedAtEnd(sql, lexer);
  } catch (const EDatabaseError&) {
    return UString();
  }
  const TMark* from = FirstMark(scan, cwFrom);
  bool plain =
      from && scan.SelectEnd >= 0 && !scan.Combines &&
      PlainSelectList(sql.substr(static_cast<size_t>(scan.SelectEnd), static_cast<size_t>(from->Pos - scan.SelectEnd)),
                      lexer);
  const TMark* order = nullptr;
  const TMark* limit = nullptr;  // LIMIT (its OFFSET after it), after ORDER BY if any
  const auto isWord = [&](const TMark& m, UStringView word) {
    return m.Kind == cwStop &&
           SameText(UStringView(sql).substr(static_cast<size_t>(m.Pos), static_cast<size_t>(m.End - m.Pos)), word);
  };
  for (const TMark& m : scan.Marks) {
    if (!plain || m.Kind == cwFrom || m.Kind == cwWhere) continue;
    if (isWord(m, u"ORDER") && !order && !limit) order = &m;
    else if (isWord(m, u"LIMIT") && !limit) limit = &m;
    else if (!limit || !(isWord(m, u"OFFSET") || isWord(m, u"FETCH"))) plain = false;
  }
  if (plain && !limit) {
    const int64_t end = order ? order->Pos : scan.End;
    return u"SELECT COUNT(*)\n" + sql.substr(static_cast<size_t>(from->Pos), static_cast<size_t>(end - from->Pos));
  }
  if (plain) {
    // The limit takes as many rows whatever their order, and the select list
    // is left out: its names may repeat (a join's "*"), which a derived
    // table refuses, and ORDER BY may name them.
    const int64_t cut = order ? order->Pos : limit->Pos;
    return u"SELECT COUNT(*) FROM (\nSELECT 1 " +
           sql.substr(static_cast<size_t>(from->Pos), static_cast<size_t>(cut - from->Pos)) +
           sql.substr(static_cast<size_t>(limit->Pos), static_cast<size_t>(scan.End - limit->Pos)) + u"\n) vix_count";
  }
  return u"SELECT COUNT(*) FROM (\n" + sql.substr(0, static_cast<size_t>(scan.End)) + u"\n) vix_count";
}

}  // namespace vix
