#include "Common/DAScript.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "Common/DBAccess.h"
#include "Common/DBTypes.h"
#include "Common/ZelAccess.h"
#include "rtl/CodePage.h"

namespace vix {

namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

bool IsWordChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' || c == u'$' ||
         c >= 0x80;
}

bool SameWord(UStringView word, std::u16string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char16_t c = word[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (c != upper[i]) return false;
  }
  return true;
}

bool AnyWord(UStringView word, std::initializer_list<std::u16string_view> list) {
  for (auto w : list)
    if (SameWord(word, w)) return true;
  return false;
}

// The script sets its session to UTF-8: "SET NAMES utf8" (utf8mb3,
// utf8mb4), letters in any case.
bool DeclaresUtf8(std::string_view bytes) {
  static constexpr std::string_view kSetNames = "set names utf8";
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i + kSetNames.size() <= bytes.size(); ++i) {
    size_t k = 0;
    while (k < kSetNames.size() && lower(bytes[i + k]) == kSetNames[k]) ++k;
    if (k == kSetNames.size()) return true;
  }
  return false;
}

// Where a routine definition stands while it is read.
enum class TRoutineState { NotYet, Prefix, Routine, Other };

}  // namespace

bool TDAScriptProcessor::MayJoinBatch(UStringView sql, size_t batchLength) const {
  return sql.size() + batchLength < kMaxBatchLength;
}

bool TDAScriptProcessor::StartsLineComment(UStringView text, size_t i) const {
  return text[i] == u'-' && i + 1 < text.size() && text[i + 1] == u'-';
}

