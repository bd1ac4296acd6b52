#include "MySql/MySqlNet.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "rtl/CodePage.h"
#include "rtl/UString.h"

namespace vix {

namespace {

const char16_t* const kClientErrors[] = {
    u"Unknown MySQL error",
    u"Can't create UNIX socket (%d)",
    u"Can't connect to local MySQL server through socket '%-.64s' (%d)",
    u"Can't connect to MySQL server on '%s' (%d)",
    u"Can't create TCP/IP socket (%d)",
    u"Unknown MySQL Server Host '%-.64s' (%d)",
    u"MySQL server has gone away",
    u"Protocol mismatch. Server Version = %d Client Version = %d",
    u"MySQL client run out of memory",
    u"Wrong host info",
    u"Localhost via UNIX socket",
    u"%-.64s via TCP/IP",
    u"Error in server handshake",
    u"Lost connection to MySQL server during query",
    u"Commands out of sync;  You can't run this command now",
    u"%-.64s via named pipe",
    u"Can't wait for named pipe to host: %s  pipe: %s (%s)",
    u"Can't open named pipe to host: %s  pipe: %s (%s)",
    u"Can't set state of named pipe to host: %s  pipe: %s (%s)",
    u"Can't initialize character set %s (path: %s)",
    u"Got packet bigger than 'max_allowed_packet'",
    u"Embedded server",
    u"Error on SHOW SLAVE STATUS:",
    u"Error on SHOW SLAVE HOSTS:",
    u"Error connecting to slave:",
    u"Error connecting to master:",
    u"SSL connection error",
    u"Malformed packet",
    u"Invalid use of null pointer",
    u"Statement not prepared",
    u"Not all parameters data supplied",
    u"Data truncated",
    u"No parameters exists in the statement",
    u"Invalid parameter number",
    u"Can't send long data for non string or binary data types (parameter: %s)",
    u"Using unsupported buffer type: %s  (parameter: %s)",
    u"Shared memory (%s)",
    u"Can't open shared memory. Request event don't create  (%s)",
    u"Can't open shared memory. Answer event don't create  (%s)",
    u"Can't open shared memory. File mapping don't create  (%s)",
    u"Can't open shared memory. Map of memory don't create  (%s)",
    u"Can't open shared memory. File mapping don't create for client (%s)",
    u"Can't open shared memory. Map of memory don't create for client (%s)",
    u"Can't open shared memory. %s event don't create for client (%s)",
    u"Can't open shared memory. Server abandoded and don't sent the answer event (%s)",
    u"Can't open shared memory. Can't send the request event to server (%s)",
    u"Wrong or unknown protocol",
    u"Invalid connection handle",
};
static_assert(std::size(kClientErrors) == CLIENT_ERROR_LAST - CLIENT_ERROR_BASE + 1);

UString MessageOf(int errorCode, UStringView detail, std::initializer_list<FormatArg> args) {
  UString text(ClientErrorText(errorCode));
  if (args.size() != 0) text = Format(text, args);
  if (!detail.empty()) {
    text += u"\r\n";
    text += detail;
  }
  return text;
}

// Server texts arrive in the connection's character set; UTF-8 is read as
// such, anything else as the ANSI code page.
UString ServerText(std::string_view bytes) {
  try {
    return Utf8ToUtf16(bytes);
  } catch (const EConvertError&) {
    return AnsiToUtf16(bytes);
  }
}

}  // namespace

UStringView ClientErrorText(int errorCode) {
  if (errorCode == CR_SECURE_AUTH)
    return u"Connection using old (pre-4.1.1) authentication protocol refused (client option 'secure_auth' enabled)";
  if (errorCode < CLIENT_ERROR_BASE || errorCode > CLIENT_ERROR_LAST) return {};
  return kClientErrors[errorCode - CLIENT_ERROR_BASE];
}

EMySqlException::EMySqlException(int errorCode)
    : Exception(UString(ClientErrorText(errorCode))), FErrorCode(errorCode) {}

EMySqlException::EMySqlException(int errorCode, UStringView detail, std::initializer_list<FormatArg> args)
    : Exception(MessageOf(errorCode, detail, args)), FErrorCode(errorCode) {}

EMySqlException EMySqlException::WithMessage(int errorCode, UString message) {
  EMySqlException e(errorCode);
  e.SetMessage(std::move(message));
  return e;
}

bool BreaksTheStream(int errorCode) {
  switch (errorCode) {
    case CR_SERVER_LOST:
    case CR_MALFORMED_PACKET:
    case CR_NET_PACKET_TOO_LARGE:
    case CR_SERVER_HANDSHAKE_ERR:
    case CR_SECURE_AUTH:
    case ER_NET_PACKETS_OUT_OF_ORDER:
    case ER_NET_UNCOMPRESS_ERROR:
    case ER_CONNECTION_KILLED: return true;
    default: return false;
  }
}

void RaiseMalformedPacket() {
  throw EMySqlException(CR_MALFORMED_PACKET);
}

// --- TMySqlReader ---------------------------------------------------------------

double TMySqlReader::ReadDouble() {
  const uint64_t bits = ReadLE(8);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

std::string TMySqlReader::ReadString(size_t count) {
  ByteSpan s = ReadSpan(count);
  return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

std::string TMySqlReader::ReadNulString() {
  const uint8_t* begin = FBytes.data() + FPos;
  const uint8_t* end = FBytes.data() + FBytes.size();
  const uint8_t* zero = std::find(begin, end, uint8_t{0});
  std::string s(reinterpret_cast<const char*>(begin), static_cast<size_t>(zero - begin));
  FPos = static_cast<size_t>(zero - FBytes.data()) + (zero != end ? 1 : 0);
  return s;
}

int64_t TMySqlReader::ReadLongFieldLength(uint8_t first) {
  switch (first) {
    case 0xFB: return kNullLength;
    case 0xFC: return static_cast<int64_t>(ReadLE(2));
    case 0xFD: return static_cast<int64_t>(ReadLE(3));
    case 0xFE: {
      const uint64_t v = ReadLE(8);
      if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) RaiseMalformedPacket();
      return static_cast<int64_t>(v);
    }
    default: RaiseMalformedPacket();
  }
}

EMySqlException ServerError(ByteSpan packet) {
  TMySqlReader r(packet);
  if (r.ReadByte() != 0xFF) RaiseMalformedPacket();
  const uint16_t number = r.ReadUInt16();
  const ByteSpan rest = r.ReadSpan(r.Remaining());
  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  return EMySqlException(number, ServerText(text.substr(0, text.find('\0'))));
}

// --- TMySqlWriter ---------------------------------------------------------------

void TMySqlWriter::WriteDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  WriteInt(bits, 8);
}

void TMySqlWriter::WriteFieldLength(uint64_t length) {
  if (length <= 250) {
    WriteByte(static_cast<uint8_t>(length));
  } else if (length <= 0xFFFF) {
    WriteByte(0xFC);
    WriteInt(length, 2);
  } else if (length <= 0xFFFFFF) {
    WriteByte(0xFD);
    WriteInt(length, 3);
  } else {
    WriteByte(0xFE);
    WriteInt(length, 8);
  }
}

// --- zlib ----------------------------------------------------------------------

void InflateFrame(ByteSpan data, std::span<uint8_t> out) {
  uLongf produced = static_cast<uLongf>(out.size());
  const int rc = uncompress(out.data(), &produced, data.data(), static_cast<uLong>(data.size()));
  if (rc != Z_OK || produced != out.size())
    throw EMySqlException(ER_NET_UNCOMPRESS_ERROR, u"Couldn't uncompress communication packet");
}

void InflateFrame(ByteSpan data, size_t expected, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  out.resize(start + expected);
  try {
    InflateFrame(data, std::span<uint8_t>(out.data() + start, expected));
  } catch (...) {
    out.resize(start);
    throw;
  }
}

bool DeflateFrame(ByteSpan data, std::vector<uint8_t>& out) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  out.resize(size);
  if (compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())) != Z_OK) return false;
  out.resize(size);
  return true;
}

