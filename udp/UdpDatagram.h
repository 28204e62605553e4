// The datagram format of the UDP family: a 12-byte big-endian header (magic 0x01 0x01,
// cookie, checksum, payload length), the payload scrambled byte by byte, and in requests one
// terminating zero byte. Pure functions; safe from any thread.
#ifndef ZVNET_UDP_UDPDATAGRAM_H_
#define ZVNET_UDP_UDPDATAGRAM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr int kUdpHeaderSize = 12;
inline constexpr int kUdpMaxReplySize = 1024;  // so a reply payload holds at most 1012 bytes
inline constexpr unsigned char kUdpScrambleMask = 0x5B;

// n bytes of src, each XOR the mask, followed by one zero byte (n + 1 bytes in all). Its own
// inverse: it scrambles requests and unscrambles replies.
std::vector<unsigned char> ScrambleBytes(const unsigned char* src, int n);

// The XOR of the bytes read as big-endian 32-bit words, the last word padded with zeros;
// 0 for null data or n below 1.
uint32_t CalcCheckSum(const unsigned char* data, int n);

// A whole request for the text of `payload` up to its first zero byte: header, scrambled
// payload and the terminating zero, L + 13 bytes. msgLen keeps the low 16 bits of L.
std::vector<unsigned char> BuildDatagram(const char* payload, uint32_t cookie);

// Header fields, big-endian; `bytes` must hold at least offset + 4 (or + 2) bytes.
uint32_t ReadBigEndian32(const unsigned char* bytes);
void WriteBigEndian32(unsigned char* out, uint32_t value);
uint16_t ReadBigEndian16(const unsigned char* bytes);

// The header of a received reply and whether it holds: the length field must account for the
// whole datagram of n bytes, which must fit a reply, and the checksum must match the payload.
enum class UdpReplyCheck { kOk, kLengthMismatch, kTooLong, kBadCheckSum };
struct UdpReplyHeader {
  uint32_t cookie = 0;
  uint32_t checkSum = 0;
  int length = 0;  // payload bytes after the header
};
// Reads only the n bytes given; a datagram shorter than the header reads as if zero-padded.
UdpReplyCheck CheckUdpReply(const unsigned char* datagram, size_t n, UdpReplyHeader* header);

#endif  // ZVNET_UDP_UDPDATAGRAM_H_
