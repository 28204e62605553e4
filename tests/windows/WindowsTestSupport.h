// Helpers of the Windows tests: the callbacks' record, pumping with a deadline, the reference
// server's address, and a loopback socket the test answers from itself.
#ifndef ZVNET_TESTS_WINDOWS_WINDOWSTESTSUPPORT_H_
#define ZVNET_TESTS_WINDOWS_WINDOWSTESTSUPPORT_H_

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zvnet/zvmsgloop.h"
#include "zvnet/zvudp.h"

using namespace std::chrono_literals;

// Every callback, by cookie, as "S1 R0:payload": 'S' send, 'R' receive, 'C' one-shot callback,
// then the code and, for a reply, its payload. Also remembers the threads they ran on.
class CCallbackRecord {
 public:
  static CCallbackRecord& Get();
  static int ZV_STDCALL OnSend(int cookie, unsigned long user, UDP_ERRORCODE code, tagUdpOut* out);
  static int ZV_STDCALL OnRecv(int cookie, unsigned long user, UDP_ERRORCODE code, tagUdpOut* out);
  static int ZV_STDCALL OnOneShot(int cookie, unsigned long user, UDP_ERRORCODE code,
                                  tagUdpOut* out);

  std::string Summary(int cookie);
  std::vector<DWORD> Threads(int cookie);
  void Clear();

 private:
  void Add(char kind, int cookie, UDP_ERRORCODE code, const tagUdpOut* out);

  std::mutex lock;
  std::map<int, std::string> summaries;
  std::map<int, std::vector<DWORD>> threads;
};

// Pumps the calling thread's loop until `done` or the deadline.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 20s);

// ZVNET_UDP_SERVER, as host and port; the test fails without it.
bool ReferenceServer(std::string* host, unsigned short* port);

// A UDP socket on 127.0.0.1 of the Windows side, owned and closed by this object.
class CTestSocket {
 public:
  CTestSocket();
  ~CTestSocket();
  CTestSocket(const CTestSocket&) = delete;
  CTestSocket& operator=(const CTestSocket&) = delete;

  unsigned short Port() const { return port; }
  // One datagram within the deadline, or empty; `from` receives its sender.
  std::vector<unsigned char> Receive(sockaddr_in* from, DWORD deadlineMs = 20000);
  bool SendTo(const std::vector<unsigned char>& bytes, const sockaddr_in& to);

 private:
  SOCKET socket = INVALID_SOCKET;
  unsigned short port = 0;
};

#endif  // ZVNET_TESTS_WINDOWS_WINDOWSTESTSUPPORT_H_