// --- TMySqlNet -------------------------------------------------------------------

TMySqlNet::TMySqlNet() {
  FBuffer.reserve(kBufferedPart);
  FCompressBuffer.reserve(100);
  Clear();
}

TMySqlNet::~TMySqlNet() {
  try {
    Close();
  } catch (...) {
  }
}

void TMySqlNet::SetVio(std::unique_ptr<TZelVio> vio) {
  if (Fvio) {
    std::unique_ptr<TZelVio> old = std::move(Fvio);
    old->Close();
  }
  Fvio = std::move(vio);
  FBroken = false;
  FInputPos = FInputEnd = 0;  // bytes of the old stream are no use on a new one
  FCompressPos = FCompressEnd = 0;
  FPacket = ByteSpan();
}

void TMySqlNet::Close() {
  std::vector<uint8_t>().swap(FBuffer);
  std::vector<uint8_t>().swap(FCompressBuffer);
  FCompressPos = FCompressEnd = 0;
  std::vector<uint8_t>().swap(FInput);
  FInputPos = FInputEnd = 0;
  Clear();
  std::unique_ptr<TZelVio> old = std::move(Fvio);
  if (old) old->Close();
}

void TMySqlNet::NewCommand() {
  FPacketNumber = 0;
  FComprPacketNumber = 0;
  Clear();
}

