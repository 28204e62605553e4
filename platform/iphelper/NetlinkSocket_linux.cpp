#include "platform/iphelper/NetlinkSocket_linux.h"

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

namespace {

int OnDumpMessage(const nlmsghdr* message, void* data) {
  (*static_cast<const CNetlinkSocket::MessageHandler*>(data))(message);
  return MNL_CB_OK;
}

// The fixed header that each dump request carries after the netlink header.
size_t RequestHeaderSize(uint16_t type) {
  switch (type) {
    case RTM_GETLINK:
      return sizeof(ifinfomsg);
    case RTM_GETADDR:
      return sizeof(ifaddrmsg);
    default:
      return sizeof(rtmsg);
  }
}

// Room for the largest datagram a change notification brings (a link with all its
// attributes); one that does not fit is reported as cut.
constexpr size_t kDatagramRoom = 64 * 1024;

}  // namespace

void CNetlinkSocket::Closer::operator()(mnl_socket* nl) const {
  mnl_socket_close(nl);
}

int CNetlinkSocket::Open(unsigned int groups) {
  Close();
  std::unique_ptr<mnl_socket, Closer> nl(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
  if (!nl) return errno;
  if (mnl_socket_bind(nl.get(), groups, MNL_SOCKET_AUTOPID) < 0) return errno;
  socket = std::move(nl);
  return 0;
}

int CNetlinkSocket::Fd() const {
  return socket ? mnl_socket_get_fd(socket.get()) : -1;
}

int CNetlinkSocket::ReadPending(const DatagramHandler& onDatagram) {
  if (!socket) return EBADF;
  std::vector<char> buffer(kDatagramRoom);
  for (;;) {
    const ssize_t n = ::recv(Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
    }
    if (static_cast<size_t>(n) > buffer.size()) return EMSGSIZE;
    onDatagram(buffer.data(), static_cast<size_t>(n));
  }
}

bool CNetlinkSocket::Dump(uint16_t type, uint8_t family, const MessageHandler& onMessage) {
  if (!socket) return false;
  std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = type;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = ++sequence;
  // ifinfomsg, ifaddrmsg and rtmsg all start with the address family.
  auto* header =
      static_cast<unsigned char*>(mnl_nlmsg_put_extra_header(request, RequestHeaderSize(type)));
  header[0] = family;
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) return false;

  const unsigned int portId = mnl_socket_get_portid(socket.get());
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    int result = mnl_cb_run(buffer.data(), n, sequence, portId, OnDumpMessage,
                            const_cast<MessageHandler*>(&onMessage));
    if (result == MNL_CB_STOP) return true;
    if (result < 0) return false;
  }
}
