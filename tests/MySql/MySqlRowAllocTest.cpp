// Rows are read into the reused packet buffer and decoded in place: once the
// first row has sized the buffers, reading more rows allocates nothing.
#include <atomic>
#include <cstdlib>
#include <new>

#include "MemoryVio.h"
#include "MySql/MySqlApiDirect.h"
#include "ServerScript.h"
#include "TestSupport.h"

namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace vix {
namespace {

using test::B;
using test::Packet;

TEST(MySqlRows, ReadingRowsAllocatesNothingPerRow) {
  constexpr int kRows = 1000;
  std::string reply =
      Packet(B({2}), 1) + Packet(test::ColumnDef(), 2) + Packet(test::ColumnDef(), 3) + Packet(test::kEof, 4);
  uint8_t seq = 5;
  for (int i = 0; i < kRows; ++i) {
    const std::string value = std::to_string(i);
    reply += Packet(B({static_cast<int>(value.size())}) + value + B({0xFB}), seq++);
  }
  reply += Packet(test::kEof, seq);

  TMySQLAPIDirect api;
  PMYSQL m = api.mysql_init(nullptr);
  api.mysql_options(m, MYSQL_OPT_PROTOCOL, MYSQL_PROTOCOL_MEMORY);
  m->net.SetVio(std::make_unique<test::TMemoryVio>(test::kGreeting + test::kLoginOk + reply));
  ASSERT_EQ(api.mysql_real_connect(m, "mem", "user", "pw", "db", 1, "", 0), m) << api.mysql_error(m);
  ASSERT_EQ(api.mysql_real_query(m, "SELECT c, c FROM t", 18), 0) << api.mysql_error(m);
  PMYSQL_RES res = api.mysql_use_result(m);
  ASSERT_NE(res, nullptr);
  ASSERT_NE(api.mysql_fetch_row(res), nullptr);
  const long before = gAllocations.load();
  int rows = 1;
  long lengths = 0;
  while (PMYSQL_ROW row = api.mysql_fetch_row(res)) {
    ++rows;
    lengths += static_cast<long>(row->Binds[0].Length);
    EXPECT_TRUE(api._mysql_fetch_value_is_null(row, 1));
  }
  const long during = gAllocations.load() - before;
  EXPECT_EQ(rows, kRows);
  EXPECT_EQ(api.mysql_errno(m), 0u);
  EXPECT_GT(lengths, 0);
  EXPECT_EQ(during, 0);
  api.mysql_free_result(res);
  api.mysql_close(m);
}

}  // namespace
}  // namespace vix