bool TDAScriptProcessor::CutNext(UStringView text, int64_t& pos, UStringView delimiter, TScriptStatement& st) const {
  const size_t n = text.size();
  size_t i = static_cast<size_t>(pos);
  for (;;) {
    // One piece: from i to the next delimiter outside quotes and comments.
    st = TScriptStatement();
    int64_t start = -1;     // first character of the piece that is not blank
    int64_t lastCode = -1;  // end of the last character that is not blank
    bool hasCode = false;   // anything beside blanks and plain comments
    bool firstWord = true;  // no word read yet
    TRoutineState routine = TRoutineState::NotYet;
    int depth = 0;               // open BEGIN / CASE blocks of a routine
    bool inExecComment = false;  // inside "/*! ... */"
    const bool semicolon = delimiter == u";";
    size_t end = n, next = n;
    bool lineCommentLast = false;  // the last thing marked is a line comment
    auto mark = [&](size_t from, size_t to) {
      if (start < 0) start = static_cast<int64_t>(from);
      lastCode = static_cast<int64_t>(to);
      lineCommentLast = false;
    };
    while (i < n) {
      char16_t c = text[i];
      if (IsBlank(c)) {
        ++i;
        continue;
      }
      if (inExecComment && c == u'*' && i + 1 < n && text[i + 1] == u'/') {
        inExecComment = false;
        mark(i, i + 2);
        i += 2;
        continue;
      }
      // The delimiter ends the piece, unless a routine body is still open.
      if (text.substr(i, delimiter.size()) == delimiter && !(routine == TRoutineState::Routine && depth > 0)) {
        end = i;
        next = i + delimiter.size();
        break;
      }
      // A lone "/" on its own line ends a routine read with ";" in force.
      if (c == u'/' && semicolon && routine == TRoutineState::Routine && (i == 0 || text[i - 1] == u'\n')) {
        size_t j = i + 1;
        while (j < n && text[j] != u'\n' && IsBlank(text[j])) ++j;
        if (j >= n || text[j] == u'\n') {
          end = i;
          next = j;
          break;
        }
      }
      if (IsQuote(c)) {
        size_t j = i + 1;
        while (j < n) {
          if (text[j] == u'\\' && BackslashEscapes(c)) {
            j += 2;
            continue;
          }
          if (text[j] == c) {
            if (j + 1 < n && text[j + 1] == c) {
              j += 2;
              continue;
            }
            ++j;
            break;
          }
          ++j;
        }
        if (j > n) j = n;
        mark(i, j);
        hasCode = true;
        if (routine == TRoutineState::Prefix && c != u'`' && c != u'\'' && c != u'"') routine = TRoutineState::Other;
        i = j;
        continue;
      }
      if (c == u'/' && i + 1 < n && text[i + 1] == u'*') {
        bool exec = HasExecutableComments() &&
                    ((i + 2 < n && text[i + 2] == u'!') ||
                     (i + 3 < n && (text[i + 2] == u'M' || text[i + 2] == u'm') && text[i + 3] == u'!'));
        if (exec && !inExecComment) {
          size_t j = i + (text[i + 2] == u'!' ? 3 : 4);
          while (j < n && text[j] >= u'0' && text[j] <= u'9') ++j;
          mark(i, j);
          hasCode = true;
          inExecComment = true;
          i = j;
          continue;
        }
        size_t j = i + 2;
        while (j + 1 < n && !(text[j] == u'*' && text[j + 1] == u'/')) ++j;
        j = j + 1 < n ? j + 2 : n;
        mark(i, j);
        i = j;
        continue;
      }
      if (StartsLineComment(text, i)) {
        size_t j = i;
        while (j < n && text[j] != u'\n') ++j;
        mark(i, j);
        lineCommentLast = true;
        i = j;
        continue;
      }
      if (IsWordChar(c)) {
        // A word ends where the delimiter starts ("END$$").
        size_t j = i + 1;
        while (j < n && IsWordChar(text[j]) && text.substr(j, delimiter.size()) != delimiter) ++j;
        UStringView word = text.substr(i, j - i);
        if (firstWord && HasDelimiterCommand() && SameWord(word, u"DELIMITER") && !hasCode &&
            (j >= n || IsBlank(text[j]))) {
          // DELIMITER <text>: the rest of the line's first word.
          size_t k = j;
          while (k < n && text[k] != u'\n' && IsBlank(text[k])) ++k;
          size_t v = k;
          while (v < n && !IsBlank(text[v])) ++v;
          if (v > k) {
            size_t eol = v;
            while (eol < n && text[eol] != u'\n') ++eol;
            st.StartPos = static_cast<int64_t>(i);
            st.EndPos = static_cast<int64_t>(v);
            st.Type = stDelimiter;
            st.Omit = true;
            st.NewDelimiter = UString(text.substr(k, v - k));
            pos = static_cast<int64_t>(eol);
            return true;
          }
        }
        mark(i, j);
        hasCode = true;
        if (TracksRoutines() && semicolon) {
          if (firstWord) {
            routine = SameWord(word, u"CREATE") ? TRoutineState::Prefix : TRoutineState::Other;
          } else if (routine == TRoutineState::Prefix) {
            if (AnyWord(word, {u"FUNCTION", u"PROCEDURE", u"TRIGGER", u"EVENT"})) routine = TRoutineState::Routine;
            else if (!AnyWord(word, {u"OR", u"REPLACE", u"AGGREGATE", u"DEFINER", u"CURRENT_USER", u"SQL", u"SECURITY",
                                     u"INVOKER", u"ALGORITHM", u"UNDEFINED", u"MERGE", u"TEMPTABLE"}) &&
                     !(j < n && text[j] == u'@') && !(i > 0 && text[i - 1] == u'@'))
              routine = TRoutineState::Other;
          } else if (routine == TRoutineState::Routine) {
            if (AnyWord(word, {u"BEGIN", u"CASE"})) {
              ++depth;
            } else if (SameWord(word, u"END")) {
              size_t k = j;
              while (k < n && IsBlank(text[k])) ++k;
              size_t w = k;
              while (w < n && IsWordChar(text[w])) ++w;
              UStringView after = text.substr(k, w - k);
              if (!AnyWord(after, {u"IF", u"LOOP", u"WHILE", u"REPEAT"})) {
                if (depth > 0) --depth;
                if (SameWord(after, u"CASE")) j = w;  // END CASE closes the CASE
              }
            }
          }
        }
        firstWord = false;
        i = j;
        continue;
      }
      // Any other character is code.
      if (routine == TRoutineState::Prefix && c != u'=' && c != u'@' && c != u'(' && c != u')')
        routine = TRoutineState::Other;
      if (c == u';' && !semicolon) st.HoldsSemicolon = true;
      mark(i, i + 1);
      hasCode = true;
      ++i;
    }
    if (hasCode) {
      st.StartPos = start;
      st.EndPos = lastCode;
      st.Type = routine == TRoutineState::Routine ? stRoutine : stOrdinary;
      st.EndsInLineComment = lineCommentLast;
      pos = static_cast<int64_t>(next);
      return true;
    }
    // Only blanks and comments: nothing to send.
    if (next >= n) {
      pos = static_cast<int64_t>(n);
      return false;
    }
    i = next;
    (void)end;
  }
}

TDAScript::TDAScript() : FProcessor(std::make_unique<TDAScriptProcessor>()) {}

TDAScript::~TDAScript() = default;

void TDAScript::SetSQL(const UString& value) {
  FSQL = value;
  FMacros.Scan(FSQL);
  FStatements.clear();
  FStatementsBuilt = false;
  Rewind();
}

void TDAScript::SetDelimiter(const UString& value) {
  if (value.empty()) throw EDatabaseError(u"Delimiter must not be empty");
  FDelimiter = value;
  FStatementsBuilt = false;
  Rewind();
}

