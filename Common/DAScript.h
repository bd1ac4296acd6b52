// Running a text of many SQL statements: the statements are cut out of the
// one text by offsets, following the dialect's quoting, comments, the
// DELIMITER command and routine bodies, and run one by one through a query.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "Common/DBAccess.h"
#include "rtl/SysUtils.h"
#include "rtl/UString.h"

namespace vix {

class TCustomDADataSet;
class TCustomDAConnection;
class TZelConnection;

// Statement kinds.
constexpr int stOrdinary = 0;
constexpr int stDelimiter = 1;     // a DELIMITER command: never sent
constexpr int stRoutine = 0x8000;  // CREATE FUNCTION / PROCEDURE / TRIGGER / EVENT

// One statement of a script: [StartPos, EndPos) in the script's text, the
// delimiter left out, surrounding blanks trimmed. Lines count from 0 (a line
// ends with LF, CR LF or a lone CR); StartOffset is the column of the first
// character, EndOffset the column just past the last one, on their lines.
struct TScriptStatement {
  int64_t StartPos = 0;
  int64_t EndPos = 0;
  int64_t StartLine = 0;
  int64_t EndLine = 0;
  int64_t StartOffset = 0;
  int64_t EndOffset = 0;
  int Type = stOrdinary;
  bool Omit = false;     // never sent (DELIMITER commands)
  UString NewDelimiter;  // the delimiter a DELIMITER command sets
  // The statement's last line ends in a line comment: whatever follows it
  // in a batch must start on a new line.
  bool EndsInLineComment = false;
  // With another delimiter than ";" in force, the text holds a ";" outside
  // quotes and comments: the server may run it as more than one statement,
  // so it never joins a batch (whose failures are counted by statement).
  bool HoldsSemicolon = false;
};

// The rules of one SQL dialect for cutting a script. The base reads standard
// SQL: apostrophe strings, double-quoted identifiers, "--" line comments and
// block comments, no DELIMITER command.
class TDAScriptProcessor {
 public:
  virtual ~TDAScriptProcessor() = default;

  // The longest text a batch of statements grows to.
  static constexpr size_t kMaxBatchLength = 0xFFFF;
  // Whether `sql` may join a batch that holds `batchLength` characters (the
  // batch is run first otherwise). Base: the two together stay below kMaxBatchLength.
  virtual bool MayJoinBatch(UStringView sql, size_t batchLength) const;
  // Whether `sql` may change how the session reads the statements after it
  // (it then runs in a batch of its own, and the statements after it are
  // cut once it has run).
  // Base: none does.
  virtual bool ChangesReading(UStringView) const { return false; }
  // Whether `sql` may give more results than one (a procedure call): it
  // then runs alone, outside batches, whose failures are counted by result.
  // Base: none does.
  virtual bool RunsAlone(UStringView) const { return false; }
  // Takes the state of the session the statements run on, as the last
  // statement left it, before the next one is cut. Base: nothing to take.
  virtual void ReadSession(TZelConnection&) {}
  // The lexer that finds the script's macros: the dialect's own, so that a
  // "&" inside its strings is never taken for one.
  virtual TParserClass GetParserClass() const { return NewParser<TSQLParser>; }

  // Cuts the next statement that holds code out of `text`, starting at
  // `pos`, with `delimiter` in force (never empty). Comment-only pieces are
  // passed over. False when only blanks and comments are left; otherwise
  // `pos` moves past the statement's delimiter.
  bool CutNext(UStringView text, int64_t& pos, UStringView delimiter, TScriptStatement& st) const;

 protected:
  // The character at `i` opens a quoted text or identifier.
  virtual bool IsQuote(char16_t c) const { return c == u'\'' || c == u'"'; }
  // Inside a quote of `quote`, a backslash takes the next character along.
  virtual bool BackslashEscapes(char16_t) const { return false; }
  // A line comment starts at `i`.
  virtual bool StartsLineComment(UStringView text, size_t i) const;
  // "/*!" and "/*M!" comments hold code the server runs.
  virtual bool HasExecutableComments() const { return false; }
  // DELIMITER as the first word of a statement sets a new delimiter.
  virtual bool HasDelimiterCommand() const { return false; }
  // CREATE FUNCTION / PROCEDURE / TRIGGER / EVENT keeps BEGIN ... END bodies whole.
  virtual bool TracksRoutines() const { return false; }
};

// The text of a script given as bytes: FF FE starts UTF-16LE, EF BB BF UTF-8
// (the mark skipped); without a mark, bytes that are valid UTF-8 are read as
// UTF-8 and anything else in the ANSI code page. An odd last byte of UTF-16
// is dropped.
UString DecodeScriptBytes(std::string_view bytes);

// What a failed statement's handler decides.
enum class TErrorAction {
  eaAbort,      // stop the script quietly
  eaFail,       // raise the error out of Execute
  eaException,  // hand the error to ShowException and go on (the default)
  eaContinue,   // go on silently
};

// The script component: an SQL text (or a stream) run statement by
// statement through a query on a connection.
class TDAScript {
 public:
  using TBeforeExecuteEvent = std::function<void(TDAScript& sender, UString& sql, bool& omit)>;
  using TAfterExecuteEvent = std::function<void(TDAScript& sender, const UString& sql)>;
  using TErrorEvent =
      std::function<void(TDAScript& sender, const Exception& E, const UString& sql, TErrorAction& action)>;
  using TShowExceptionEvent = std::function<void(const Exception& E)>;

