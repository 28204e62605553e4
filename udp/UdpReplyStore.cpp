#include "udp/UdpReplyStore.h"

LPARAM CUdpReplyStore::Deposit(UdpOutPtr reply, LPARAM origin) {
  const LPARAM name = reinterpret_cast<LPARAM>(reply.get());
  std::lock_guard guard(lock);
  held[name] = {std::move(reply), origin};
  return name;
}

UdpOutPtr CUdpReplyStore::Claim(LPARAM lParam, LPARAM* origin) {
  std::lock_guard guard(lock);
  auto it = held.find(lParam);
  if (it == held.end()) return nullptr;
  UdpOutPtr reply = std::move(it->second.reply);
  if (origin) *origin = it->second.origin;
  held.erase(it);
  return reply;
}

size_t CUdpReplyStore::HeldCount() {
  std::lock_guard guard(lock);
  return held.size();
}
