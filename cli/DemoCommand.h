// `zvnet demo`: shows every family working against an HTTP server that serves the demo's
// resources (tools/DemoResources.h) and a UDP reference server, then prints a summary table.
// Exit status 0 only when every step worked. The command starts both servers inside the
// process unless given others (cli/ServerCommands.cpp).
#ifndef ZVNET_CLI_DEMOCOMMAND_H_
#define ZVNET_CLI_DEMOCOMMAND_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "cli/UserValues.h"
#include "zvnet/zvnet.h"

// Where the tour goes.
struct DemoServers {
  std::string httpBase;  // "http://HOST:PORT" and any path the resources are under
  std::string udpHost;
  unsigned short udpPort = 0;
};

class CDemoCommand {
 public:
  explicit CDemoCommand(DemoServers servers);
  int Run();

 private:
  // What one HTTP transfer delivered to its callback.
  struct Outcome {
    bool done = false;
    DOWNLOAD_ERRORCODE code = DOWNLOAD_FAILED;
    int httpStatus = 0;
    std::string body;
    int progressCalls = 0;
    uint64_t held = 0;
    int taskId = 0;
    std::function<void(Outcome&)> onProgress;
  };
  struct Step {
    std::string name;
    bool ok;
    std::string detail;
  };

  // The outcomes' user values (the demo runs once per process).
  static inline CUserValues<Outcome> userValues;

  static int ZV_STDCALL OnHttpEvent(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                    tagDataOut* out);
  // Outcomes live as long as the command: a message posted before a stop may still arrive.
  Outcome& NewOutcome();
  bool Wait(Outcome& outcome);
  void Record(const std::string& name, bool ok, const std::string& detail);

  void FileDownload();
  void StopAndResume();
  void ConditionalFetch();
  void UploadBody();
  void MemoryDownload();
  void Reachability();
  void UdpExchanges();
  int Summary() const;
  std::wstring Url(const std::string& path) const;

  DemoServers servers;
  int worker = 0;
  std::string folder;
  std::string fileBody;
  std::string smallBody;
  std::vector<Step> steps;
  std::deque<Outcome> outcomes;
};

// The demo against an HTTP base URL and a UDP server "HOST:PORT" (kExitUsage when it is not).
int RunDemoAgainst(const std::string& httpBase, const std::string& udpServer);

#endif  // ZVNET_CLI_DEMOCOMMAND_H_
