// `zvnet get`: downloads one or more URLs into memory (standard output) or files.
#ifndef ZVNET_CLI_GETCOMMAND_H_
#define ZVNET_CLI_GETCOMMAND_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/HttpOptions.h"
#include "cli/ProgressBar.h"
#include "cli/UserValues.h"

struct GetOptions {
  HttpOptions http;
  std::vector<std::string> urls;
  std::string output;  // a file for one URL, a folder for several; empty: standard output
  bool resume = false;
  std::string ifModifiedSince;
  int workers = 1;
  bool quiet = false;
};

// Parses "2024-05-01", "2024-05-01T10:20:30" or an HTTP date into a UTC SYSTEMTIME.
std::optional<SYSTEMTIME> ParseDate(const std::string& text);

class CGetCommand {
 public:
  explicit CGetCommand(GetOptions options);
  int Run();

 private:
  struct Transfer {
    CGetCommand* owner = nullptr;
    std::string url;
    std::string path;  // empty: memory
    int taskId = 0;
    bool done = false;
    DOWNLOAD_ERRORCODE code = DOWNLOAD_OK;
    int httpStatus = 0;
    std::unique_ptr<CProgressBar> progress;
  };

  // The transfers' user values (the command runs once per process).
  static inline CUserValues<Transfer> userValues;

  static int ZV_STDCALL OnEvent(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                tagDataOut* out);
  void OnFinished(Transfer& transfer, DOWNLOAD_ERRORCODE code, tagDataOut* out);
  bool Start(Transfer& transfer, int workerId, const std::optional<SYSTEMTIME>& since);
  // Whether the output names a folder: several URLs, a trailing slash, or an existing folder.
  bool IntoFolder() const;
  std::string PathFor(const std::string& url) const;
  int Finish();

  GetOptions options;
  std::vector<std::unique_ptr<Transfer>> transfers;
  std::vector<int> workerIds;
  size_t finished = 0;
};

#endif  // ZVNET_CLI_GETCOMMAND_H_
