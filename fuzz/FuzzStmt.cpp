// The replies to prepared statements on an open session: the prepare reply
// with its parameter and column definitions, the execute reply and its binary
// rows, read through the client API. The first byte chooses the protocol
// (bit 0: 4.1), whether rows are bound as binary rows (bit 1) and a second
// execution (bit 2); the rest is what the server sends.
#include <memory>

#include "FuzzSupport.h"
#include "MySql/MySqlApiDirect.h"

namespace {

void ReadRows(vix::TMySQLAPIDirect& api, vix::PMYSQL_STMT s) {
  vix::PMYSQL_ROW row = nullptr;
  while (api._mysql_stmt_fetch(s, row) == 0) {
    if (!row) __builtin_trap();
    const std::vector<vix::TMySqlFieldInfo>& fields = s->Fields();
    if (row->Binds.size() > fields.size()) __builtin_trap();
    for (size_t i = 0; i < row->Binds.size(); ++i) {
      const vix::TMySqlBind& b = row->Binds[i];
      if (b.IsNull) continue;
      if (b.Offset > row->Buffer.size() || b.Length > row->Buffer.size() - b.Offset) __builtin_trap();
      try {
        vix::BinaryValue(fields[i], row->Buffer.subspan(b.Offset, b.Length));
      } catch (const vix::EMySqlException&) {
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static vix::TMySQLAPIDirect api;
  vix::PMYSQL m = api.mysql_init(nullptr);
  m->net.SetVio(std::make_unique<vix::fuzz::TReplayVio>(vix::fuzz::Input(data + 1, size - 1)));
  m->net.vio()->Connect();
  m->net.SetMaxPacketSize(1 << 22);
  uint32_t caps = vix::CLIENT_LONG_FLAG | vix::CLIENT_TRANSACTIONS;
  if (data[0] & 1) caps |= vix::CLIENT_PROTOCOL_41;
  m->serverCapabilities = caps;
  m->clientFlag = caps;
  vix::PMYSQL_STMT s = api.mysql_stmt_init(m);
  vix::TParamDescs params;
  auto p = std::make_unique<vix::TParamDesc>();
  p->SetDataType(4);  // 32-bit integer
  p->SetValue(vix::Variant(1));
  params.Add(std::move(p));
  const std::string q = "SELECT ?";
  if (api.mysql_stmt_prepare(s, q.data(), q.size()) == 0) {
    if (data[0] & 2) api._mysql_stmt_bind_result(s);
    for (int run = 0; run < ((data[0] & 4) ? 2 : 1); ++run) {
      if (api._mysql_stmt_execute(s, params, true) != 0) break;
      ReadRows(api, s);
    }
  }
  api.mysql_stmt_close(s);
  api.mysql_close(m);
  return 0;
}