void TDAScript::SetProcessor(std::unique_ptr<TDAScriptProcessor> value) {
  FProcessor = value ? std::move(value) : std::make_unique<TDAScriptProcessor>();
  FMacros.SetParserClass(FProcessor->GetParserClass());
  FMacros.Scan(FSQL);
  FStatementsBuilt = false;
  Rewind();
}

void TDAScript::Rewind() {
  FPos = 0;
  FLine = FLineStart = FLineScan = 0;
  FCurrent = TScriptStatement();
  FCurrDelimiter = FDelimiter;
  FStopped = false;
}

void TDAScript::Locate(TScriptStatement& st) {
  if (st.StartPos < FLineScan) FLine = FLineStart = FLineScan = 0;
  auto advance = [&](int64_t to) {
    for (; FLineScan < to; ++FLineScan) {
      const char16_t c = FSQL[static_cast<size_t>(FLineScan)];
      if (c == u'\n' || (c == u'\r' && (FLineScan + 1 >= static_cast<int64_t>(FSQL.size()) ||
                                        FSQL[static_cast<size_t>(FLineScan + 1)] != u'\n'))) {
        ++FLine;
        FLineStart = FLineScan + 1;
      }
    }
  };
  advance(st.StartPos);
  st.StartLine = FLine;
  st.StartOffset = st.StartPos - FLineStart;
  advance(st.EndPos);
  st.EndLine = FLine;
  st.EndOffset = st.EndPos - FLineStart;
}

const std::vector<TScriptStatement>& TDAScript::Statements() {
  if (!FStatementsBuilt) {
    FStatements.clear();
    int64_t pos = 0;
    UString delimiter = FDelimiter;
    TScriptStatement st;
    FLine = FLineStart = FLineScan = 0;
    while (FProcessor->CutNext(FSQL, pos, delimiter, st)) {
      if (st.Type == stDelimiter) delimiter = st.NewDelimiter;
      Locate(st);
      FStatements.push_back(st);
    }
    // A run that follows counts its own lines from the start.
    FLine = FLineStart = FLineScan = 0;
    FStatementsBuilt = true;
  }
  return FStatements;
}

TMacro& TDAScript::MacroByName(UStringView name) const {
  TMacro* macro = FMacros.FindMacro(name);
  if (!macro) throw EDatabaseError(u"Macro '" + UString(name) + u"' not found");
  return *macro;
}

UString TDAScript::StatementText(const TScriptStatement& st) const {
  return FSQL.substr(static_cast<size_t>(st.StartPos), static_cast<size_t>(st.EndPos - st.StartPos));
}

TCustomDAConnection* TDAScript::Connection() const {
  return FDataSet ? FDataSet->GetConnection() : nullptr;
}

void TDAScript::ExecuteText(const UString& sql) {
  FDataSet->SetSQL(sql);
  FDataSet->Execute();
}

void TDAScript::Execute() {
  FBreakExecution.store(false);
  BeforeRun();
  TCustomDAConnection* connection = Connection();
  if (!connection) throw EDatabaseError(u"Connection is not defined");
  if (!FNoPreconnect) connection->BeginUse();
  bool ok = false;
  try {
    Rewind();
    FErrorOffset = -1;
    bool paramCheck = FDataSet->GetParamCheck();
    FDataSet->SetParamCheck(false);
    FBatch.clear();
    FBatchLength = 0;
    TFlagScope batching(FBatching, FUseOptimization);
    try {
      while (!FBreakExecution.load() && ExecuteNext()) {
      }
      // What the last batch holds runs unless the run was broken off.
      if (!FBreakExecution.load() && !FStopped && !RunBatch()) FStopped = true;
    } catch (...) {
      FBatch.clear();
      FDataSet->SetParamCheck(paramCheck);
      throw;
    }
    FBatch.clear();
    FDataSet->SetParamCheck(paramCheck);
    ok = true;
  } catch (...) {
    if (!FNoPreconnect) connection->EndUse();
    throw;
  }
  if (ok && !FNoPreconnect) connection->EndUse();
}

bool TDAScript::ExecuteNext() {
  if (FStopped || FBreakExecution.load()) return false;
  if (TCustomDAConnection* connection = Connection())
    if (TZelConnection* session = connection->ProviderConnection(); session && session->GetConnected())
      FProcessor->ReadSession(*session);
  TScriptStatement st;
  if (!FProcessor->CutNext(FSQL, FPos, FCurrDelimiter, st)) return false;
  Locate(st);
  FCurrent = st;
  if (st.Type == stDelimiter) {
    FCurrDelimiter = st.NewDelimiter;
    return true;
  }
  if (!RunStatement(st)) {
    FStopped = true;
    return false;
  }
  return true;
}

bool TDAScript::InTransactionNow() const {
  TCustomDAConnection* connection = Connection();
  return connection && connection->GetConnected() && connection->InTransaction();
}

