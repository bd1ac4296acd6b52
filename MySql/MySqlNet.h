// The MySQL packet layer: framing with sequence numbers, splitting at the
// packet limit and reassembly, the optional zlib layer, and the read and write
// primitives of the protocol. The readers of server bytes work over byte spans
// with explicit bounds, so they can be tested and fuzzed without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Common/ZelVio.h"
#include "Common/ZelVioErrors.h"
#include "rtl/SysUtils.h"

namespace vix {

using ByteSpan = std::span<const uint8_t>;

// Text of a client error number 2000-2047 and 2049, unformatted; empty for other numbers.
UStringView ClientErrorText(int errorCode);

// An error of the wire client or of the server. The message is the client
// error text (formatted with the arguments) and, when a detail is given, a
// line break and the detail: a server error's message is therefore a line
// break followed by the server's text.
class EMySqlException : public Exception {
 public:
  explicit EMySqlException(int errorCode);
  EMySqlException(int errorCode, UStringView detail, std::initializer_list<FormatArg> args = {});
  // An error of that number whose message is exactly `message`.
  static EMySqlException WithMessage(int errorCode, UString message);
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// A value that the client cannot put on the wire: the caller's error, not the
// stream's. It passes the client API as it is (nothing is stored in the handle).
class EMySqlValueError : public Exception {
 public:
  using Exception::Exception;
};

// The error numbers after which the stream of a session cannot be trusted
// (lost, out of order, malformed, corrupt, too large, a failed handshake, a
// killed connection): only a new connection helps then.
bool BreaksTheStream(int errorCode);

// 2027 "Malformed packet": what every reader raises instead of reading past
// the end of a packet or accepting a length that the packet cannot hold.
[[noreturn]] void RaiseMalformedPacket();

// A bounded cursor over one packet's bytes. Every read checks the length first.
// The readers of every row are defined here, so that they inline.
class TMySqlReader {
 public:
  static constexpr int64_t kNullLength = -1;
  explicit TMySqlReader(ByteSpan bytes, size_t position = 0) : FBytes(bytes), FPos(position) {
    if (position > bytes.size()) RaiseMalformedPacket();
  }
  size_t Position() const { return FPos; }
  size_t Remaining() const { return FBytes.size() - FPos; }
  bool AtEnd() const { return FPos >= FBytes.size(); }
  ByteSpan Bytes() const { return FBytes; }

  uint8_t ReadByte() {
    if (FPos >= FBytes.size()) RaiseMalformedPacket();
    return FBytes[FPos++];
  }
  int16_t ReadInt16() { return static_cast<int16_t>(ReadUInt16()); }
  uint16_t ReadUInt16() { return static_cast<uint16_t>(ReadLE(2)); }
  uint32_t ReadInt24() { return static_cast<uint32_t>(ReadLE(3)); }
  uint32_t ReadUInt32() { return static_cast<uint32_t>(ReadLE(4)); }
  int32_t ReadInt32() { return static_cast<int32_t>(ReadUInt32()); }
  int64_t ReadInt64() { return static_cast<int64_t>(ReadLE(8)); }
  double ReadDouble();
  // Exactly `count` bytes.
  ByteSpan ReadSpan(size_t count) {
    if (Remaining() < count) RaiseMalformedPacket();
    const ByteSpan s(FBytes.data() + FPos, count);
    FPos += count;
    return s;
  }
  std::string ReadString(size_t count);
  // Bytes up to a zero byte (consumed) or to the end of the packet.
  std::string ReadNulString();
  // A length-encoded integer: -1 for the NULL marker 0xFB; 0xFF and values
  // above 2^63 - 1 are malformed.
  int64_t ReadFieldLength() {
    const uint8_t first = ReadByte();
    if (first <= 250) return first;
    return ReadLongFieldLength(first);
  }
  // A length-encoded string whose length must fit in the packet; NULL gives
  // `isNull` (when given) and an empty span.
  ByteSpan ReadLengthString(bool* isNull = nullptr) {
    const int64_t length = ReadFieldLength();
    if (isNull) *isNull = length == kNullLength;
    if (length == kNullLength) return {};
    return ReadSpan(static_cast<size_t>(length));  // a length beyond the packet is refused there
  }
  void Skip(size_t count) { ReadSpan(count); }

