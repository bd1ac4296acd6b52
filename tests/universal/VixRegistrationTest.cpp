// The MySQL provider is registered by the program's call at start-up, from a
// static link like the program's; nothing registers by itself.
#include <typeinfo>
#include <vector>

#include "MySql/MySQLVixProvider.h"
#include "TestSupport.h"
#include "universal/Vix.h"

namespace vix {
namespace {

TEST(Registration, TheProgramRegistersMySQLAtStartUp) {
  EXPECT_EQ(VixProviders().GetProvider(u"MySQL"), nullptr);
  TVixConnection connection;
  connection.SetProviderName(u"MySQL");  // set before the provider is there
  EXPECT_EQ(connection.GetProvider(), nullptr);

  RegisterMySQLVixProvider();
  TVixProvider* provider = VixProviders().GetProvider(u"mysql");
  ASSERT_NE(provider, nullptr);
  EXPECT_TRUE(typeid(*provider) == typeid(TMySQLVixProvider));
  RegisterMySQLVixProvider();  // again: the same provider
  EXPECT_EQ(VixProviders().GetProvider(u"MySQL"), provider);
  std::vector<UString> names;
  VixProviders().GetProviderNames(names);
  EXPECT_EQ(names, std::vector<UString>{u"MySQL"});

  EXPECT_EQ(&connection.CheckProvider(), provider);
}

}  // namespace
}  // namespace vix
