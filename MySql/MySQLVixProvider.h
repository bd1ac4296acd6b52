// The MySQL provider of the universal layer. So far: the SQL formatter that
// writes the universal notation in MySQL syntax.
#pragma once

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

}  // namespace vix
