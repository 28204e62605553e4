#include "udp/UdpReplyStore.h"

LPARAM CUdpReplyStore::Deposit(UdpOutPtr reply) {
  const LPARAM name = reinterpret_cast<LPARAM>(reply.get());
  std::lock_guard guard(lock);
  held[name] = std::move(reply);
  return name;
}

UdpOutPtr CUdpReplyStore::Claim(LPARAM lParam) {
  std::lock_guard guard(lock);
  auto it = held.find(lParam);
  if (it == held.end()) return nullptr;
  UdpOutPtr reply = std::move(it->second);
  held.erase(it);
  return reply;
}

size_t CUdpReplyStore::HeldCount() {
  std::lock_guard guard(lock);
  return held.size();
}