  TDAScript();
  virtual ~TDAScript();
  TDAScript(const TDAScript&) = delete;
  TDAScript& operator=(const TDAScript&) = delete;

  // The script's text. A new text drops the statement list and rewinds.
  const UString& GetSQL() const { return FSQL; }
  void SetSQL(const UString& value);
  // The delimiter a run starts with (";"); any non-empty text.
  const UString& GetDelimiter() const { return FDelimiter; }
  void SetDelimiter(const UString& value);
  // The query that runs the statements (not owned).
  TCustomDADataSet* GetDataSet() const { return FDataSet; }
  void SetDataSet(TCustomDADataSet* value) { FDataSet = value; }
  // The dialect's rules (the base dialect until one is set).
  void SetProcessor(std::unique_ptr<TDAScriptProcessor> value);
  TDAScriptProcessor& Processor() const { return *FProcessor; }
  bool GetNoPreconnect() const { return FNoPreconnect; }
  void SetNoPreconnect(bool value) { FNoPreconnect = value; }
  // Execute sends statements in batches: one text of many statements joined
  // by ";", each batch below kMaxBatchLength characters. A failure is the
  // failing statement's own (its text to OnError, its start in ErrorOffset);
  // the statements after it in the batch run afterwards as the error action
  // allows, as they would one by one. BeforeExecute runs as each statement
  // joins, AfterExecute once its batch has run it.
  bool GetUseOptimization() const { return FUseOptimization; }
  void SetUseOptimization(bool value) { FUseOptimization = value; }

  // Runs the whole text from its start. Clears a pending BreakExec first.
  void Execute();
  // Runs a script given as bytes, decoded by DecodeScriptBytes.
  void ExecuteStream(std::string_view bytes);
  // Reads the file and runs it as ExecuteStream does.
  void ExecuteFile(const UString& fileName);
  // Runs the next statement; false when there is none (or the run stopped).
  bool ExecuteNext();
  // Asks the running Execute to stop before its next statement; safe from
  // any thread. The statement that runs finishes.
  void BreakExec() { FBreakExecution.store(true); }

  // The statements of the text as the dialect cuts it, without running anything.
  const std::vector<TScriptStatement>& Statements();
  // The text of one statement: the same bytes every run mode sends.
  UString StatementText(const TScriptStatement& st) const;
  // Offset of the last failed statement's start in the text; -1 when none failed.
  int64_t ErrorOffset() const { return FErrorOffset; }
  // Where the statement that runs (or ran last) stands in the text.
  int64_t StartLine() const { return FCurrent.StartLine; }
  int64_t EndLine() const { return FCurrent.EndLine; }
  int64_t StartPos() const { return FCurrent.StartPos; }
  int64_t EndPos() const { return FCurrent.EndPos; }
  int64_t StartOffset() const { return FCurrent.StartOffset; }
  int64_t EndOffset() const { return FCurrent.EndOffset; }

  // The "&Name" macros of the text, found again whenever the text changes; a
  // statement runs with each active macro replaced by its value (an inactive
  // one by nothing), before BeforeExecute sees it.
  TMacros& Macros() { return FMacros; }
  TMacro* FindMacro(UStringView name) const { return FMacros.FindMacro(name); }
  // Raises "Macro '<name>' not found" (EDatabaseError) when there is none.
  TMacro& MacroByName(UStringView name) const;

  TBeforeExecuteEvent BeforeExecute;
  TAfterExecuteEvent AfterExecute;
  TErrorEvent OnError;
  // Receives the errors whose action is eaException.
  TShowExceptionEvent ShowException;

 protected:
  // The connection statements run on: the query's.
  virtual TCustomDAConnection* Connection() const;
  // Called as a run starts, before the connection is looked up.
  virtual void BeforeRun() {}
  // Runs one text; raises on failure.
  virtual void ExecuteText(const UString& sql);

 private:
  void Rewind();
  // Fills in the lines and columns of `st` from its positions. Statements
  // come in text order, so the count goes on from the previous one.
  void Locate(TScriptStatement& st);
  // Runs a cut statement: events, omit, errors. False when the script must stop.
  bool RunStatement(const TScriptStatement& st);
  // A statement (or batch) failed: the error action decides. False when the
  // script must stop; eaFail and a lost transaction raise.
  bool HandleFailure(const Exception& E, const TScriptStatement& st, const UString& sql, bool inTransaction);
  bool InTransactionNow() const;
  // Runs the statements waiting in the batch; false when the script must stop.
  bool RunBatch();

  struct TBatched {
    TScriptStatement Statement;
    UString SQL;
  };

  UString FSQL;
  UString FDelimiter = u";";
  UString FCurrDelimiter = u";";
  TCustomDADataSet* FDataSet = nullptr;
  std::unique_ptr<TDAScriptProcessor> FProcessor;
  std::vector<TScriptStatement> FStatements;
  bool FStatementsBuilt = false;
  int64_t FPos = 0;
  int64_t FErrorOffset = -1;
  TScriptStatement FCurrent;
  TMacros FMacros;
  // Locate's place: the start of line FLine is at FLineStart, counted up to FLineScan.
  int64_t FLine = 0;
  int64_t FLineStart = 0;
  int64_t FLineScan = 0;
  bool FStopped = false;
  bool FNoPreconnect = false;
  bool FUseOptimization = false;
  bool FBatching = false;  // inside Execute with UseOptimization
  std::vector<TBatched> FBatch;
  size_t FBatchLength = 0;
  std::atomic<bool> FBreakExecution{false};
};

}  // namespace vix
