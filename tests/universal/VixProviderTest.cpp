// The provider registry, the typed options and the option text.
#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "universal/VixProvider.h"

namespace vix {
namespace {

// --- objects the options are assigned to ---------------------------------------

struct TRecorder {
  std::map<int32_t, Variant> Props;
  std::vector<int32_t> Order;
  void SetProp(int32_t prop, const Variant& value) {
    Props[prop] = value;
    Order.push_back(prop);
  }
};
struct TTestConnection : TRecorder {
  virtual ~TTestConnection() = default;
};
struct TTestConnectionChild : TTestConnection {};
struct TTestCommand : TRecorder {};
struct TTestRecordSet : TRecorder {};

enum : int32_t { kCharset = 1009, kTimeout = 1001, kUseUnicode = 1018, kProtocol = 1011, kDupKeys = 1040 };
enum : int32_t { kCommandTimeout = 1016, kFetchAll = 22 };

// A provider with a few options of every kind; its name is chosen per test.
class TTestProvider : public TVixProvider {
 public:
  explicit TTestProvider(UString name = u"MySQL") : FName(std::move(name)) {}
  UString GetProviderName() const override { return FName; }
  TParserClass GetParserClass() const override { return NewParser<TSQLParser>; }
  TVixSqlFormatterClass GetSqlFormatterClass() const override { return VixSqlFormatterClass<TVixSqlFormatter>(); }
  int Built = 0;

 protected:
  void CreateConnectionOptions(TOptionsList& list) override {
    ++Built;
    const std::vector<std::type_index> conn = {typeid(TTestConnection)};
    list.Add(std::make_unique<TBooleanOption>(u"UseUnicode", kUseUnicode, conn, false));
    list.Add(std::make_unique<TIntegerOption>(u"ConnectionTimeout", kTimeout, conn, 15));
    list.Add(std::make_unique<TStringOption>(u"Charset", kCharset, conn, Variant(UString())));
    list.Add(std::make_unique<TEnumeratorOption>(
        u"Protocol", kProtocol, conn, 0, u"TMyProtocol",
        std::vector<UString>{u"mpDefault", u"mpTCP", u"mpSocket", u"mpPipe", u"mpMemory", u"mpSSL", u"mpHttp"}));
    list.Add(std::make_unique<TEnumeratorOption>(u"DuplicateKeys", kDupKeys, conn, 0, u"_TMyDuplicateKeys",
                                                 std::vector<UString>{u"_dkNone", u"_dkIgnore", u"_dkReplace"}));
  }
  void CreateSQLOptions(TOptionsList& list) override {
    list.Add(std::make_unique<TIntegerOption>(u"CommandTimeout", kCommandTimeout,
                                              std::vector<std::type_index>{typeid(TTestCommand)}, 0));
  }
  void CreateDataSetOptions(TOptionsList& list) override {
    const std::vector<std::type_index> both = {typeid(TTestRecordSet), typeid(TTestCommand)};
    list.Add(std::make_unique<TBooleanOption>(u"FetchAll", kFetchAll,
                                              std::vector<std::type_index>{typeid(TTestRecordSet)}, true));
    list.Add(std::make_unique<TIntegerOption>(u"CommandTimeout", kCommandTimeout, both, 0));
  }