 private:
  uint64_t ReadLE(size_t width) {
    if (Remaining() < width) RaiseMalformedPacket();
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(FBytes[FPos + i]) << (8 * i);
    FPos += width;
    return v;
  }
  // The forms after a first byte above 250.
  int64_t ReadLongFieldLength(uint8_t first);
  ByteSpan FBytes;
  size_t FPos;
};

// A little-endian writer of protocol bytes at the end of `out`: the one
// writer of every packet and command body the client builds.
class TMySqlWriter {
 public:
  explicit TMySqlWriter(std::vector<uint8_t>& out) : FOut(out) {}
  std::vector<uint8_t>& Out() const { return FOut; }

  // `width` bytes of `value` at `at`, lowest first.
  static void Store(uint8_t* at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  void WriteByte(uint8_t value) { FOut.push_back(value); }
  void WriteInt(uint64_t value, size_t width) {
    const size_t at = FOut.size();
    FOut.resize(at + width);
    Store(FOut.data() + at, value, width);
  }
  void WriteDouble(double value);
  void WriteBytes(ByteSpan bytes) { FOut.insert(FOut.end(), bytes.begin(), bytes.end()); }
  void WriteBytes(std::string_view bytes) { FOut.insert(FOut.end(), bytes.begin(), bytes.end()); }
  // The bytes and a terminating zero byte.
  void WriteNulString(std::string_view bytes) {
    WriteBytes(bytes);
    WriteByte(0);
  }
  // A length-encoded integer: one byte up to 250, else 0xFC, 0xFD or 0xFE
  // and 2, 3 or 8 bytes.
  void WriteFieldLength(uint64_t length);
  // A length-encoded string: its length, then the bytes.
  void WriteLengthString(std::string_view bytes) {
    WriteFieldLength(bytes.size());
    WriteBytes(bytes);
  }
  void Fill(uint8_t pattern, size_t count) { FOut.insert(FOut.end(), count, pattern); }

 private:
  std::vector<uint8_t>& FOut;
};

// The error of a server error packet (first byte 0xFF): number (2 bytes) and
// the text from there to the end, with a 4.1 server's '#' and SQL state kept
// at its front. A packet too short to hold the number is malformed.
EMySqlException ServerError(ByteSpan packet);
// Raises the server's error when `packet` is an error packet.
inline void RaiseIfServerError(ByteSpan packet) {
  if (!packet.empty() && packet[0] == 0xFF) throw ServerError(packet);
}

// One compressed frame's data: `data` inflates to exactly `expected` bytes,
// appended to `out`; anything else raises 1157.
void InflateFrame(ByteSpan data, size_t expected, std::vector<uint8_t>& out);
// The same into `out`, which the inflated bytes must fill exactly.
void InflateFrame(ByteSpan data, std::span<uint8_t> out);
// zlib stream (header, deflate, default level) of `data`; false when zlib fails.
bool DeflateFrame(ByteSpan data, std::vector<uint8_t>& out);

class TMySqlNet {
 public:
  static constexpr size_t kHeaderSize = 4;
  static constexpr size_t kCompHeaderSize = 7;
  static constexpr size_t kBufferedPart = 0x2000;
  static constexpr size_t kMaxPacketLength = 0xFFFFFF;
  static constexpr size_t kCompressThreshold = 50;
  static constexpr size_t kDefaultMaxPacketSize = 0x40000000;  // announced at login

  TMySqlNet();
  ~TMySqlNet();
  TMySqlNet(const TMySqlNet&) = delete;
  TMySqlNet& operator=(const TMySqlNet&) = delete;

  TZelVio* vio() const { return Fvio.get(); }
  // Closes and frees the previous transport first.
  void SetVio(std::unique_ptr<TZelVio> vio);
  bool Compress() const { return FCompress; }
  void SetCompress(bool on) { FCompress = on; }
  // Bound on a reassembled incoming packet; longer ones raise 2020.
  size_t MaxPacketSize() const { return FMaxPacketSize; }
  void SetMaxPacketSize(size_t bytes) { FMaxPacketSize = bytes; }
  // Set when the stream can no longer be trusted (see BreaksTheStream); only
  // a new connection helps then.
  bool Broken() const { return FBroken; }
  // Takes note of an error met on this stream: one that BreaksTheStream
  // marks it broken. Every failure of a session passes here.
  void NoteError(const EMySqlException& error) {
    if (BreaksTheStream(error.ErrorCode())) FBroken = true;
  }
  // Notes the error and raises it.
  [[noreturn]] void Raise(const EMySqlException& error) {
    NoteError(error);
    throw error;
  }