bool TDAScript::RunStatement(const TScriptStatement& st) {
  UString sql = FMacros.Count() > 0 ? FMacros.Expand(StatementText(st)) : StatementText(st);
  bool omit = st.Omit;
  if (BeforeExecute) BeforeExecute(*this, sql, omit);
  if (omit) return true;
  if (FBatching && !st.HoldsSemicolon && !FProcessor->RunsAlone(sql)) {
    // A statement that changes how the session reads text is a batch of its own.
    const bool changesReading = FProcessor->ChangesReading(sql);
    if ((changesReading || !FProcessor->MayJoinBatch(sql, FBatchLength)) && !RunBatch()) return false;
    FBatchLength += sql.size() + 3;
    FBatch.push_back({st, std::move(sql)});
    return !changesReading || RunBatch();
  }
  // Alone, after what the batch holds.
  if (FBatching && !RunBatch()) return false;
  const bool inTransaction = InTransactionNow();
  try {
    ExecuteText(sql);
  } catch (const EAbort&) {
    throw;
  } catch (const Exception& E) {
    if (!HandleFailure(E, st, sql, inTransaction)) return false;
  }
  if (AfterExecute) AfterExecute(*this, sql);
  return true;
}

bool TDAScript::HandleFailure(const Exception& E, const TScriptStatement& st, const UString& sql, bool inTransaction) {
  FErrorOffset = st.StartPos;
  FCurrent = st;
  // A transaction that was open and is gone (the session was lost, or the
  // server rolled it back) cannot go on: the rest of the script would run
  // outside it.
  if (inTransaction && !InTransactionNow()) throw;
  TErrorAction action = TErrorAction::eaException;
  if (OnError) OnError(*this, E, sql, action);
  switch (action) {
    case TErrorAction::eaAbort: return false;
    case TErrorAction::eaFail: throw;
    case TErrorAction::eaException:
      if (ShowException) ShowException(E);
      break;
    case TErrorAction::eaContinue: break;
  }
  return true;
}

bool TDAScript::RunBatch() {
  std::vector<TBatched> batch;
  batch.swap(FBatch);
  FBatchLength = 0;
  size_t first = 0;
  while (first < batch.size()) {
    // One text: the statements joined by ";", a line break after a line comment.
    UString text;
    for (size_t k = first; k < batch.size(); ++k) {
      if (k > first) text += batch[k - 1].Statement.EndsInLineComment ? u"\r\n;\r\n" : u";\r\n";
      text += batch[k].SQL;
    }
    const bool inTransaction = InTransactionNow();
    size_t done = batch.size();
    try {
      ExecuteText(text);
    } catch (const EAbort&) {
      throw;
    } catch (const Exception& E) {
      // The server stops at the failing statement: those before it are done.
      const int completed = FDataSet && FDataSet->GetIRecordSet() && FDataSet->GetIRecordSet()->GetCommand()
                                ? FDataSet->GetIRecordSet()->GetCommand()->CompletedStatements()
                                : -1;
      const size_t failed = first + std::min(static_cast<size_t>(std::max(completed, 0)), batch.size() - first - 1);
      for (size_t k = first; k < failed; ++k)
        if (AfterExecute) AfterExecute(*this, batch[k].SQL);
      if (!HandleFailure(E, batch[failed].Statement, batch[failed].SQL, inTransaction)) return false;
      first = failed + 1;
      continue;
    }
    for (size_t k = first; k < done; ++k)
      if (AfterExecute) AfterExecute(*this, batch[k].SQL);
    first = done;
  }
  return true;
}

UString DecodeScriptBytes(std::string_view bytes) {
  UString text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    text.resize(bytes.size() / 2);
    for (size_t k = 0; k < text.size(); ++k)
      text[k] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                      (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    text = Utf8ToUtf16(bytes.substr(3));
  } else {
    // Without a mark: UTF-8 when the bytes read as UTF-8 (dump tools write
    // it so). A script that declares UTF-8 for its session but holds other
    // bytes (binary values of a dump made without hexadecimal blobs) keeps
    // them as they are; anything else is read in the ANSI code page.
    try {
      text = Utf8ToUtf16(bytes);
    } catch (const EConvertError&) {
      text = DeclaresUtf8(bytes) ? Utf8ToUtf16KeepBytes(bytes) : AnsiToUtf16(bytes);
    }
  }
  return text;
}

void TDAScript::ExecuteStream(std::string_view bytes) {
  SetSQL(DecodeScriptBytes(bytes));
  Execute();
}

void TDAScript::ExecuteFile(const UString& fileName) {
  std::ifstream in(Utf16ToUtf8(fileName), std::ios::binary);
  if (!in) throw EDatabaseError(u"Cannot open file " + fileName);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ExecuteStream(bytes);
}

}  // namespace vix
