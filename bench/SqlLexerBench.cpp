// Lexer and parameter-scan throughput over a large text of realistic statements.
#include <benchmark/benchmark.h>

#include "Common/ZelAccess.h"
#include "Common/ZelParser.h"
#include "SqlCorpus.h"

namespace vix {
namespace {

// The corpus repeated to about one million characters, statements joined by ";\r\n".
const UString& LargeSql() {
  static const UString text = [] {
    UString t;
    while (t.size() < 1000000)
      for (const UString& s : test::SqlCorpus()) {
        if (s.find(u"unterminated") != UString::npos) continue;  // would swallow the rest
        t += s;
        t += u";\r\n";
      }
    return t;
  }();
  return text;
}

template <typename Parser>
void BM_Lexer(benchmark::State& state) {
  const UString& text = LargeSql();
  int64_t lexemes = 0;
  for (auto _ : state) {
    Parser p(text);
    p.SetOmitBlank(false);
    p.SetQuotedString(true);
    UString lexem;
    while (p.GetNext(lexem) != lkEnd) ++lexemes;
    benchmark::DoNotOptimize(lexem);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size() * 2));
  state.counters["chars/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * text.size(), benchmark::Counter::kIsRate);
  state.counters["lexemes/s"] = benchmark::Counter(static_cast<double>(lexemes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Lexer<TSQLParser>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lexer<TMyParser>)->Unit(benchmark::kMillisecond);

class TMyScanCommand : public TZelCommand {
 public:
  TParserClass GetParserClass() const override { return &NewParser<TMyParser>; }
  char16_t LeftQuote() const override { return u'`'; }
  char16_t RightQuote() const override { return u'`'; }
};

void BM_ParseSQLLarge(benchmark::State& state) {
  const UString& text = LargeSql();
  TMyScanCommand cmd;
  for (auto _ : state) {
    TParamDescs params;
    benchmark::DoNotOptimize(cmd.ParseSQL(text, &params));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size() * 2));
}
BENCHMARK(BM_ParseSQLLarge)->Unit(benchmark::kMillisecond);

void BM_ParseSQLDialog(benchmark::State& state) {
  const UString& text = test::SqlCorpus().front();
  TMyScanCommand cmd;
  for (auto _ : state) {
    TParamDescs params;
    benchmark::DoNotOptimize(cmd.ParseSQL(text, &params));
  }
}
BENCHMARK(BM_ParseSQLDialog);

}  // namespace
}  // namespace vix