void TMySqlNet::Clear() {
  FBuffer.resize(kHeaderSize);
  FPosition = kHeaderSize;
  FPacket = ByteSpan();
}

void TMySqlNet::WriteBytes(const void* data, size_t count) {
  if (FPosition + count > FBuffer.size()) {
    if (FPosition + count > FBuffer.capacity())
      FBuffer.reserve(std::max(FPosition + count, FBuffer.capacity() + FBuffer.capacity() / 2));
    FBuffer.resize(FPosition + count);
  }
  if (count) std::memcpy(FBuffer.data() + FPosition, data, count);
  FPosition += count;
}

void TMySqlNet::WriteHeader(size_t length) {
  VIX_VIO_ASSERT(length <= kMaxPacketLength && FBuffer.size() >= kHeaderSize);
  TMySqlWriter::Store(FBuffer.data(), length, 3);
  FBuffer[3] = FPacketNumber++;
}

void TMySqlNet::SendStep(const uint8_t* data, size_t part, size_t packetLength) {
  VIX_VIO_ASSERT(FBuffer.size() >= kHeaderSize && FPosition == FBuffer.size());
  size_t copied = 0;
  if (FBuffer.size() < kBufferedPart) {
    copied = std::min(part, kBufferedPart - FBuffer.size());
    WriteBytes(data, copied);
  }
  if (copied < part) {
    WriteHeader(packetLength);
    SendBytes(FBuffer.data(), FBuffer.size());
    Clear();
    SendBytes(data + copied, part - copied);
  }
}

void TMySqlNet::WriteOrSendBytes(const uint8_t* data, size_t count) {
  const size_t payload = FBuffer.size() - kHeaderSize;
  if (payload + count < kMaxPacketLength) {
    SendStep(data, count, payload + count);
    return;
  }
  size_t part = kMaxPacketLength - payload;
  SendStep(data, part, kMaxPacketLength);
  data += part;
  count -= part;
  while (count >= kMaxPacketLength) {
    SendStep(data, kMaxPacketLength, kMaxPacketLength);
    data += kMaxPacketLength;
    count -= kMaxPacketLength;
  }
  if (count == 0) {  // ended on a packet boundary: the empty packet closes it
    WriteHeader(0);
    SendBytes(FBuffer.data(), kHeaderSize);
    Clear();
  } else {
    SendStep(data, count, count);
  }
}

void TMySqlNet::Send() {
  if (FBuffer.size() != kHeaderSize) {
    WriteHeader(FBuffer.size() - kHeaderSize);
    SendBytes(FBuffer.data(), FBuffer.size());
    Clear();
  }
  if (FCompress) FPacketNumber = FComprPacketNumber;
}

void TMySqlNet::SendEmpty() {
  VIX_VIO_ASSERT(FBuffer.size() == kHeaderSize);
  WriteHeader(0);
  SendBytes(FBuffer.data(), kHeaderSize);
  Clear();
  if (FCompress) FPacketNumber = FComprPacketNumber;
}

void TMySqlNet::SendBytes(const uint8_t* data, size_t count) {
  if (!FCompress) {
    VioWrite(data, count);
    return;
  }
  // One compressed frame carries at most 0xFFFFFF bytes either way; longer
  // data goes in several frames (the peer joins the inflated stream).
  constexpr size_t kFrame = kMaxPacketLength - 15;
  do {
    const size_t n = std::min(count, kFrame);
    SendCompressed(data, n);
    data += n;
    count -= n;
  } while (count > 0);
}

void TMySqlNet::SendCompressed(const uint8_t* data, size_t count) {
  std::vector<uint8_t> deflated;
  const bool packed = count > kCompressThreshold && DeflateFrame(ByteSpan(data, count), deflated) &&
                      deflated.size() <= kMaxPacketLength;
  const size_t size = packed ? deflated.size() : count;
  std::vector<uint8_t> frame;
  frame.reserve(kCompHeaderSize + size);
  TMySqlWriter w(frame);
  w.WriteInt(size, 3);
  w.WriteByte(FComprPacketNumber++);
  w.WriteInt(packed ? count : 0, 3);
  w.WriteBytes(packed ? ByteSpan(deflated) : ByteSpan(data, count));
  VioWrite(frame.data(), frame.size());
}

