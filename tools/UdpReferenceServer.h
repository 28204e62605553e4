// A server for the UDP datagram format, for tests, benchmarks and people trying the library:
// it answers each well-formed request with a reply of the same cookie, echoing the payload,
// unless a behaviour hook scripts something else (a delay, a bad checksum or length, a
// trailing zero, an oversized reply, a reply from another port, several replies or none).
//
// Threads: Start, Stop and SetBehaviour run on the owner's thread; one server thread reads
// requests, calls the behaviour and sends the replies. `lock` guards behaviour and
// requestCount; the behaviour runs on the server thread without the lock. The server owns its
// two sockets and its thread; Stop (or the destructor) joins the thread.
#ifndef ZVNET_TOOLS_UDPREFERENCESERVER_H_
#define ZVNET_TOOLS_UDPREFERENCESERVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/StopSignal.h"
#include "tools/UniqueSocket.h"
#include "zvnet/zvdefs.h"

// A request as the server read it.
struct UdpServedRequest {
  std::vector<unsigned char> raw;  // the datagram exactly as received
  bool wellFormed = false;         // magic, length, terminator and checksum all right
  uint32_t cookie = 0;
  std::string payload;  // unscrambled
  sockaddr_in from{};
};

// One reply to send. By default a correct reply; the other fields spoil it on purpose.
struct UdpReplyPlan {
  uint32_t cookie = 0;
  std::string payload;  // unscrambled
  std::chrono::milliseconds delay{0};
  unsigned char magic[2] = {0x01, 0x01};
  bool wrongCheckSum = false;
  int lengthSkew = 0;         // added to the msgLen field
  bool trailingZero = false;  // a zero byte after the payload, not counted in msgLen
  size_t padTo = 0;           // zero bytes appended until the datagram has this size
  bool fromOtherPort = false;
  std::vector<unsigned char> raw;  // when not empty, sent exactly instead of the above
};

class CUdpReferenceServer {
 public:
  // Answers every request with the replies it returns, in order.
  using Behaviour = std::function<std::vector<UdpReplyPlan>(const UdpServedRequest&)>;

  // The default behaviour: one echo of a well-formed request, nothing for anything else.
  static std::vector<UdpReplyPlan> Echo(const UdpServedRequest& request);
  static std::vector<unsigned char> BuildReply(const UdpReplyPlan& plan);

  CUdpReferenceServer();
  ~CUdpReferenceServer();
  CUdpReferenceServer(const CUdpReferenceServer&) = delete;
  CUdpReferenceServer& operator=(const CUdpReferenceServer&) = delete;

  // Binds to the dotted IPv4 address and port (0: any free port) and starts serving.
  long Start(const std::string& address = "127.0.0.1", unsigned short port = 0);
  void Stop();
  unsigned short Port() const { return port; }
  unsigned short OtherPort() const { return otherPort; }
  void SetBehaviour(Behaviour hook);
  size_t RequestCount();

 private:
  struct PendingReply {
    std::chrono::steady_clock::time_point due;
    std::vector<unsigned char> bytes;
    bool fromOtherPort = false;
    sockaddr_in to{};
  };

  void Run();
  void ServeOne();
  void SendDue();
  int NextWaitMs() const;
  static UdpServedRequest Parse(const unsigned char* bytes, size_t size, const sockaddr_in& from);

  UniqueSocket socket;
  UniqueSocket otherSocket;  // the same address, another port: for replies from elsewhere
  unsigned short port = 0;
  unsigned short otherPort = 0;
  CStopSignal stopSignal;
  std::thread thread;  // joined by Stop

  std::mutex lock;
  Behaviour behaviour;
  size_t requestCount = 0;

  std::vector<PendingReply> pending;  // server thread only
  // Server thread only; made once, so a request costs no 64 KiB fill and the server answers
  // as fast as a plain one would.
  std::vector<unsigned char> readBuffer;
};

#endif  // ZVNET_TOOLS_UDPREFERENCESERVER_H_