 private:
  UString FName;
};

using test::ErrorOf;

// --- options -----------------------------------------------------------------------

TEST(TOptionsList, ImportTable) {
  struct Case {
    std::vector<UString> lines;
    std::string error;  // empty: the import succeeds
    bool useUnicode;
    int32_t timeout;
    UString charset;
    int32_t protocol;
    int32_t dupKeys;
  } const cases[] = {
      {{u"MySQL.UseUnicode=True"}, "", true, 15, u"", 0, 0},
      {{u"UseUnicode=True"}, "", true, 15, u"", 0, 0},
      {{u"mysql.usEunicode=TRUE"}, "", true, 15, u"", 0, 0},
      {{u"Oracle.UseUnicode=True"}, "", false, 15, u"", 0, 0},
      {{u"MySQL.NoSuchOption=1", u"UseUnicode", u""}, "", false, 15, u"", 0, 0},
      {{u"MySQL.UseUnicode=yes"}, "Invalid value: yes for option UseUnicode", false, 0, u"", 0, 0},
      {{u"MySQL.Charset=utf8.bin"}, "", false, 15, u"utf8.bin", 0, 0},
      {{u"Charset=utf8.bin"}, "", false, 15, u"utf8.bin", 0, 0},
      {{u"Charset= x "}, "", false, 15, u" x ", 0, 0},
      {{u"UseUnicode=True", u"MySQL.UseUnicode=False"}, "", true, 15, u"", 0, 0},
      {{u"ConnectionTimeout= 15 "}, "", false, 15, u"", 0, 0},
      {{u"ConnectionTimeout=\t30\r"}, "", false, 30, u"", 0, 0},
      {{u"ConnectionTimeout=$1F"}, "", false, 31, u"", 0, 0},
      {{u"ConnectionTimeout=-2147483647"}, "", false, -2147483647, u"", 0, 0},
      {{u"ConnectionTimeout=-2147483648"}, "", false, INT32_MIN, u"", 0, 0},
      {{u"ConnectionTimeout=15 a"}, "Invalid value: 15 a for option ConnectionTimeout", false, 0, u"", 0, 0},
      {{u"ConnectionTimeout=2147483648"},
       "Invalid value: 2147483648 for option ConnectionTimeout",
       false,
       0,
       u"",
       0,
       0},
      {{u"Protocol=mpTCP"}, "", false, 15, u"", 1, 0},
      {{u"Protocol= MPhttp"}, "", false, 15, u"", 6, 0},
      {{u"Protocol=TCP"}, "Invalid value: TCP for option Protocol", false, 0, u"", 0, 0},
      {{u"DuplicateKeys=dkReplace"}, "", false, 15, u"", 0, 2},
      {{u"DuplicateKeys=_dkReplace"}, "Invalid value: _dkReplace for option DuplicateKeys", false, 0, u"", 0, 0},
  };
  TTestProvider provider;
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.lines[0]));
    TTestConnection conn;
    TObjectOptionTarget target(conn, otConnection);
    const std::string error = ErrorOf([&] { provider.SetObjectProps(target, c.lines); });
    if (!c.error.empty()) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    ASSERT_EQ(error, "<none>");
    ASSERT_EQ(conn.Props.size(), 5u);
    EXPECT_EQ(conn.Props[kUseUnicode].VarType(), varBoolean);
    EXPECT_EQ(conn.Props[kUseUnicode].AsBoolean(), c.useUnicode);
    EXPECT_EQ(conn.Props[kTimeout].VarType(), varInteger);
    EXPECT_EQ(conn.Props[kTimeout].AsInteger(), c.timeout);
    EXPECT_EQ(conn.Props[kCharset].AsString(), c.charset);
    EXPECT_EQ(conn.Props[kProtocol].AsInteger(), c.protocol);
    EXPECT_EQ(conn.Props[kDupKeys].AsInteger(), c.dupKeys);
  }
}

TEST(TOptionsList, SortedByNameAndStoppedByAnInvalidValue) {
  TTestProvider provider;
  TOptionsList& list = provider.GetConnectionOptions();
  EXPECT_EQ(&list, &provider.GetConnectionOptions());  // built once
  EXPECT_EQ(provider.Built, 1);
  EXPECT_EQ(list.GetPrefix(), u"MySQL");
  std::vector<UString> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.GetOption(i)->GetOptionName());
  EXPECT_EQ(names,
            (std::vector<UString>{u"Charset", u"ConnectionTimeout", u"DuplicateKeys", u"Protocol", u"UseUnicode"}));
  EXPECT_EQ(list.OptionByName(u"useunicode"), list.GetOption(4));
  EXPECT_EQ(list.OptionByName(u"SSLCipherList"), nullptr);
  EXPECT_THROW(list.GetOption(5), Exception);

  // Options before the invalid one are assigned; none after it.
  TTestConnection conn;
  TObjectOptionTarget target(conn, otConnection);
  const std::vector<UString> lines = {u"Charset=x", u"Protocol=nope", u"UseUnicode=True"};
  EXPECT_EQ(ErrorOf([&] { provider.SetObjectProps(target, lines); }), "Invalid value: nope for option Protocol");
  EXPECT_EQ(conn.Order, (std::vector<int32_t>{kCharset, kTimeout, kDupKeys}));
  EXPECT_EQ(conn.Props[kCharset].AsString(), u"x");
}

