#include "udp/UdpDatagram.h"

#include <cstring>

namespace {

uint32_t CheckSumOf(const unsigned char* data, size_t n) {
  unsigned char sums[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < n; ++i) sums[i % 4] ^= data[i];
  return static_cast<uint32_t>(sums[0]) << 24 | static_cast<uint32_t>(sums[1]) << 16 |
         static_cast<uint32_t>(sums[2]) << 8 | sums[3];
}

}  // namespace

std::vector<unsigned char> ScrambleBytes(const unsigned char* src, int n) {
  const size_t count = n > 0 ? static_cast<size_t>(n) : 0;
  std::vector<unsigned char> out(count + 1, 0);
  for (size_t i = 0; i < count; ++i) out[i] = src[i] ^ kUdpScrambleMask;
  return out;
}

uint32_t CalcCheckSum(const unsigned char* data, int n) {
  if (!data || n < 1) return 0;
  return CheckSumOf(data, static_cast<size_t>(n));
}

std::vector<unsigned char> BuildDatagram(const char* payload, uint32_t cookie) {
  const size_t length = payload ? std::strlen(payload) : 0;
  std::vector<unsigned char> datagram(length + kUdpHeaderSize + 1, 0);
  unsigned char* body = &datagram[kUdpHeaderSize];
  // Scrambled in place, with size_t lengths: the whole text is framed whatever its size, and a
  // payload byte equal to the mask becomes a zero byte with every later byte still copied.
  for (size_t i = 0; i < length; ++i) {
    body[i] = static_cast<unsigned char>(payload[i]) ^ kUdpScrambleMask;
  }
  datagram[0] = 0x01;
  datagram[1] = 0x01;
  WriteBigEndian32(&datagram[2], cookie);
  WriteBigEndian32(&datagram[6], CheckSumOf(body, length));
  datagram[10] = static_cast<unsigned char>((length >> 8) & 0xFF);
  datagram[11] = static_cast<unsigned char>(length & 0xFF);
  return datagram;
}

void WriteBigEndian32(unsigned char* out, uint32_t value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

uint32_t ReadBigEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint16_t ReadBigEndian16(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

UdpReplyCheck CheckUdpReply(const unsigned char* datagram, size_t n, UdpReplyHeader* header) {
  unsigned char head[kUdpHeaderSize] = {};
  if (n > 0) std::memcpy(head, datagram, n < sizeof head ? n : sizeof head);
  header->cookie = ReadBigEndian32(&head[2]);
  header->checkSum = ReadBigEndian32(&head[6]);
  header->length = ReadBigEndian16(&head[10]);
  const size_t whole = static_cast<size_t>(header->length) + kUdpHeaderSize;
  if (whole != n) return UdpReplyCheck::kLengthMismatch;
  if (whole > static_cast<size_t>(kUdpMaxReplySize)) return UdpReplyCheck::kTooLong;
  if (CalcCheckSum(&datagram[kUdpHeaderSize], header->length) != header->checkSum) {
    return UdpReplyCheck::kBadCheckSum;
  }
  return UdpReplyCheck::kOk;
}
