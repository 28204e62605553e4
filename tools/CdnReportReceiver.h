// An HTTP endpoint on "/downloadComplete" that opens the performance reports it receives
// ("ver=0&" and the Base64 text) and answers, and hands on, the plain query text. Operators
// use it to check what clients send; tests use it as the report endpoint.
//
// Threads: Start, Stop and the destructor on the owner's thread; one server thread accepts
// and answers connections one at a time and runs the handler; Received and Count from any
// thread. `lock` guards `reports`. The object owns its socket and thread; Stop joins it.
#ifndef ZVNET_TOOLS_CDNREPORTRECEIVER_H_
#define ZVNET_TOOLS_CDNREPORTRECEIVER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/StopSignal.h"
#include "tools/UniqueSocket.h"

// The query back from the Base64 text of a sealed report (http/report/CdnReportCipher.h), without
// its zero padding; nothing when the text is not Base64 of whole blocks.
std::optional<std::wstring> OpenCdnReport(std::string_view base64);

// Decrypts `length` bytes, a multiple of 16, in place, each block on its own: the inverse of
// EncryptReportBlocks (http/report/CdnReportCipher.h). Only the receiver opens reports, so
// this is never part of the shipped library.
bool DecryptReportBlocks(const uint8_t* key, uint8_t* buffer, size_t length);

class CCdnReportReceiver {
 public:
  using Handler = std::function<void(const std::wstring& query)>;

  explicit CCdnReportReceiver(Handler handler = {});
  ~CCdnReportReceiver();
  CCdnReportReceiver(const CCdnReportReceiver&) = delete;
  CCdnReportReceiver& operator=(const CCdnReportReceiver&) = delete;

  // Listens on the numeric address and port (0: any free port). False when it cannot.
  bool Start(const std::string& address = "127.0.0.1", uint16_t port = 0);
  void Stop();
  uint16_t Port() const { return port; }

  std::vector<std::wstring> Received() const;
  size_t Count() const;

  // The query text of a request target "/downloadComplete?ver=0&<Base64>" (origin or
  // absolute form); nothing when the target is not a readable report.
  static std::optional<std::wstring> OpenRequestTarget(const std::string& target);

 private:
  void Serve();
  void Answer(const UniqueSocket& connection);
  // Reads up to the blank line that ends the request head; empty when it does not come.
  std::string ReadHead(const UniqueSocket& connection);
  // Waits up to `timeoutMs` (-1: without limit) for `socket` to be readable; false when the
  // receiver stops first or the time runs out.
  bool WaitReadable(SocketHandle socket, int timeoutMs) const;

  Handler handler;
  UniqueSocket listener;
  uint16_t port = 0;
  CStopSignal quit;
  std::thread thread;  // joinable while started
  mutable std::mutex lock;
  std::vector<std::wstring> reports;  // guarded by lock
};

#endif  // ZVNET_TOOLS_CDNREPORTRECEIVER_H_