TEST(TOptionsList, OnlyTheExactClassesAndTheListOfTheTargetsKind) {
  TTestProvider provider;
  const std::vector<UString> lines = {u"UseUnicode=True", u"CommandTimeout=7", u"FetchAll=False"};

  TTestConnectionChild child;  // a subclass is not named by the options
  TObjectOptionTarget childTarget(child, otConnection);
  provider.SetObjectProps(childTarget, lines);
  EXPECT_TRUE(child.Props.empty());

  TTestCommand command;
  TObjectOptionTarget commandTarget(command, otCommand);
  provider.SetObjectProps(commandTarget, lines);
  EXPECT_EQ(command.Order, std::vector<int32_t>{kCommandTimeout});
  EXPECT_EQ(command.Props[kCommandTimeout].AsInteger(), 7);

  // A record set takes the dataset options, and its command after it.
  TTestRecordSet recordSet;
  TTestCommand rsCommand;
  TObjectOptionTarget rsCommandTarget(rsCommand, otCommand);
  TObjectOptionTarget recordSetTarget(recordSet, otRecordSet, &rsCommandTarget);
  provider.SetObjectProps(recordSetTarget, lines);
  EXPECT_EQ(recordSet.Order, (std::vector<int32_t>{kCommandTimeout, kFetchAll}));
  EXPECT_FALSE(recordSet.Props[kFetchAll].AsBoolean());
  EXPECT_EQ(rsCommand.Order, std::vector<int32_t>{kCommandTimeout});

  TTestConnection other;
  TObjectOptionTarget otherTarget(other, otOther);
  provider.SetObjectProps(otherTarget, lines);
  EXPECT_TRUE(other.Props.empty());
}

TEST(TOption, KindsConvertBothWays) {
  TTestProvider provider;
  const TOptionsList& list = provider.GetConnectionOptions();
  std::vector<UString> values;

  const TOption* protocol = list.OptionByName(u"Protocol");
  EXPECT_EQ(protocol->GetAsString(Variant(int32_t(5))), u"mpSSL");
  protocol->GetValuesList(values);
  EXPECT_EQ(values.front(), u"mpDefault");
  EXPECT_EQ(values.back(), u"mpHttp");

  const TOption* dup = list.OptionByName(u"DuplicateKeys");
  EXPECT_EQ(dup->GetAsString(Variant(int32_t(1))), u"dkIgnore");
  dup->GetValuesList(values);
  EXPECT_EQ(values, (std::vector<UString>{u"dkNone", u"dkIgnore", u"dkReplace"}));

  const TOption* unicode = list.OptionByName(u"UseUnicode");
  EXPECT_EQ(unicode->GetAsString(Variant(true)), u"True");
  unicode->GetValuesList(values);
  EXPECT_EQ(values, (std::vector<UString>{u"False", u"True"}));
  EXPECT_EQ(list.OptionByName(u"ConnectionTimeout")->GetAsString(Variant(int32_t(-5))), u"-5");
  list.OptionByName(u"Charset")->GetValuesList(values);
  EXPECT_TRUE(values.empty());
}

TEST(SplitOptionLine, PrefixNameValue) {
  struct Case {
    UString line;
    bool valid;
    UString prefix, name, value;
  } const cases[] = {
      {u"MySQL.Charset=utf8.bin", true, u"MySQL", u"Charset", u"utf8.bin"},
      {u"Charset=utf8.bin", true, u"", u"Charset", u"utf8.bin"},
      {u"a.b.c=d=e", true, u"a", u"b.c", u"d=e"},
      {u"=x", true, u"", u"", u"x"},
      {u"MySQL.Charset", false, u"", u"", u""},
  };
  for (const Case& c : cases) {
    const TOptionLine line = SplitOptionLine(c.line);
    EXPECT_EQ(line.Valid, c.valid) << ToUtf8(c.line);
    EXPECT_EQ(line.Prefix, c.prefix) << ToUtf8(c.line);
    EXPECT_EQ(line.Name, c.name) << ToUtf8(c.line);
    EXPECT_EQ(line.Value, c.value) << ToUtf8(c.line);
  }
}

// --- option text -------------------------------------------------------------------

class TRecordingHolder : public TSpecificOptionsHolder {
 public:
  using TSpecificOptionsHolder::TSpecificOptionsHolder;
  std::vector<std::string> Notices;

 protected:
  void ValuesChanging() override { Notices.push_back("before " + ToUtf8(Values().GetText())); }
  void ValuesChanged() override {
    TSpecificOptionsHolder::ValuesChanged();
    Notices.push_back("after " + ToUtf8(Values().GetText()));
  }
};

