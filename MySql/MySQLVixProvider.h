// The MySQL provider of the universal layer: the provider object with its
// option tables and its connection class, registered as "MySQL" by
// RegisterMySQLVixProvider(); and the SQL formatter that writes the universal
// notation in MySQL syntax.
#pragma once

#include <span>
#include <vector>

#include "rtl/UString.h"
#include "universal/VixProvider.h"

namespace vix {

// Back-quoted names, the MySQL function and macro tables, and DATEDIFF.
class TMySqlFormatter : public TVixSqlFormatter {
 public:
  TMySqlFormatter();

  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }

  // The tables every MySQL formatter shares.
  static const TNameTextTable& Functions();
  static const TNameTextTable& PredefinedMacros();

 protected:
  // DATEDIFF(datepart, start, end); any other name is unknown.
  UString FormatUnknownFunction(const UString& name, const std::vector<UString>& args) const override;
};

// The provider "MySQL": the connection is a TMySQLConnection, texts are read
// with the MySQL lexer of the universal layer and written by TMySqlFormatter.
class TMySQLVixProvider : public TVixProvider {
 public:
  static UString ClassProviderName() { return u"MySQL"; }
  UString GetProviderName() const override { return ClassProviderName(); }

  TParserClass GetParserClass() const override;
  std::unique_ptr<TDAScriptProcessor> CreateScriptProcessor() const override;
  std::unique_ptr<TDADataSetUpdater> CreateDataSetUpdater(TCustomDADataSet& dataSet) const override;
  TVixSqlFormatterClass GetSqlFormatterClass() const override;
  TZelConnectionClass GetConnectionClass() const override;
  TZelRecordSetClass GetRecordSetClass() const override;
  // TMyConnectionParameters and the process's TMyConnectionPoolManager.
  std::unique_ptr<TZelConnectionParameters> CreateConnectionParameters() const override;
  TZelConnectionPoolManager* GetConnectionPoolingManager() const override;

  bool IsDatabaseSupported() const override { return true; }
  bool IsPortSupported() const override { return true; }

  // A MySQL connection maps DECIMAL columns by precision: set before the options.
  void SetObjectProps(TOptionTarget& target, std::span<const UString> options) override;

 protected:
  void CreateConnectionOptions(TOptionsList& list) override;
  void CreateSQLOptions(TOptionsList& list) override;
  void CreateDataSetOptions(TOptionsList& list) override;
};

// Registers the MySQL provider in the provider registry. A program calls it
// once at start-up, before any connection looks for "MySQL"; calling it again
// changes nothing.
void RegisterMySQLVixProvider();

}  // namespace vix
