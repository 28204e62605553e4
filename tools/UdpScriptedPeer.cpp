#include "tools/UdpScriptedPeer.h"

#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "tools/UdpReferenceServer.h"
#include "udp/UdpDatagram.h"

CUdpScriptedPeer::CUdpScriptedPeer() : socket(OpenSocket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const timeval wait{20, 0};
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
}

uint32_t CUdpScriptedPeer::ReadRequest() {
  unsigned char bytes[2048];
  socklen_t length = sizeof client;
  const ssize_t n = ::recvfrom(socket.Get(), bytes, sizeof bytes, 0,
                               reinterpret_cast<sockaddr*>(&client), &length);
  return n >= kUdpHeaderSize ? ReadBigEndian32(&bytes[2]) : 0;
}

void CUdpScriptedPeer::Reply(uint32_t cookie, const std::string& payload) {
  UdpReplyPlan plan;
  plan.cookie = cookie;
  plan.payload = payload;
  const std::vector<unsigned char> bytes = CUdpReferenceServer::BuildReply(plan);
  ::sendto(socket.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client),
           sizeof client);
}

bool CUdpScriptedPeer::WaitUntilRead(std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const long unread = UnreadBytes();
    if (unread == 0) return true;
    if (unread < 0 || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

long CUdpScriptedPeer::UnreadBytes() const {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    unsigned local = 0, localPort = 0, remote = 0, remotePort = 0, state = 0;
    unsigned long sendQueue = 0, receiveQueue = 0;
    if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &local, &localPort, &remote,
                    &remotePort, &state, &sendQueue, &receiveQueue) == 7 &&
        localPort == ntohs(client.sin_port)) {
      return static_cast<long>(receiveQueue);
    }
  }
  return -1;  // gone
}