  void Close();
  void NewCommand();
  // The next packet read is the first of a reply (a command sent after
  // another before the first's reply was read).
  void ExpectReply() { FPacketNumber = 1; }
  void Clear();
  void Send();
  void SendEmpty();
  // Reads one logical packet into the buffer, position 0. A server error
  // packet raises that error.
  void Receive();
  // Reads one physical packet into `bytes`: an empty packet is malformed
  // (2027), a packet of 0xFFFFFF bytes (continued) is refused with
  // "Cannot retrieve huge data in FetchAll mode". A server error packet
  // raises that error.
  void ReceiveBuffer(std::vector<uint8_t>& bytes);
  // Reads one physical packet in pieces of at most `chunk` bytes and keeps
  // only the first piece in `bytes`. With `checkError` a server error packet
  // raises that error. Returns the packet's length.
  size_t SkipBuffer(std::vector<uint8_t>& bytes, size_t chunk, bool checkError);

  // The packet last received (valid until the next Receive, Clear or command).
  // A packet that arrived whole in the input buffer is handed out where it
  // lies; a longer one is joined in the packet buffer.
  const uint8_t* Buffer() const { return FPacket.data(); }
  size_t Length() const { return FPacket.size(); }
  size_t Position() const { return FPosition; }
  ByteSpan Packet() const { return FPacket; }

  void WriteByte(uint8_t value) { WriteBytes(&value, 1); }
  void WriteBytes(const void* data, size_t count);
  void WriteBytes(ByteSpan data) { WriteBytes(data.data(), data.size()); }
  // Appends a payload of any size, sending full packets on the way.
  void WriteOrSendBytes(const uint8_t* data, size_t count);

 private:
  void WriteHeader(size_t length);
  void SendStep(const uint8_t* data, size_t part, size_t packetLength);
  void SendBytes(const uint8_t* data, size_t count);
  void SendCompressed(const uint8_t* data, size_t count);
  void ReceiveBytes(uint8_t* data, size_t count);
  size_t ReceiveHeader();
  void CheckSequence(uint8_t received, const char16_t* where) {
    const uint8_t expected = FPacketNumber;
    FPacketNumber = static_cast<uint8_t>(expected + 1);
    FComprPacketNumber = FPacketNumber;
    if (received != expected) RaiseOutOfOrder(received, expected, where);
  }
  [[noreturn]] void RaiseOutOfOrder(uint8_t received, uint8_t expected, const char16_t* where);
  void ReceiveCompPacket();
  // Hands out the next packet in place when the bytes at hand hold all of it.
  bool ReceiveInPlace();
  // Reads from the transport until the input buffer holds `count` bytes.
  void FillInput(size_t count) {
    if (FInputEnd - FInputPos < count) ReadInput(count);
  }
  void ReadInput(size_t count);
  void VioRead(uint8_t* data, size_t count);
  void VioWrite(const uint8_t* data, size_t count);
  [[noreturn]] void RaiseLost();

  static constexpr size_t kInputSize = 0x10000;

  std::unique_ptr<TZelVio> Fvio;
  std::vector<uint8_t> FBuffer;  // the packet being built, or a long received one
  ByteSpan FPacket;
  size_t FPosition = 0;
  // Bytes received from the transport and not yet taken: each receive asks
  // for as much as fits, so that one call brings many rows.
  std::vector<uint8_t> FInput;
  size_t FInputPos = 0;
  size_t FInputEnd = 0;
  std::vector<uint8_t> FCompressBuffer;  // inflated bytes; only grows
  size_t FCompressPos = 0;
  size_t FCompressEnd = 0;  // the bytes of the last frame end here
  uint8_t FPacketNumber = 0;
  uint8_t FComprPacketNumber = 0;
  bool FCompress = false;
  bool FBroken = false;
  size_t FMaxPacketSize = kDefaultMaxPacketSize;
};

}  // namespace vix