TEST(TSpecificOptionsList, PrefixesCompletedAndNamesFound) {
  TTestProvider provider;
  TRecordingHolder holder([&]() -> TVixProvider& { return provider; });
  TSpecificOptionsList& text = holder.Values();
  EXPECT_FALSE(holder.GetIsModified());

  text.Add(u"UseUnicode=True");
  EXPECT_EQ(holder.Notices, (std::vector<std::string>{"before ", "after MySQL.UseUnicode=True\r\n"}));
  EXPECT_TRUE(holder.GetIsModified());
  text.Add(u"Oracle.Charset=x");
  text.Add(u"");
  text.Add(u"Charset=utf8.bin");
  text.Insert(0, u"ConnectionTimeout=3");
  EXPECT_EQ(text.Lines(), (std::vector<UString>{u"MySQL.ConnectionTimeout=3", u"MySQL.UseUnicode=True",
                                                u"Oracle.Charset=x", u"", u"MySQL.Charset=utf8.bin"}));

  EXPECT_EQ(text.IndexOfName(u"useunicode"), 1);
  EXPECT_EQ(text.IndexOfName(u"MYSQL.useunicode"), 1);
  EXPECT_EQ(text.IndexOfName(u"Oracle.UseUnicode"), -1);
  EXPECT_EQ(text.IndexOfName(u"Oracle.Charset"), 2);
  EXPECT_EQ(text.Values(u"Charset"), u"utf8.bin");
  EXPECT_EQ(text.Values(u"NoSuch"), u"");

  text.SetValues(u"Charset", u"latin1");  // replaced where it was
  EXPECT_EQ(text.Get(4), u"MySQL.Charset=latin1");
  text.SetValues(u"Protocol", u"mpTCP");  // added
  EXPECT_EQ(text.Get(5), u"MySQL.Protocol=mpTCP");
  text.SetValues(u"Charset", u"");  // removed
  EXPECT_EQ(text.IndexOfName(u"Charset"), -1);
  EXPECT_EQ(text.Count(), 5);

  text.SetText(u"UseUnicode=True\r\nOracle.X=1\nConnectionTimeout=9");
  EXPECT_EQ(text.Lines(),
            (std::vector<UString>{u"MySQL.UseUnicode=True", u"Oracle.X=1", u"MySQL.ConnectionTimeout=9"}));
  text.Put(1, u"Charset=k");
  EXPECT_EQ(text.Get(1), u"MySQL.Charset=k");
  text.Delete(1);
  EXPECT_EQ(text.Count(), 2);
  EXPECT_THROW(text.Delete(2), Exception);
}

TEST(TSpecificOptionsList, DefaultsComeBackWhenALineIsRemoved) {
  TTestProvider provider;
  TSpecificOptionsHolder holder([&]() -> TVixProvider& { return provider; });
  holder.Values().SetText(u"UseUnicode=True\r\nConnectionTimeout=30");
  TTestConnection conn;
  TObjectOptionTarget target(conn, otConnection);
  provider.SetObjectProps(target, holder.Values().Lines());
  EXPECT_TRUE(conn.Props[kUseUnicode].AsBoolean());
  EXPECT_EQ(conn.Props[kTimeout].AsInteger(), 30);

  holder.SetIsModified(false);
  holder.Values().SetValues(u"UseUnicode", u"");
  EXPECT_TRUE(holder.GetIsModified());
  provider.SetObjectProps(target, holder.Values().Lines());
  EXPECT_FALSE(conn.Props[kUseUnicode].AsBoolean());
  EXPECT_EQ(conn.Props[kTimeout].AsInteger(), 30);
}

TEST(TSpecificOptionsList, WithoutProviderAnUnprefixedLineFails) {
  TRecordingHolder holder(nullptr);
  TSpecificOptionsList& text = holder.Values();
  try {
    text.Add(u"UseUnicode=True");
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Provider is not defined");
  }
  EXPECT_EQ(text.Count(), 0);
  EXPECT_TRUE(holder.Notices.empty());  // a failed change announces nothing
  EXPECT_FALSE(holder.GetIsModified());
  text.Add(u"MySQL.UseUnicode=True");  // prefixed lines need no provider
  text.Add(u"");
  EXPECT_EQ(text.Count(), 2);
  EXPECT_EQ(text.IndexOfName(u"MySQL.UseUnicode"), 0);
}

// --- registry ---------------------------------------------------------------------

class TSQLiteTestProvider : public TTestProvider {
 public:
  TSQLiteTestProvider() : TTestProvider(ClassProviderName()) {}
  static UString ClassProviderName() { return u"SQLite"; }
};
class TBogusProvider : public TTestProvider {
 public:
  static UString ClassProviderName() { return u"Bogus"; }
};

