// Feeds raw bytes as received rtnetlink datagrams to the network change filter: its message
// and attribute walks must stay within the bytes received, whatever lengths they claim. The
// input is cut in two datagrams at its first byte, so that the second meets what the first
// left known.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/iphelper/NetworkChangeFilter_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return -1;
  const size_t cut = 1 + data[0] % size;
  // Exact-size copies, so a read past a datagram is caught. The kernel's datagrams start
  // aligned, as vector storage does.
  const std::vector<uint8_t> first(data + 1, data + cut);
  const std::vector<uint8_t> second(data + cut, data + size);
  CNetworkChangeFilter filter;
  filter.ApplyDatagram(first.data(), first.size());
  filter.ApplyDatagram(second.data(), second.size());
  // Again, as two notifications of one thread that overlap both read it.
  filter.ApplyDatagram(second.data(), second.size());
  filter.Clear();
  return 0;
}
