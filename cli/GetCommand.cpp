#include "cli/GetCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string_view>
#include <unordered_set>

#include "cli/ExitCodes.h"
#include "cli/FileNames.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "platform/win32/SystemTime.h"

namespace {

uint32_t ReadLe32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Through std::filesystem: on Windows stat() reads the name in the ANSI code page and its size
// in 32 bits.
uint64_t FileSize(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(PathFromUtf8(path), error);
  return error ? 0 : static_cast<uint64_t>(size);
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(PathFromUtf8(path), error);
}

// A body in one write rather than in stdio's 4 KiB pieces.
void WriteToStdout(const unsigned char* data, size_t length) {
  std::fflush(stdout);
  while (length > 0) {
    // At most 1 GiB a call: Windows' write counts in an int, and more would read as a failure.
    const ssize_t written = ::write(STDOUT_FILENO, data, std::min<size_t>(length, 1u << 30));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed or full output loses the rest, as with stdio
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// The library's name for the part of a file still downloading.
constexpr std::string_view kPartSuffix = ".downloading";

// `path`, or the first of "name.1.ext", "name.2.ext"... that `isFree` takes.
template <typename IsFree>
std::string Unclaimed(const std::string& path, const IsFree& isFree) {
  if (isFree(path)) return path;
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  // A dot that opens the name (".profile") starts no extension.
  const size_t split = dot != std::string::npos && dot > slash + 1 ? dot : path.size();
  for (int n = 1;; ++n) {
    std::string candidate = path.substr(0, split) + "." + std::to_string(n) + path.substr(split);
    if (isFree(candidate)) return candidate;
  }
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar (as timegm counts,
// which Windows lacks).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::optional<SYSTEMTIME> ParseDate(const std::string& text) {
  const char* formats[] = {"%a, %d %b %Y %H:%M:%S GMT", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S",
                           "%Y-%m-%d"};
  for (const char* format : formats) {
    std::tm tm{};
    std::istringstream in(text);
    in.imbue(std::locale::classic());  // English day and month names
    in >> std::get_time(&tm, format);
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) continue;
    const int64_t days = DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return SystemTimeFromUnix(
        static_cast<std::time_t>(days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec));
  }
  return std::nullopt;
}

CGetCommand::CGetCommand(GetOptions options) : options(std::move(options)) {}

bool CGetCommand::IntoFolder() const {
  if (options.output.empty() || options.output == "-") return false;
  return options.urls.size() > 1 || options.output.back() == '/' || IsDirectory(options.output);
}

std::string CGetCommand::PathFor(const std::string& url) const {
  if (options.output.empty() || options.output == "-") return "";
  if (!IntoFolder()) return options.output;
  // The query or fragment is cut first: a '/' in it names nothing. A '\' separates as '/'
  // does (browsers read it so in http URLs), on Linux too, so that both name the file alike.
  std::string_view leaf(url);
  leaf = leaf.substr(0, leaf.find_first_of("?#"));
  leaf = leaf.substr(leaf.find_last_of("/\\") + 1);
  std::string name = PlainFileName(leaf);
  if (name.empty()) name = "index.html";
  std::string path;
  path.reserve(options.output.size() + 1 + name.size());
  path += options.output;
  if (options.output.back() != '/') path += '/';
  path += name;
  return path;
}

int ZV_STDCALL CGetCommand::OnEvent(int, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                    tagDataOut* out) {
  Transfer* found = userValues.Find(userParam);
  if (!found || found->done) return 0;
  Transfer& transfer = *found;
  if (code == DOWNLOAD_PROGRESS) {
    if (out && out->data && out->dataLength == 8 && transfer.progress) {
      const uint32_t total = ReadLe32(out->data + 4);
      transfer.progress->Update(ReadLe32(out->data), total == 0xFFFFFFFFu ? 0 : total);
    }
    return 0;
  }
  if (code == DOWNLOAD_REDIRECT) {
    if (out && !transfer.owner->options.quiet) {
      std::fprintf(stderr, "redirected to %s\n", EscapeForTerminal(out->text).c_str());
    }
    return 0;
  }
  transfer.owner->OnFinished(transfer, code, out);
  return 0;
}

void CGetCommand::OnFinished(Transfer& transfer, DOWNLOAD_ERRORCODE code, tagDataOut* out) {
  transfer.done = true;
  transfer.code = code;
  transfer.httpStatus = out ? out->httpStatus : 0;
  ++finished;
  if (transfer.progress) transfer.progress->Finish();
  if (code == DOWNLOAD_OK && transfer.path.empty() && out && out->data) {
    WriteToStdout(out->data, out->dataLength);
  }
  if (code != DOWNLOAD_OK) {
    std::string line = transfer.url + ": " +
                       DescribeFailure(code, out ? out->failure : ZV_FAILURE_NONE,
                                       out ? out->systemError : 0, transfer.url, transfer.path);
    if (transfer.httpStatus > 0 && code != DOWNLOAD_TIMEOUT) {
      line += " (HTTP " + std::to_string(transfer.httpStatus) + ")";
    }
    if (code == DOWNLOAD_NOT_MODIFIED) {
      if (!options.quiet) std::fprintf(stderr, "%s\n", EscapeForTerminal(line).c_str());
    } else {
      PrintError(line);
    }
  }
}

bool CGetCommand::Start(Transfer& transfer, int workerId, const std::optional<SYSTEMTIME>& since) {
  tagDefHttpPar par;
  std::string error;
  if (!BuildRequest(options.http, transfer.url, &par, &error)) {
    PrintError(error);
    return false;
  }
  const unsigned long user = userValues.Add(&transfer);
  const unsigned int timeout = TimeoutMs(options.http);
  long result;
  if (transfer.path.empty()) {
    result = ZvHttp::DownloadInMem(&par, OnEvent, timeout, &transfer.taskId, user, workerId);
  } else if (since || options.resume) {
    SYSTEMTIME stamp = since.value_or(SYSTEMTIME{});
    const unsigned long offset =
        options.resume ? FileSize(transfer.path + std::string(kPartSuffix)) : 0;
    result = ZvHttp::DownloadInFileEx(&par, Widen(transfer.path), since ? &stamp : nullptr, offset,
                                      OnEvent, timeout, &transfer.taskId, user, workerId);
  } else {
    result = ZvHttp::DownloadInFile(&par, Widen(transfer.path), OnEvent, timeout, &transfer.taskId,
                                    user, workerId, false);
  }
  if (result != 0) PrintError(transfer.url + ": the request was refused");
  return result == 0;
}

int CGetCommand::Run() {
  std::optional<SYSTEMTIME> since;
  if (!options.ifModifiedSince.empty()) {
    since = ParseDate(options.ifModifiedSince);
    if (!since) {
      PrintError("--if-modified-since: unknown date \"" + options.ifModifiedSince + "\"");
      return kExitUsage;
    }
  }
  if (options.workers < 1) options.workers = 1;
  // A folder to save into is made first (as mkdir -p), so no transfer fails for want of it.
  if (IntoFolder() && !IsDirectory(options.output)) {
    std::error_code error;
    std::filesystem::create_directories(PathFromUtf8(options.output), error);
    if (error) {
      PrintError("cannot create folder " + options.output + ": " + error.message());
      return kExitFailure;
    }
  }
  if (const int status = StartHttp(options.http); status != kExitOk) return status;
  for (int i = 0; i < options.workers; ++i) {
    int id = 0;
    if (ZvHttp::CreateWorker(&id) != 0) {
      PrintError("a worker could not be started");
      break;
    }
    workerIds.push_back(id);
  }
  CHostLoop loop;
  size_t started = 0;
  // Two transfers never share a file or its part, and no transfer's file is another's part,
  // with names compared as the file system compares them.
  std::unordered_set<std::string> taken;  // SameFileKey of each file and of its part
  taken.reserve(2 * options.urls.size());
  auto isFree = [&taken](const std::string& path) {
    return !taken.count(SameFileKey(path)) &&
           !taken.count(SameFileKey(path + std::string(kPartSuffix)));
  };
  for (size_t i = 0; i < options.urls.size() && !workerIds.empty(); ++i) {
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->url = options.urls[i];
    transfer->path = PathFor(transfer->url);
    // A name not taken yet is claimed at once; a taken one gets the first free variant.
    if (!transfer->path.empty()) {
      const std::string wanted = transfer->path;
      transfer->path = Unclaimed(wanted, isFree);
      taken.insert(SameFileKey(transfer->path));
      taken.insert(SameFileKey(transfer->path + std::string(kPartSuffix)));
      if (transfer->path != wanted) {
        std::fprintf(stderr, "%s\n",
                     EscapeForTerminal(transfer->url + ": saving as " + transfer->path + " (" +
                                       wanted + " is taken by an earlier URL)")
                         .c_str());
      }
    }
    const bool showProgress = !options.quiet && options.urls.size() == 1;
    transfer->progress = std::make_unique<CProgressBar>(transfer->url, showProgress);
    if (Start(*transfer, workerIds[i % workerIds.size()], since)) {
      ++started;
    } else {
      transfer->done = true;
      transfer->code = DOWNLOAD_FAILED;
      ++finished;
    }
    transfers.push_back(std::move(transfer));
  }
  const bool completed = loop.RunUntil([&] { return finished == transfers.size(); });
  if (!completed) {
    for (auto& transfer : transfers) {
      if (!transfer->done) ZvHttp::StopTask(transfer->taskId);
    }
  }
  for (int id : workerIds) ZvHttp::CloseWorker(id);
  ZvHttp::Uninit();
  if (!completed) {
    PrintError("interrupted");
    return kExitFailure;
  }
  return started == 0 ? kExitFailure : Finish();
}

int CGetCommand::Finish() {
  for (const auto& transfer : transfers) {
    const int status = ExitStatusFor(transfer->code, transfer->httpStatus);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}
