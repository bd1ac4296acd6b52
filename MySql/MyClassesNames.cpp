// The quoting of names in generated statements (TMySQLInfo).
#include <algorithm>
#include <iterator>

#include "MySql/MyClasses.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

// The server's reserved words (and a few of its keywords that read badly
// as names), upper-case: these are always quoted.
constexpr UStringView kReservedWords[] = {u"ACCESSIBLE",
                                          u"ADD",
                                          u"ALL",
                                          u"ALTER",
                                          u"ANALYZE",
                                          u"AND",
                                          u"AS",
                                          u"ASC",
                                          u"ASENSITIVE",
                                          u"BEFORE",
                                          u"BETWEEN",
                                          u"BIGINT",
                                          u"BINARY",
                                          u"BLOB",
                                          u"BOTH",
                                          u"BY",
                                          u"CALL",
                                          u"CASCADE",
                                          u"CASE",
                                          u"CHANGE",
                                          u"CHAR",
                                          u"CHARACTER",
                                          u"CHECK",
                                          u"COLLATE",
                                          u"COLUMN",
                                          u"CONDITION",
                                          u"CONSTRAINT",
                                          u"CONTINUE",
                                          u"CONVERT",
                                          u"CREATE",
                                          u"CROSS",
                                          u"CURRENT_DATE",
                                          u"CURRENT_ROLE",
                                          u"CURRENT_TIME",
                                          u"CURRENT_TIMESTAMP",
                                          u"CURRENT_USER",
                                          u"CURSOR",
                                          u"DATABASE",
                                          u"DATABASES",
                                          u"DAY_HOUR",
                                          u"DAY_MICROSECOND",
                                          u"DAY_MINUTE",
                                          u"DAY_SECOND",
                                          u"DEC",
                                          u"DECIMAL",
                                          u"DECLARE",
                                          u"DEFAULT",
                                          u"DELAYED",
                                          u"DELETE",
                                          u"DELETE_DOMAIN_ID",
                                          u"DESC",
                                          u"DESCRIBE",
                                          u"DETERMINISTIC",
                                          u"DISTINCT",
                                          u"DISTINCTROW",
                                          u"DIV",
                                          u"DO_DOMAIN_IDS",
                                          u"DOUBLE",
                                          u"DROP",
                                          u"DUAL",
                                          u"EACH",
                                          u"ELSE",
                                          u"ELSEIF",
                                          u"ENCLOSED",
                                          u"ESCAPED",
                                          u"EXCEPT",
                                          u"EXISTS",
                                          u"EXIT",
                                          u"EXPLAIN",
                                          u"FALSE",
                                          u"FETCH",
                                          u"FLOAT",
                                          u"FLOAT4",
                                          u"FLOAT8",
                                          u"FOR",
                                          u"FORCE",
                                          u"FOREIGN",
                                          u"FROM",
                                          u"FULLTEXT",
                                          u"GENERAL",
                                          u"GRANT",
                                          u"GROUP",
                                          u"HAVING",
                                          u"HIGH_PRIORITY",
                                          u"HOUR_MICROSECOND",
                                          u"HOUR_MINUTE",
                                          u"HOUR_SECOND",
                                          u"IF",
                                          u"IGNORE",
                                          u"IGNORE_DOMAIN_IDS",
                                          u"IGNORE_SERVER_IDS",
                                          u"IN",
                                          u"INDEX",
                                          u"INFILE",
                                          u"INNER",
                                          u"INOUT",
                                          u"INSENSITIVE",
                                          u"INSERT",
                                          u"INT",
                                          u"INT1",
                                          u"INT2",
                                          u"INT3",
                                          u"INT4",
                                          u"INT8",
                                          u"INTEGER",
                                          u"INTERSECT",
                                          u"INTERVAL",
                                          u"INTO",
                                          u"IS",
                                          u"ITERATE",
                                          u"JOIN",
                                          u"KEY",
                                          u"KEYS",
                                          u"KILL",
                                          u"LEADING",
                                          u"LEAVE",
                                          u"LEFT",
                                          u"LIKE",
                                          u"LIMIT",
                                          u"LINEAR",
                                          u"LINES",
                                          u"LOAD",
                                          u"LOCALTIME",
                                          u"LOCALTIMESTAMP",
                                          u"LOCK",
                                          u"LONG",
                                          u"LONGBLOB",
                                          u"LONGTEXT",
                                          u"LOOP",
                                          u"LOW_PRIORITY",
                                          u"MASTER_HEARTBEAT_PERIOD",
                                          u"MASTER_SSL_VERIFY_SERVER_CERT",
                                          u"MATCH",
                                          u"MAXVALUE",
                                          u"MEDIUMBLOB",
                                          u"MEDIUMINT",
                                          u"MEDIUMTEXT",
                                          u"MIDDLEINT",
                                          u"MINUTE_MICROSECOND",
                                          u"MINUTE_SECOND",
                                          u"MOD",
                                          u"MODIFIES",
                                          u"NATURAL",
                                          u"NOT",
                                          u"NO_WRITE_TO_BINLOG",
                                          u"NULL",
                                          u"NUMERIC",
                                          u"OFFSET",
                                          u"ON",
                                          u"OPTIMIZE",
                                          u"OPTION",
                                          u"OPTIONALLY",
                                          u"OR",
                                          u"ORDER",
                                          u"OUT",
                                          u"OUTER",
                                          u"OUTFILE",
                                          u"OVER",
                                          u"PAGE_CHECKSUM",
                                          u"PARSE_VCOL_EXPR",
                                          u"PARTITION",
                                          u"POSITION",
                                          u"PRECISION",
                                          u"PRIMARY",
                                          u"PROCEDURE",
                                          u"PURGE",
                                          u"RANGE",
                                          u"READ",
                                          u"READS",
                                          u"READ_WRITE",
                                          u"REAL",
                                          u"RECURSIVE",
                                          u"REFERENCES",
                                          u"REF_SYSTEM_ID",
                                          u"REGEXP",
                                          u"RELEASE",
                                          u"RENAME",
                                          u"REPEAT",
                                          u"REPLACE",
                                          u"REQUIRE",
                                          u"RESIGNAL",
                                          u"RESTRICT",
                                          u"RETURN",
                                          u"RETURNING",
                                          u"REVOKE",
                                          u"RIGHT",
                                          u"RLIKE",
                                          u"ROW_NUMBER",
                                          u"ROWS",
                                          u"SCHEMA",
                                          u"SCHEMAS",
                                          u"SECOND_MICROSECOND",
                                          u"SELECT",
                                          u"SENSITIVE",
                                          u"SEPARATOR",
                                          u"SET",
                                          u"SHOW",
                                          u"SIGNAL",
                                          u"SLOW",
                                          u"SMALLINT",
                                          u"SPATIAL",
                                          u"SPECIFIC",
                                          u"SQL",
                                          u"SQLEXCEPTION",
                                          u"SQLSTATE",
                                          u"SQLWARNING",
                                          u"SQL_BIG_RESULT",
                                          u"SQL_CALC_FOUND_ROWS",
                                          u"SQL_SMALL_RESULT",
                                          u"SSL",
                                          u"STARTING",
                                          u"STATS_AUTO_RECALC",
                                          u"STATS_PERSISTENT",
                                          u"STATS_SAMPLE_PAGES",
                                          u"STRAIGHT_JOIN",
                                          u"TABLE",
                                          u"TERMINATED",
                                          u"THEN",
                                          u"TINYBLOB",
                                          u"TINYINT",
                                          u"TINYTEXT",
                                          u"TO",
                                          u"TRAILING",
                                          u"TRIGGER",
                                          u"TRUE",
                                          u"UNDO",
                                          u"UNION",
                                          u"UNIQUE",
                                          u"UNLOCK",
                                          u"UNSIGNED",
                                          u"UPDATE",
                                          u"USAGE",
                                          u"USE",
                                          u"USING",
                                          u"UTC_DATE",
                                          u"UTC_TIME",
                                          u"UTC_TIMESTAMP",
                                          u"VALUES",
                                          u"VARBINARY",
                                          u"VARCHAR",
                                          u"VARCHARACTER",
                                          u"VARYING",
                                          u"WHEN",
                                          u"WHERE",
                                          u"WHILE",
                                          u"WINDOW",
                                          u"WITH",
                                          u"WRITE",
                                          u"XOR",
                                          u"YEAR_MONTH",
                                          u"ZEROFILL",
                                          u"ACTION",
                                          u"BIT",
                                          u"DATE",
                                          u"ENUM",
                                          u"NO",
                                          u"TEXT",
                                          u"TIME",
                                          u"TIMESTAMP",
                                          u"MINUS",
                                          u"ROWNUM",
                                          u"SYSDATE",
                                          u"SYSTEM_TIME",
                                          u"DUMPFILE",
                                          u"HANDLER",
                                          u"CHARSET",
                                          u"COMMENT"};