void TMySqlNet::RaiseLost() {
  Raise(EMySqlException(CR_SERVER_LOST, Fvio ? UStringView(Fvio->LastError()) : UStringView()));
}

void TMySqlNet::VioWrite(const uint8_t* data, size_t count) {
  VIX_VIO_ASSERT(Fvio != nullptr);
  while (count > 0) {  // the transport counts in 32 bits
    const int n = static_cast<int>(std::min<size_t>(count, 0x40000000));
    if (Fvio->Write(data, 0, n) != n) RaiseLost();
    data += n;
    count -= static_cast<size_t>(n);
  }
}

void TMySqlNet::ReadInput(size_t count) {
  VIX_VIO_ASSERT(Fvio != nullptr && count <= kInputSize);
  if (FInput.empty()) FInput.resize(kInputSize);
  if (FInputPos == FInputEnd) {
    FInputPos = FInputEnd = 0;
  } else if (FInput.size() - FInputPos < count) {
    std::memmove(FInput.data(), FInput.data() + FInputPos, FInputEnd - FInputPos);
    FInputEnd -= FInputPos;
    FInputPos = 0;
  }
  while (FInputEnd - FInputPos < count) {
    const int n =
        Fvio->ReadNoWait(FInput.data(), static_cast<int>(FInputEnd), static_cast<int>(FInput.size() - FInputEnd));
    if (n <= 0) RaiseLost();  // closed, failed or timed out: LastError says which
    FInputEnd += static_cast<size_t>(n);
  }
}

void TMySqlNet::VioRead(uint8_t* data, size_t count) {
  VIX_VIO_ASSERT(Fvio != nullptr);
  const size_t held = std::min(count, FInputEnd - FInputPos);
  if (held) {
    std::memcpy(data, FInput.data() + FInputPos, held);
    FInputPos += held;
    data += held;
    count -= held;
  }
  if (count == 0) return;
  if (count < kInputSize / 2) {
    FillInput(count);
    std::memcpy(data, FInput.data() + FInputPos, count);
    FInputPos += count;
    return;
  }
  // Long values go straight to their place.
  while (count > 0) {
    const int n = Fvio->ReadNoWait(data, 0, static_cast<int>(std::min<size_t>(count, 0x40000000)));
    if (n <= 0) RaiseLost();
    data += n;
    count -= static_cast<size_t>(n);
  }
}

void TMySqlNet::RaiseOutOfOrder(uint8_t received, uint8_t expected, const char16_t* where) {
  Raise(EMySqlException(ER_NET_PACKETS_OUT_OF_ORDER, Format(u"%s: Net packets out of order: received[%d], expected[%d]",
                                                            {where, received, expected})));
}

void TMySqlNet::ReceiveCompPacket() {
  uint8_t h[kCompHeaderSize];
  VioRead(h, kCompHeaderSize);
  CheckSequence(h[3], u"ReceiveCompHeader");
  const size_t c = h[0] | (h[1] << 8) | (static_cast<size_t>(h[2]) << 16);
  const size_t u = h[4] | (h[5] << 8) | (static_cast<size_t>(h[6]) << 16);
  FCompressPos = FCompressEnd = 0;
  const size_t size = u == 0 ? c : u;
  if (FCompressBuffer.size() < size) FCompressBuffer.resize(size);
  if (u == 0) {
    VioRead(FCompressBuffer.data(), c);
    FCompressEnd = c;
    return;
  }
  std::vector<uint8_t> data;
  ByteSpan deflated;
  if (c <= kInputSize) {  // inflated from where it lies
    FillInput(c);
    deflated = ByteSpan(FInput.data() + FInputPos, c);
    FInputPos += c;
  } else {
    data.resize(c);
    VioRead(data.data(), c);
    deflated = data;
  }
  try {
    InflateFrame(deflated, std::span<uint8_t>(FCompressBuffer.data(), u));
  } catch (const EMySqlException& e) {
    Raise(e);
  }
  FCompressEnd = u;
}

