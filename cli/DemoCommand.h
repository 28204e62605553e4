// `zvnet demo`: shows every family working against servers it starts inside the process on
// loopback, then prints a summary table. Exit status 0 only when every step worked.
#ifndef ZVNET_CLI_DEMOCOMMAND_H_
#define ZVNET_CLI_DEMOCOMMAND_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "zvnet/zvnet.h"

class CHttpTestServer;

class CDemoCommand {
 public:
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

  static int ZV_STDCALL OnHttpEvent(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                    tagDataOut* out);
  // Outcomes live as long as the command: a message posted before a stop may still arrive.
  Outcome& NewOutcome();
  bool Wait(Outcome& outcome);
  void Record(const std::string& name, bool ok, const std::string& detail);

  void FileDownload(CHttpTestServer& server);
  void StopAndResume(CHttpTestServer& server);
  void ConditionalFetch(CHttpTestServer& server);
  void UploadBody(CHttpTestServer& server);
  void MemoryDownload(CHttpTestServer& server);
  void Reachability(CHttpTestServer& server);
  void UdpExchanges();
  int Summary() const;

  int worker = 0;
  std::string folder;
  std::string fileBody;
  std::string smallBody;
  std::vector<Step> steps;
  std::deque<Outcome> outcomes;
};

#endif  // ZVNET_CLI_DEMOCOMMAND_H_
