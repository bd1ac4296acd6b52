// The MySQL rules for cutting a script, as the mariadb command-line client
// reads one: backquotes, backslash escapes, '#' and "-- " comments,
// executable comments, DELIMITER and routine bodies.
#pragma once

#include "Common/DAScript.h"

namespace vix {

class TMyScriptProcessor : public TDAScriptProcessor {
 public:
  // `backslashEscapes`: the session does not run in NO_BACKSLASH_ESCAPES mode.
  explicit TMyScriptProcessor(bool backslashEscapes = true) : FBackslashEscapes(backslashEscapes) {}
  TParserClass GetParserClass() const override {
    return FBackslashEscapes ? NewParser<TMyParser> : NewParser<TMyNoBackslashParser>;
  }
  // A SET statement that names sql_mode, changes the client character set,
  // or stands in an executable comment.
  bool ChangesReading(UStringView sql) const override;
  // CALL and EXECUTE.
  bool RunsAlone(UStringView sql) const override;
  // Backslashes escape as the session's NO_BACKSLASH_ESCAPES status says.
  void ReadSession(TZelConnection& session) override;

 protected:
  bool IsQuote(char16_t c) const override { return c == u'\'' || c == u'"' || c == u'`'; }
  bool BackslashEscapes(char16_t quote) const override { return FBackslashEscapes && quote != u'`'; }
  bool StartsLineComment(UStringView text, size_t i) const override;
  bool HasExecutableComments() const override { return true; }
  bool HasDelimiterCommand() const override { return true; }
  bool TracksRoutines() const override { return true; }

 private:
  bool FBackslashEscapes;
};

}  // namespace vix
