#include "MySql/MySQLVixProvider.h"

#include <memory>
#include <typeindex>

#include "Common/ZelParser.h"
#include "MySql/MyClasses.h"
#include "MySql/MyConnectionPool.h"
#include "MySql/MyScriptProcessor.h"
#include "MySql/MyServices.h"
#include "rtl/SysUtils.h"

namespace vix {

// --- TMySQLVixProvider ------------------------------------------------------------

namespace {

using TClasses = std::vector<std::type_index>;

// What each option list applies to. The dataset service is the updater.
const TClasses& ConnectionClasses() {
  static const TClasses classes = {typeid(TMySQLConnection)};
  return classes;
}
// The connection options that also tell pools apart.
const TClasses& ConnectionAndParametersClasses() {
  static const TClasses classes = {typeid(TMySQLConnection), typeid(TMyConnectionParameters)};
  return classes;
}
const TClasses& CommandClasses() {
  static const TClasses classes = {typeid(TMySQLCommand)};
  return classes;
}
const TClasses& RecordSetClasses() {
  static const TClasses classes = {typeid(TMySQLRecordset)};
  return classes;
}
const TClasses& DataSetServiceClasses() {
  static const TClasses classes = {typeid(TCustomMyDataSetUpdater)};
  return classes;
}

std::unique_ptr<TOption> BooleanOption(const char16_t* name, int32_t prop, const TClasses& classes, bool value) {
  return std::make_unique<TBooleanOption>(name, prop, classes, value);
}
std::unique_ptr<TOption> IntegerOption(const char16_t* name, int32_t prop, const TClasses& classes, int32_t value) {
  return std::make_unique<TIntegerOption>(name, prop, classes, value);
}
std::unique_ptr<TOption> StringOption(const char16_t* name, int32_t prop, const TClasses& classes) {
  return std::make_unique<TStringOption>(name, prop, classes, Variant(UString()));
}

}  // namespace

TParserClass TMySQLVixProvider::GetParserClass() const {
  return NewParser<TMyVixParser>;
}

std::unique_ptr<TDAScriptProcessor> TMySQLVixProvider::CreateScriptProcessor() const {
  return std::make_unique<TMyScriptProcessor>();
}

std::unique_ptr<TDADataSetUpdater> TMySQLVixProvider::CreateDataSetUpdater(TCustomDADataSet& dataSet) const {
  return std::make_unique<TCustomMyDataSetUpdater>(dataSet);
}

TVixSqlFormatterClass TMySQLVixProvider::GetSqlFormatterClass() const {
  return VixSqlFormatterClass<TMySqlFormatter>();
}

TZelConnectionClass TMySQLVixProvider::GetConnectionClass() const {
  return ZelConnectionClass<TMySQLConnection>();
}

TZelRecordSetClass TMySQLVixProvider::GetRecordSetClass() const {
  return ZelRecordSetClass<TMySQLRecordset>();
}

std::unique_ptr<TZelConnectionParameters> TMySQLVixProvider::CreateConnectionParameters() const {
  return std::make_unique<TMyConnectionParameters>();
}

TZelConnectionPoolManager* TMySQLVixProvider::GetConnectionPoolingManager() const {
  return &TMyConnectionPoolManager::Instance();
}

void TMySQLVixProvider::SetObjectProps(TOptionTarget& target, std::span<const UString> options) {
  if (target.ClassType() == typeid(TMySQLConnection)) target.SetProp(prCheckPrecision, true);
  TVixProvider::SetObjectProps(target, options);
}

void TMySQLVixProvider::CreateConnectionOptions(TOptionsList& list) {
  const TClasses& c = ConnectionClasses();
  const TClasses& cp = ConnectionAndParametersClasses();
  list.Add(IntegerOption(u"ConnectionTimeout", prConnectionTimeout, cp, 15));
  list.Add(StringOption(u"Charset", prCharset, cp));
  list.Add(BooleanOption(u"UseUnicode", prUseUnicode, cp, false));
  list.Add(BooleanOption(u"OptimizedBigint", prOptimizedBigInt, c, false));
  list.Add(BooleanOption(u"NullForZeroVanticDate", prNullForZeroVanticDate, c, false));
  list.Add(BooleanOption(u"Compress", prCompress, cp, false));
  list.Add(std::make_unique<TEnumeratorOption>(
      u"Protocol", prProtocol, cp, mpDefault, u"TMyProtocol",
      std::vector<UString>{u"mpDefault", u"mpTCP", u"mpSocket", u"mpPipe", u"mpMemory", u"mpSSL", u"mpHttp"}));
  list.Add(BooleanOption(u"Embedded", prEmbedded, cp, false));
  list.Add(BooleanOption(u"Direct", prDirect, cp, true));
  list.Add(StringOption(u"EmbeddedParams", prEmbeddedParams, cp));
  list.Add(StringOption(u"SSLChipherList", prSSLCipherList, cp));
  list.Add(StringOption(u"SSLCACert", prSSLCACert, cp));
  list.Add(StringOption(u"SSLCAPath", prSSLCAPath, cp));
  list.Add(StringOption(u"SSLKey", prSSLKey, cp));
  list.Add(StringOption(u"SSLCert", prSSLCert, cp));
  list.Add(std::make_unique<TEnumeratorOption>(u"SSLVerify", prSSLVerify, cp, svNone, u"TMySslVerify",
                                               std::vector<UString>{u"None", u"CA", u"Identity"}));
  list.Add(BooleanOption(u"SecureAuth", prSecureAuth, cp, false));
  // The HTTP tunnel (Protocol=mpHttp).
  list.Add(StringOption(u"HttpUrl", prHttpUrl, cp));
  list.Add(StringOption(u"HttpUsername", prHttpUsername, cp));
  list.Add(StringOption(u"HttpPassword", prHttpPassword, cp));
  list.Add(StringOption(u"ProxyHostname", prProxyHostname, cp));
  list.Add(IntegerOption(u"ProxyPort", prProxyPort, cp, 8080));
  list.Add(StringOption(u"ProxyUsername", prProxyUsername, cp));
  list.Add(StringOption(u"ProxyPassword", prProxyPassword, cp));
}

void TMySQLVixProvider::CreateSQLOptions(TOptionsList& list) {
  list.Add(IntegerOption(u"CommandTimeout", prCommandTimeout, CommandClasses(), 0));
}

void TMySQLVixProvider::CreateDataSetOptions(TOptionsList& list) {
  const TClasses& r = RecordSetClasses();
  list.Add(BooleanOption(u"FetchAll", prFetchAll, r, true));
  list.Add(IntegerOption(u"CommandTimeout", prCommandTimeout, r, 0));
  list.Add(BooleanOption(u"FieldsAsString", prFieldsAsString, r, false));
  list.Add(BooleanOption(u"NullForZeroDate", prNullForZeroDate, r, true));
  list.Add(BooleanOption(u"CheckRowVersion", prCheckRowVersion, DataSetServiceClasses(), false));
  list.Add(BooleanOption(u"EnableBoolean", prEnableBoolean, r, true));
  list.Add(BooleanOption(u"CreateConnection", prCreateConnection, r, true));
  list.Add(BooleanOption(u"BinaryAsString", prBinaryAsString, r, true));
}

void RegisterMySQLVixProvider() {
  VixProviders().RegisterProvider(VixProviderClass<TMySQLVixProvider>());
}

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
      {u"PROVIDER", u"MySQL"}, {u"MYSQL", u""},          {u"DATETIME", u"DATETIME"},
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
  else if (datepart == u"day") text = u"TO_DAYS(" + end + u")" + u" - " + u" TO_DAYS(" + start + u")";
  else if (datepart == u"hour") text = days + u"*24 + " + u"TRUNCATE(" + seconds + u"/3600, 0)";
  else if (datepart == u"minute") text = days + u"*1440 + " + u" TRUNCATE(" + seconds + u"/60, 0)";
  else if (datepart == u"second") text = days + u"*86400 + " + seconds;
  else if (datepart == u"millisecond") text = days + u"*86400000 + " + seconds + u"*1000";
  else throw Exception(Format(u"Unknown datepart: %s", {Trim(args[0])}));
  return u"(" + text + u")";
}

}  // namespace vix
