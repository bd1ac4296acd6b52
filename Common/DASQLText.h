// Editing of a query's text for generated statements: a condition added to
// its WHERE clause or its WHERE clause removed, the text of one clause, and
// text joined after a query's end. Pure functions over the text, read with
// the provider's lexer (strings, quoted names and comments as the server
// reads them); nothing here talks to a server.
//
// Text is always joined with a line feed where it follows a query's own text
// or a caller's condition: a "--" or "#" comment runs to the end of its line,
// and only a line feed ends it on the server. A carriage return alone would
// leave the added text inside the comment.
#pragma once

#include <cstdint>

#include "Common/ZelParser.h"
#include "rtl/UString.h"

namespace vix {

// Where one clause of a query is: [Start, End) is its text after the
// keyword (the one blank after the keyword skipped), up to the next clause
// keyword at nesting depth 0 or the end of the query (blanks before it
// included). Start is -1 when the query has no such clause.
struct TSQLClauseSpan {
  int64_t Keyword = -1;  // offset of the keyword itself
  int64_t Start = -1;
  int64_t End = -1;
  bool Found() const { return Start >= 0; }
};

// The query `sql` with `condition` added to its WHERE clause, read with
// `lexer` (the provider's dialect, e.g. NewParser<TMyParser>):
// - a trimmed-empty condition leaves the text unchanged;
// - an existing WHERE at depth 0 (not one that follows the macro character
//   "&") becomes "(old condition) AND (condition)";
// - otherwise "\nWHERE condition" goes in before the first clause that must
//   follow WHERE (GROUP, HAVING, WINDOW, ORDER, LIMIT, OFFSET, FETCH,
//   PROCEDURE, INTO after FROM, FOR UPDATE/SHARE, LOCK IN SHARE MODE) or a
//   statement-ending ";", or at the end;
// - a text that starts with WITH is edited at its main SELECT.
// Raises EDatabaseError for a text that is not a SELECT (nothing to filter:
// leaving it unchanged would return every row), and for a SELECT that
// combines results with UNION, INTERSECT, EXCEPT or MINUS at depth 0 (the
// condition cannot be given a meaning there), and when the text or the
// condition ends inside a string, a quoted name or a block comment.
UString AddWhere(const UString& sql, const UString& condition, TParserClass lexer);

// The query without its WHERE keyword and condition (depth 0 only): the text
// up to the keyword, then the text from the next clause keyword on. A text
// without a WHERE is returned unchanged. Raises EDatabaseError for a query
// that combines results (it has one WHERE per part).
UString DeleteWhere(const UString& sql, TParserClass lexer);

// Where the FROM or the WHERE clause (`keyword`: lxFROM or lxWHERE) of the
// query's main SELECT is. Raises EDatabaseError for a query that combines
// results; any other keyword is a programming error (EDatabaseError).
TSQLClauseSpan FindClause(const UString& sql, int keyword, TParserClass lexer);

// The text of that clause, trimmed; the empty text when there is none. When
// it ends in a "--" or "#" comment, a line feed ends it, so that text put
// after it is not taken into the comment.
UString GetClause(const UString& sql, int keyword, TParserClass lexer);

// `sql` (blanks at its end and a final ";" dropped) + "\n" + `tail`: text
// such as "FOR UPDATE" or "ORDER BY a" joined after a query's end, on a line
// of its own. Raises EDatabaseError when `sql` ends inside a string, a
// quoted name or a block comment.
UString AppendToQuery(const UString& sql, const UString& tail, TParserClass lexer);

// A statement that counts the rows `sql` returns: a plain SELECT (no
// DISTINCT, no parenthesis in its select list, only FROM, WHERE and ORDER BY
// clauses) becomes "SELECT COUNT(*)" with its FROM and WHERE; one that adds
// only a LIMIT is counted as a derived table of "SELECT 1"
// with its FROM, WHERE and limit; any other SELECT (GROUP BY, HAVING, UNION,
// WITH, aggregates ...) is counted as a derived table of the whole text.
// The empty text for a text that is not a SELECT or does not end outside
// strings and comments.
UString RecordCountSQL(const UString& sql, TParserClass lexer);

}  // namespace vix
