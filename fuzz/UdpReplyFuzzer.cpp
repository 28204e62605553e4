// Feeds raw bytes as a received datagram to the reply path of CUdpTask::Recv: the header check,
// the unscrambling and the reply store. A rejected datagram must leave nothing behind; an
// accepted one must hand back exactly its payload, unscrambled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "udp/UdpDatagram.h"
#include "udp/UdpRecords.h"
#include "udp/UdpReplyStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // recvfrom never hands more than a reply's worth: a longer datagram is refused before this.
  if (size > static_cast<size_t>(kUdpMaxReplySize)) return -1;
  // An exact-size copy, so a read past the datagram is caught.
  std::vector<unsigned char> datagram(data, data + size);
  UdpReplyHeader header;
  const UdpReplyCheck check = CheckUdpReply(datagram.data(), size, &header);
  if (header.length < 0 || header.length > 0xFFFF) std::abort();
  if (check != UdpReplyCheck::kOk) return 0;
  if (static_cast<size_t>(header.length) + kUdpHeaderSize != size) std::abort();

  const unsigned char* scrambled = &datagram[kUdpHeaderSize];
  const std::vector<unsigned char> plain = ScrambleBytes(scrambled, header.length);
  UdpOutPtr out(new tagUdpOut);
  out->code = UDP_RECV_SUCCESS;
  out->data = new unsigned char[static_cast<size_t>(header.length)];
  std::memcpy(out->data, plain.data(), static_cast<size_t>(header.length));
  out->dataLength = header.length;

  CUdpReplyStore store;
  const LPARAM name = store.Deposit(std::move(out), 7, nullptr);
  LPARAM origin = 0;
  UdpOutPtr back = store.Claim(name, &origin);
  if (!back || origin != 7 || store.HeldCount() != 0 || back->dataLength != header.length) {
    std::abort();
  }
  for (int i = 0; i < header.length; ++i) {
    if ((back->data[i] ^ kUdpScrambleMask) != scrambled[i]) std::abort();
  }
  return 0;
}
