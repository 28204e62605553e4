#include "udp/UdpReplyStore.h"

#include <vector>

void CUdpReplyStore::Open(int cookie, LPARAM origin) {
  std::lock_guard guard(lock);
  awaited[static_cast<uint32_t>(cookie)] = {origin, false};
}

void CUdpReplyStore::Close(int cookie) {
  std::lock_guard guard(lock);
  awaited.erase(static_cast<uint32_t>(cookie));
}

void CUdpReplyStore::CloseAll() {
  std::lock_guard guard(lock);
  awaited.clear();
}

CUdpReplyStore::Refusal CUdpReplyStore::Reserve(uint32_t cookie, LPARAM origin) {
  std::lock_guard guard(lock);
  auto it = awaited.find(cookie);
  if (it == awaited.end() || it->second.origin != origin || it->second.answered) {
    return Refusal::kNotAwaited;
  }
  size_t& count = heldByOrigin[origin];
  if (count >= kMaxHeldPerTask) return Refusal::kTaskFull;
  ++count;
  it->second.answered = true;
  return Refusal::kNone;
}

LPARAM CUdpReplyStore::Deposit(UdpOutPtr reply, LPARAM origin, HWND window) {
  const LPARAM name = reinterpret_cast<LPARAM>(reply.get());
  std::lock_guard guard(lock);
  held[name] = {std::move(reply), origin, window};
  return name;
}

UdpOutPtr CUdpReplyStore::Claim(LPARAM lParam, LPARAM* origin) {
  std::lock_guard guard(lock);
  auto it = held.find(lParam);
  if (it == held.end()) return nullptr;
  UdpOutPtr reply = std::move(it->second.reply);
  if (origin) *origin = it->second.origin;
  EraseLocked(it);
  return reply;
}

void CUdpReplyStore::DropFor(HWND window) {
  std::vector<UdpOutPtr> dropped;  // freed outside the lock
  std::lock_guard guard(lock);
  for (auto it = held.begin(); it != held.end();) {
    if (it->second.window != window) {
      ++it;
      continue;
    }
    dropped.push_back(std::move(it->second.reply));
    it = EraseLocked(it);
  }
}

std::map<LPARAM, CUdpReplyStore::Held>::iterator CUdpReplyStore::EraseLocked(
    std::map<LPARAM, Held>::iterator it) {
  auto count = heldByOrigin.find(it->second.origin);
  if (count != heldByOrigin.end() && --count->second == 0) heldByOrigin.erase(count);
  return held.erase(it);
}

size_t CUdpReplyStore::HeldCount() {
  std::lock_guard guard(lock);
  return held.size();
}
