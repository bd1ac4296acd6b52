#include "MySql/MySQLVixProvider.h"

#include "rtl/SysUtils.h"

namespace vix {

// --- TMySqlFormatter -------------------------------------------------------------

const TNameTextTable& TMySqlFormatter::Functions() {
  static const TNameTextTable table = {
      {u"USER", u"USER()"},
      {u"CHAR_LENGTH", u"CHAR_LENGTH(%s)"},
      {u"LOCATE", u"LOCATE(%s, %s)"},
      {u"SUBSTRING", u"SUBSTRING(%s, %s, %s)"},
      {u"CONCAT", u"CONCAT(%s, %s)"},
      {u"CHAR", u"CHAR(%s)"},
      {u"TRIM", u"TRIM(%s)"},
      {u"TRUNCATE", u"TRUNCATE(%s, %s)"},
      {u"CEILING", u"CEILING(%s)"},
      {u"CURRENT_DATE", u"CURRENT_DATE"},
      {u"YEAR", u"YEAR(%s)"},
      {u"MONTH", u"MONTH(%s)"},
      {u"DAY", u"EXTRACT(DAY FROM %s)"},
      {u"DATEADD", u"(%2:s + INTERVAL '%1:s' %0:s)"},
      {u"__DATE_TIME_LITERAL", u"CAST(%s AS DATETIME)"},
      {u"TODATE", u"CAST(%s AS DATETIME)"},
      {u"__DATE_LITERAL", u"CAST(%s AS DATE)"},
      {u"__TIME_LITERAL", u"CAST(%s AS TIME)"},
      {u"TONUMBER", u"CAST(%s AS DOUBLE)"},
      // MariaDB and MySQL cast to CHAR; "AS VARCHAR" is a syntax error there.
      {u"TOCHAR", u"CAST(%s AS CHAR)"},
  };
  return table;
}

const TNameTextTable& TMySqlFormatter::PredefinedMacros() {
  static const TNameTextTable table = {
      {u"PROVIDER", u"MySQL"}, {u"MYSQL", u""}, {u"DATETIME", u"DATETIME"},
      {u"DOUBLE", u"DOUBLE"},  {u"VARCHAR", u"VARCHAR"},
  };
  return table;
}

TMySqlFormatter::TMySqlFormatter() {
  FFunctions = &Functions();
  FPredefinedMacros = &PredefinedMacros();
}

UString TMySqlFormatter::FormatUnknownFunction(const UString& name, const std::vector<UString>& args) const {
  if (UpperCase(name) != u"DATEDIFF") return TVixSqlFormatter::FormatUnknownFunction(name, args);
  if (args.size() != 3) throw Exception(Format(u"Wrong argument count for function: %s", {u"DATEDIFF"}));
  const UString datepart = LowerCase(Trim(args[0]));
  const UString& start = args[1];
  const UString& end = args[2];
  const UString days = u"(TO_DAYS(" + end + u")" + u" - " + u" TO_DAYS(" + start + u"))";
  const UString seconds = u"(TIME_TO_SEC(" + end + u") - TIME_TO_SEC(" + start + u"))";
  // Every form is one parenthesised term, so that it keeps its value inside
  // a larger expression.
  UString text;
  if (datepart == u"year")
    text = FormatTemplate(u"FLOOR((PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM %1:s), EXTRACT(YEAR_MONTH FROM %0:s)))/12)",
                          {start, end});
  else if (datepart == u"month")
    text = FormatTemplate(u"PERIOD_DIFF(EXTRACT(YEAR_MONTH FROM %1:s), EXTRACT(YEAR_MONTH FROM %0:s))", {start, end});
  else if (datepart == u"day")
    text = u"TO_DAYS(" + end + u")" + u" - " + u" TO_DAYS(" + start + u")";
  else if (datepart == u"hour")
    text = days + u"*24 + " + u"TRUNCATE(" + seconds + u"/3600, 0)";
  else if (datepart == u"minute")
    text = days + u"*1440 + " + u" TRUNCATE(" + seconds + u"/60, 0)";
  else if (datepart == u"second")
    text = days + u"*86400 + " + seconds;
  else if (datepart == u"millisecond")
    text = days + u"*86400000 + " + seconds + u"*1000";
  else
    throw Exception(Format(u"Unknown datepart: %s", {Trim(args[0])}));
  return u"(" + text + u")";
}

}  // namespace vix
