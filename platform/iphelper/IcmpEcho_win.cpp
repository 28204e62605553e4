// Windows: the route trace's echoes through IcmpSendEcho.
#include "platform/iphelper/IcmpEcho.h"

#include <iphlpapi.h>
// After iphlpapi.h, which it needs.
#include <icmpapi.h>

#include <cstring>

#include "platform/win32/Wait.h"

namespace {

constexpr WORD kDataBytes = 32;
// One reply with its data, and room for the quoted request that an ICMP error carries.
constexpr DWORD kReplyBytes = sizeof(ICMP_ECHO_REPLY) + kDataBytes + 8 + 64;

bool IsSignalled(const CWaitable* stop) {
  return stop && WaitForSingleObject(*stop, 0) == WAIT_OBJECT_0;
}

// The ICMP type that an echo's status stands for; false for a status that is no answer.
bool AnswerType(ULONG status, uint8_t* type) {
  switch (status) {
    case IP_SUCCESS:
      *type = 0;
      return true;
    case IP_DEST_NET_UNREACHABLE:
    case IP_DEST_HOST_UNREACHABLE:
    case IP_DEST_PROT_UNREACHABLE:
    case IP_DEST_PORT_UNREACHABLE:
      *type = 3;
      return true;
    case IP_TTL_EXPIRED_TRANSIT:
    case IP_TTL_EXPIRED_REASSEM:
      *type = 11;
      return true;
    default:
      return false;
  }
}

}  // namespace

CIcmpEcho::CIcmpEcho() : handle(::IcmpCreateFile()) {}

CIcmpEcho::~CIcmpEcho() {
  if (IsValid()) ::IcmpCloseHandle(handle);
}

CIcmpEcho::Reply CIcmpEcho::SendEcho(uint32_t destination, uint8_t ttl, DWORD timeoutMs,
                                     const CWaitable* stop) {
  Reply reply;
  if (!IsValid()) return reply;
  if (IsSignalled(stop)) {
    reply.status = Reply::Status::kStopped;
    return reply;
  }
  char data[kDataBytes] = {};
  IP_OPTION_INFORMATION options = {};
  options.Ttl = ttl;
  alignas(ICMP_ECHO_REPLY) unsigned char answer[kReplyBytes] = {};
  const DWORD count = ::IcmpSendEcho(handle, destination, data, kDataBytes, &options, answer,
                                     kReplyBytes, timeoutMs);
  const DWORD error = count == 0 ? ::GetLastError() : 0;
  // ICMP is not permitted here (Wine without a raw or ping socket of its own): no echo will
  // ever go out.
  if (error == ERROR_ACCESS_DENIED) {
    ::IcmpCloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return reply;
  }
  if (IsSignalled(stop)) {
    reply.status = Reply::Status::kStopped;
    return reply;
  }
  // A router's answer may come back as a failed call whose reply still names the router.
  ICMP_ECHO_REPLY echo;
  std::memcpy(&echo, answer, sizeof echo);
  if (echo.Address != 0 && AnswerType(echo.Status, &reply.icmpType)) {
    reply.status = Reply::Status::kReply;
    reply.address = echo.Address;
    reply.roundTripMs = echo.RoundTripTime;
    return reply;
  }
  if (count == 0 && (error == IP_REQ_TIMED_OUT || echo.Status == IP_REQ_TIMED_OUT)) {
    reply.status = Reply::Status::kTimedOut;
  }
  return reply;
}