bool IsReservedWord(UStringView part) {
  const UString upper = UpperCaseAscii(part);
  return std::find(std::begin(kReservedWords), std::end(kReservedWords), UStringView(upper)) !=
         std::end(kReservedWords);
}

}  // namespace

bool TMySQLInfo::QuotesNeeded(UStringView part) const {
  if (part.empty()) return true;
  bool digitsOnly = true;
  for (char16_t c : part) {
    const bool digit = c >= u'0' && c <= u'9';
    const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u'$';
    if (!digit && !letter) return true;
    digitsOnly = digitsOnly && digit;
  }
  // "1e5" reads as a number too.
  if (digitsOnly || (part[0] >= u'0' && part[0] <= u'9')) return true;
  return IsReservedWord(part);
}

std::vector<UString> TMySQLInfo::SplitName(UStringView name) const {
  std::vector<UString> parts;
  UString part;
  size_t i = 0;
  while (i <= name.size()) {
    if (i == name.size() || name[i] == u'.') {
      parts.push_back(Trim(part));
      part.clear();
      ++i;
      if (i > name.size()) break;
      continue;
    }
    if (name[i] == u'`') {
      // A quoted part: doubled back quotes are one; an unclosed quote takes
      // the rest of the text.
      ++i;
      while (i < name.size()) {
        if (name[i] == u'`') {
          if (i + 1 < name.size() && name[i + 1] == u'`') {
            part += u'`';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        part += name[i++];
      }
      continue;
    }
    part += name[i++];
  }
  return parts;
}

UString TMySQLInfo::NormalizeName(UStringView name, bool quoteNames) const {
  UString r;
  for (const UString& part : SplitName(name)) {
    if (!r.empty()) r += u'.';
    r += quoteNames || QuotesNeeded(part) ? QuoteAlways(part) : part;
  }
  return r;
}

UString TMySQLInfo::QuoteNames(std::initializer_list<UStringView> rawParts) const {
  UString r;
  for (UStringView part : rawParts) {
    if (part.empty()) continue;
    if (!r.empty()) r += u'.';
    r += QuoteAlways(part);
  }
  return r;
}

}  // namespace vix