void TMySqlNet::ReceiveBytes(uint8_t* data, size_t count) {
  if (!FCompress) {
    VioRead(data, count);
    return;
  }
  while (count > 0) {
    if (FCompressPos == FCompressEnd) ReceiveCompPacket();
    const size_t n = std::min(count, FCompressEnd - FCompressPos);
    std::memcpy(data, FCompressBuffer.data() + FCompressPos, n);
    FCompressPos += n;
    data += n;
    count -= n;
  }
}

size_t TMySqlNet::ReceiveHeader() {
  VIX_VIO_ASSERT(Fvio != nullptr);
  uint8_t h[kHeaderSize];
  ReceiveBytes(h, kHeaderSize);
  if (!FCompress) CheckSequence(h[3], u"ReceiveHeader");
  return h[0] | (h[1] << 8) | (static_cast<size_t>(h[2]) << 16);
}

bool TMySqlNet::ReceiveInPlace() {
  VIX_VIO_ASSERT(Fvio != nullptr);
  const uint8_t* at;
  size_t held;
  if (FCompress) {
    if (FCompressPos == FCompressEnd) ReceiveCompPacket();
    at = FCompressBuffer.data() + FCompressPos;
    held = FCompressEnd - FCompressPos;
    if (held < kHeaderSize) return false;
  } else {
    FillInput(kHeaderSize);
    at = FInput.data() + FInputPos;
    held = FInputEnd - FInputPos;
  }
  const size_t length = at[0] | (at[1] << 8) | (static_cast<size_t>(at[2]) << 16);
  // Continued packets, and packets longer than the input buffer, are joined
  // in the packet buffer; the header is read again there.
  if (length == kMaxPacketLength || kHeaderSize + length > (FCompress ? held : kInputSize)) return false;
  if (!FCompress) CheckSequence(at[3], u"ReceiveHeader");
  if (length > FMaxPacketSize) Raise(EMySqlException(CR_NET_PACKET_TOO_LARGE));
  if (FCompress) {
    FPacket = ByteSpan(at + kHeaderSize, length);
    FCompressPos += kHeaderSize + length;
  } else {
    FillInput(kHeaderSize + length);
    FPacket = ByteSpan(FInput.data() + FInputPos + kHeaderSize, length);
    FInputPos += kHeaderSize + length;
  }
  return true;
}

void TMySqlNet::Receive() {
  FPosition = 0;
  FPacket = ByteSpan();
  if (ReceiveInPlace()) {
    RaiseIfServerError(FPacket);
    return;
  }
  // The packet buffer keeps its size between packets, so that a row of long
  // values is not zero-filled before it is read over.
  size_t total = 0;
  size_t length;
  do {
    length = ReceiveHeader();
    if (total + length > FMaxPacketSize) Raise(EMySqlException(CR_NET_PACKET_TOO_LARGE));
    if (FBuffer.size() < total + length) FBuffer.resize(total + length);
    ReceiveBytes(FBuffer.data() + total, length);
    total += length;
  } while (length == kMaxPacketLength);
  FPacket = ByteSpan(FBuffer.data(), total);
  RaiseIfServerError(FPacket);
}

void TMySqlNet::ReceiveBuffer(std::vector<uint8_t>& bytes) {
  const size_t length = ReceiveHeader();
  if (length < 1) Raise(EMySqlException(CR_MALFORMED_PACKET));
  // Rows that need continuation packets cannot be kept whole here.
  if (length == kMaxPacketLength)
    Raise(EMySqlException::WithMessage(CR_NET_PACKET_TOO_LARGE, u"Cannot retrieve huge data in FetchAll mode"));
  bytes.resize(length);
  ReceiveBytes(bytes.data(), length);
  RaiseIfServerError(bytes);
}

size_t TMySqlNet::SkipBuffer(std::vector<uint8_t>& bytes, size_t chunk, bool checkError) {
  VIX_VIO_ASSERT(chunk > 0);
  const size_t length = ReceiveHeader();
  bytes.resize(std::min(length, chunk));
  ReceiveBytes(bytes.data(), bytes.size());
  if (checkError && !bytes.empty() && bytes[0] == 0xFF) {
    if (length > chunk) Raise(EMySqlException(CR_MALFORMED_PACKET));  // error packets are short; this is not one
    throw ServerError(bytes);
  }
  std::vector<uint8_t> scratch;
  for (size_t left = length - bytes.size(); left > 0;) {
    scratch.resize(std::min(left, chunk));
    ReceiveBytes(scratch.data(), scratch.size());
    left -= scratch.size();
  }
  return length;
}

}  // namespace vix
