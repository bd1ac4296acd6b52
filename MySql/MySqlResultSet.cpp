#include "MySql/MySqlResultSet.h"

#include "MySql/MySqlSession.h"

namespace vix {

namespace {

// Into the field's own string: no temporary per name.
void Assign(std::string& to, ByteSpan s) {
  to.assign(reinterpret_cast<const char*>(s.data()), s.size());
}

bool IsNumericColumn(uint8_t type, int32_t length) {
  if (type == MYSQL_TYPE_TIMESTAMP) return length == 14 || length == 8;
  return type <= 9 || type == MYSQL_TYPE_YEAR;
}

// Bytes of a fixed-width binary value; 0 for a length-encoded one.
size_t BinaryValueWidth(uint8_t type) {
  switch (type) {
    case MYSQL_TYPE_TINY: return 1;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR: return 2;
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_FLOAT: return 4;
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_DOUBLE: return 8;
    default: return 0;
  }
}

}  // namespace

TMySqlFieldInfo ParseColumnDefinition(ByteSpan packet, bool protocol41, bool longFlag) {
  TMySqlReader r(packet);
  TMySqlFieldInfo f;
  if (protocol41) {
    r.ReadLengthString();  // catalog
    Assign(f.Database, r.ReadLengthString());
    Assign(f.Table, r.ReadLengthString());
    Assign(f.OrgTable, r.ReadLengthString());
    Assign(f.Name, r.ReadLengthString());
    Assign(f.OrgName, r.ReadLengthString());
    TMySqlReader fixed(r.ReadLengthString());
    f.CharsetNr = fixed.ReadUInt16();
    f.Length = fixed.ReadInt32();
    f._Type = fixed.ReadByte();
    f.Flags = fixed.ReadUInt16();
    f.Scale = fixed.ReadUInt16();
  } else {
    Assign(f.Table, r.ReadLengthString());
    f.OrgTable = f.Table;
    Assign(f.Name, r.ReadLengthString());
    TMySqlReader length(r.ReadLengthString());
    f.Length = static_cast<int32_t>(length.ReadInt24());
    TMySqlReader type(r.ReadLengthString());
    f._Type = type.ReadByte();
    TMySqlReader flags(r.ReadLengthString());
    if (longFlag) {
      f.Flags = flags.ReadUInt16();
    } else {
      f.Flags = flags.ReadByte();
    }
    f.Scale = flags.ReadByte();
  }
  if (IsNumericColumn(f._Type, f.Length)) f.Flags |= NUM_FLAG;
  return f;
}

void DecodeTextRow(ByteSpan row, std::vector<TMySqlBind>& binds) {
  const size_t size = row.size();
  size_t pos = 0;
  for (TMySqlBind& b : binds) {
    // Values under 251 bytes (one length byte) are read here; NULL and the
    // longer length forms go through the reader.
    if (pos < size && row[pos] < 251) {
      const size_t length = row[pos++];
      if (size - pos < length) RaiseMalformedPacket();
      b.IsNull = false;
      b.Offset = pos;
      b.Length = length;
      pos += length;
      continue;
    }
    TMySqlReader r(row, pos);
    bool isNull = false;
    const ByteSpan value = r.ReadLengthString(&isNull);
    b.IsNull = isNull;
    b.Offset = isNull ? 0 : static_cast<size_t>(value.data() - row.data());
    b.Length = value.size();
    pos = r.Position();
  }
}

void DecodeBinaryRow(ByteSpan row, std::span<const uint8_t> types, std::vector<TMySqlBind>& binds) {
  binds.resize(types.size());
  TMySqlReader r(row);
  if (r.ReadByte() != 0) RaiseMalformedPacket();
  const ByteSpan bitmap = r.ReadSpan((types.size() + 9) / 8);
  for (size_t i = 0; i < types.size(); ++i) {
    TMySqlBind& b = binds[i];
    b._Type = types[i];
    const size_t bit = i + 2;
    bool isNull = (bitmap[bit / 8] & (1u << (bit % 8))) != 0;
    ByteSpan value;
    if (!isNull) {
      const size_t width = BinaryValueWidth(types[i]);
      value = width ? r.ReadSpan(width) : r.ReadLengthString(&isNull);
    }
    b.IsNull = isNull;
    b.Offset = isNull ? 0 : static_cast<size_t>(value.data() - row.data());
    b.Length = isNull ? 0 : value.size();
  }
}

bool ParseEofPacket(ByteSpan packet, uint16_t& warnings, uint16_t& status) {
  if (packet.size() <= 1) return false;
  TMySqlReader r(packet, 1);
  warnings = r.ReadUInt16();
  status = r.ReadUInt16();
  return true;
}

TMySqlResultSet::TMySqlResultSet(TMySqlSession* session, std::vector<TMySqlFieldInfo> fields)
    : fsession(session), ffields(std::move(fields)) {
  FBind.Binds.resize(ffields.size());
}

TMySqlResultSet::~TMySqlResultSet() {
  if (fsession && fsession->FResultSet == this) fsession->FResultSet = nullptr;
}

TMySqlBinds* TMySqlResultSet::Read() {
  if (feof) return nullptr;
  if (!fsession) throw EMySqlException(CR_NULL_POINTER);
  TMySqlSession& s = *fsession;
  // A session that was closed under this result (a reconnect replaced it)
  // has nothing more to read.
  if (s.isClosed) {
    feof = true;
    throw EMySqlException(CR_SERVER_LOST);
  }
  try {
    s.net.Receive();
  } catch (const EMySqlException&) {
    feof = true;
    s.serverStatus &= ~SERVER_MORE_RESULTS_EXISTS;
    s.status = TMySqlStatus::msReady;
    throw;
  }
  const ByteSpan packet = s.net.Packet();
  if (IsEofPacket(packet)) {
    uint16_t warnings = 0, status = 0;
    feof = true;
    s.status = TMySqlStatus::msReady;
    if (ParseEofPacket(packet, warnings, status)) {
      s.warningCount = warnings;
      s.serverStatus = status;
    }
    return nullptr;
  }
  TMySqlBinds& row = fresultBind ? *fresultBind : FBind;
  try {
    if (fresultBind) {
      DecodeBinaryRow(packet, ftypes, row.Binds);
    } else {
      DecodeTextRow(packet, FBind.Binds);
    }
  } catch (const EMySqlException& e) {
    s.net.NoteError(e);
    feof = true;
    s.status = TMySqlStatus::msReady;
    throw;
  }
  row.Buffer = packet;
  ++frowCount;
  return &row;
}

void TMySqlResultSet::SetResultBinds(TMySqlBinds* binds) {
  fresultBind = binds;
  ftypes.clear();
  if (!binds) return;
  ftypes.reserve(ffields.size());
  for (const TMySqlFieldInfo& f : ffields) ftypes.push_back(f._Type);
  binds->Binds.assign(ffields.size(), TMySqlBind());
  binds->Buffer = ByteSpan();
}

void TMySqlResultSet::Clear() {
  if (fsession && !feof) {
    feof = true;
    fsession->FreeQuery();
  }
}

}  // namespace vix