TEST(TVixProviders, ThirteenNamesInTheirOrder) {
  EXPECT_EQ(VixProviders().GetDescriptorNames(),
            (std::vector<UString>{u"Access", u"Advantage", u"ASE", u"DB2", u"DBF", u"InterBase", u"MySQL", u"NexusDB",
                                  u"ODBC", u"Oracle", u"PostgreSQL", u"SQL Server", u"SQLite"}));
  EXPECT_EQ(VixProviders().GetProviderDesc(u"sql server").ProviderShortName, u"SQLServer");
  EXPECT_EQ(VixProviders().GetProviderDesc(u"mysql").ProviderName, u"MySQL");
}

TEST(TVixProviders, LookUpMessages) {
  struct Case {
    UString name;
    std::string error;
  } const cases[] = {
      {u"Bogus", "Bogus is not a valid provider name"},
      {u" MySQL", " MySQL is not a valid provider name"},
      {u"MySQL ", "MySQL  is not a valid provider name"},
      {u"", " is not a valid provider name"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf([&] { VixProviders().GetProviderDesc(c.name); }), c.error);
    EXPECT_EQ(VixProviders().GetProvider(c.name), nullptr);
  }
  EXPECT_EQ(ErrorOf([] { VixProviders().RegisterProvider(VixProviderClass<TBogusProvider>()); }),
            "Bogus is not a valid provider name");
  EXPECT_EQ(ErrorOf([] { RaiseProviderNotRegistered(u"SQL Server"); }),
            "SQL Server provider is not registered. You should add the SQLServerVixProvider unit to the uses clause "
            "of any unit in your project or place the TSQLServerVixProvider component on the form.");
  EXPECT_EQ(ErrorOf([] { RaiseProviderNotRegistered(u"Nope"); }), "Nope is not a valid provider name");
}

TEST(TVixProviders, RegisterLookUpUnregister) {
  TVixProviders& registry = VixProviders();
  const TVixProviderClass cls = VixProviderClass<TSQLiteTestProvider>();
  EXPECT_EQ(registry.GetProvider(u"SQLite"), nullptr);
  registry.RegisterProvider(cls);
  TVixProvider* provider = registry.GetProvider(u"sqlite");
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(provider->GetProviderName(), u"SQLite");
  EXPECT_EQ(registry.GetProviderDesc(u"SQLITE").Provider.get(), provider);
  registry.RegisterProvider(cls);  // once is enough: the instance stays
  EXPECT_EQ(registry.GetProvider(u"SQLite"), provider);
  std::vector<UString> names = {u"stale"};
  registry.GetProviderNames(names);
  EXPECT_EQ(names.back(), u"SQLite");
  EXPECT_EQ(std::count(names.begin(), names.end(), u"stale"), 0);

  registry.UnRegisterProvider(cls);
  EXPECT_EQ(registry.GetProvider(u"SQLite"), nullptr);
  registry.GetProviderNames(names);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"SQLite"), 0);
  EXPECT_EQ(ErrorOf([&] { RaiseProviderNotRegistered(u"sqlite"); }).substr(0, 40),
            "sqlite provider is not registered. You s");
}

std::atomic<int> dbfInstances{0};
class TDBFTestProvider : public TTestProvider {
 public:
  TDBFTestProvider() : TTestProvider(ClassProviderName()) { ++dbfInstances; }
  static UString ClassProviderName() { return u"DBF"; }
};

TEST(TVixProviders, ThreadsRegisteringAtOnceMakeOneProvider) {
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  std::atomic<int> seen{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int round = 0; round < 200; ++round) {
        VixProviders().RegisterProvider(VixProviderClass<TDBFTestProvider>());
        std::vector<UString> names;
        VixProviders().GetProviderNames(names);
        if (std::find(names.begin(), names.end(), u"DBF") != names.end()) ++seen;
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(dbfInstances, 1);
  EXPECT_EQ(seen, 8 * 200);
  VixProviders().UnRegisterProvider(VixProviderClass<TDBFTestProvider>());
  EXPECT_EQ(VixProviders().GetProvider(u"DBF"), nullptr);
}

// Connections in several threads open through one provider at once: its
// option lists are built once, and every thread sees them whole.
TEST(TVixProviders, OptionListsAreBuiltOnceForThreadsOpeningTogether) {
  for (int round = 0; round < 100; ++round) {
    TTestProvider provider;
    std::atomic<bool> go{false};
    std::atomic<int> whole{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        const TOptionsList& list = provider.GetConnectionOptions();
        if (list.Count() == 5 && list.OptionByName(u"Protocol") != nullptr) ++whole;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    ASSERT_EQ(provider.Built, 1) << "round " << round;
    ASSERT_EQ(whole, 4) << "round " << round;
  }
}

}  // namespace
}  // namespace vix
