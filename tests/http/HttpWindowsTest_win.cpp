// The HTTP family of the Windows build through its exports, on the system's WinINet, against
// the servers of zvnet_windows_test_server on the Linux side of loopback (ZVNET_HTTP_SERVER,
// ZVNET_HTTP_OTHER): downloads into memory and into a file, a 404, a cut body reported as a
// failure, the caller's credentials kept within the origin of a redirect only, a stop that
// keeps the partial file and a resume from it, an upload, the performance report of a file
// download, which the Linux build's receiver (`zvnet report-serve`) opens, and a stop during
// a report that its endpoint never answers.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "tests/support/Pump.h"
#include "zvnet/zvhttp.h"

// After windows.h (through the support header).
#include <aclapi.h>
#include <bcrypt.h>
#include <iphlpapi.h>
// After iphlpapi.h, which it needs.
#include <icmpapi.h>

namespace {

constexpr unsigned kTimeoutMs = 60000;

// The bytes of /file.bin and /paced.bin: byte i is i modulo 251.
std::string Pattern(size_t length) {
  std::string body(length, '\0');
  for (size_t i = 0; i < length; ++i) body[i] = static_cast<char>(i % 251);
  return body;
}

std::string Sha256Hex(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  std::string hex;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) {
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
      BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                     static_cast<ULONG>(bytes.size()), 0);
      if (BCryptFinishHash(hash, digest, sizeof digest, 0) == 0) {
        for (unsigned char c : digest)
          hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
      }
      BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  return hex;
}

std::string ReadFile(const std::wstring& path) {
  std::string bytes;
  if (FILE* file = ::_wfopen(path.c_str(), L"rb")) {
    char block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, n);
    std::fclose(file);
  }
  return bytes;
}

bool WriteText(const std::wstring& path, const char* text) {
  FILE* file = ::_wfopen(path.c_str(), L"wb");
  if (!file) return false;
  std::fputs(text, file);
  return std::fclose(file) == 0;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether this system says that `path` belongs to someone other than this process's user.
bool OwnedByAnotherUser(const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  HANDLE token = nullptr;
  BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  DWORD size = 0;
  const bool other = owner && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
                     ::GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                     !::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
  if (token) ::CloseHandle(token);
  ::LocalFree(descriptor);
  return other;
}

std::wstring Widen(const char* text) {
  return text ? std::wstring(text, text + std::strlen(text)) : std::wstring();
}

// The data folder of the test's own that reports are sent from.
std::wstring ReportFolder() {
  wchar_t temp[MAX_PATH];
  if (::GetTempPathW(MAX_PATH, temp) == 0) return L"";
  return std::wstring(temp) + L"zvnet-windows-reports";
}

// Points the reports at `host` (host:port); the next report reads it.
void SetReportHost(const char* host) {
  if (FILE* config = ::_wfopen((ReportFolder() + L"\\config.ini").c_str(), L"wb")) {
    std::fprintf(config, "[CFG]\r\nREPORT=1\r\nREPORT_HOST=%s\r\n", host);
    std::fclose(config);
  }
}

// Reports are switched on for the whole process (the switch is read once) by a data folder of
// the test's own, named by the user's registry value, whose config.ini points at the receiver
// that scripts/test-windows started (ZVNET_REPORT_SERVER, host:port). The wine prefix is the
// tree's own: the value is removed at the end.
class CReportSwitch : public testing::Environment {
 public:
  void SetUp() override {
    const char* server = std::getenv("ZVNET_REPORT_SERVER");
    const std::wstring folder = ReportFolder();
    if (!server || folder.empty()) return;
    ::CreateDirectoryW(folder.c_str(), nullptr);
    SetReportHost(server);
    set = ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, folder.c_str(),
                            static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) ==
          ERROR_SUCCESS;
  }
  void TearDown() override {
    if (set) ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
  }

 private:
  static constexpr wchar_t kKey[] = L"Software\\Zarvo\\ZarvoInput";
  static constexpr wchar_t kValue[] = L"AppData";
  bool set = false;
};

testing::Environment* const reportSwitch = testing::AddGlobalTestEnvironment(new CReportSwitch);

// The route trace that a report to 127.0.0.1 has here, as a pattern: one hop when loopback
// answers ICMP echo; none when ICMP is not permitted (Wine without CAP_NET_RAW or ping
// sockets); 127 silent hops otherwise.
std::string LoopbackTrace() {
  HANDLE icmp = ::IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return "";
  char data[32] = {};
  unsigned char reply[sizeof(ICMP_ECHO_REPLY) + 128] = {};
  const DWORD count = ::IcmpSendEcho(icmp, ::inet_addr("127.0.0.1"), data, sizeof data, nullptr,
                                     reply, sizeof reply, 1000);
  const DWORD error = ::GetLastError();
  ::IcmpCloseHandle(icmp);
  if (count > 0 && reinterpret_cast<ICMP_ECHO_REPLY*>(reply)->Status == IP_SUCCESS) {
    return R"(127\.0\.0\.1\[\d+\])";
  }
  return error == ERROR_ACCESS_DENIED ? "" : R"((\[-1\]){127})";
}

// The first DNS server of the machine's list (GetNetworkParams) as address text, or a pattern
// of any when there is none. The report reads the adapters' lists, whose first server is this
// one under Wine and on a machine with one adapter.
std::string FirstDnsServer() {
  ULONG size = 0;
  ::GetNetworkParams(nullptr, &size);
  std::vector<unsigned char> buffer(size);
  auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
  if (size == 0 || ::GetNetworkParams(info, &size) != ERROR_SUCCESS) return "([0-9A-F]{8})?";
  unsigned a, b, c, d;
  if (std::sscanf(info->DnsServerList.IpAddress.String, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
    return "([0-9A-F]{8})?";
  }
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", a, b, c, d);
  return text;
}

// What one transfer reported, filled by OnHttp on the thread that queued it.
struct Transfer {
  std::vector<int> codes;  // every callback's code, in order
  uint64_t held = 0;       // the last progress record's bytes held
  std::string body;        // a completion's data
  int httpStatus = 0;
  int failure = 0;
  bool done = false;
  bool otherThread = false;
};

std::mutex transfersLock;
std::map<unsigned long, Transfer> transfers;
DWORD testThread = 0;

int ZV_STDCALL OnHttp(int, unsigned long user, DOWNLOAD_ERRORCODE code, tagDataOut* out) {
  std::lock_guard guard(transfersLock);
  Transfer& transfer = transfers[user];
  transfer.codes.push_back(code);
  transfer.otherThread |= ::GetCurrentThreadId() != testThread;
  if (code == DOWNLOAD_PROGRESS && out && out->dataLength == 8) {
    transfer.held = *reinterpret_cast<uint32_t*>(out->data);
  } else if (code != DOWNLOAD_PROGRESS && code != DOWNLOAD_REDIRECT) {
    if (out && out->data) transfer.body.assign(reinterpret_cast<char*>(out->data), out->dataLength);
    if (out) transfer.httpStatus = out->httpStatus, transfer.failure = out->failure;
    transfer.done = true;
  }
  return 0;
}

Transfer Get(unsigned long user) {
  std::lock_guard guard(transfersLock);
  return transfers[user];
}

class HttpWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("ZVNET_HTTP_SERVER");
    const char* other = std::getenv("ZVNET_HTTP_OTHER");
    ASSERT_TRUE(server && other) << "ZVNET_HTTP_SERVER and ZVNET_HTTP_OTHER are not set";
    origin = Widen(server);
    testThread = ::GetCurrentThreadId();
    wchar_t temp[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    folder = temp;
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  }
  void TearDown() override {
    ZvHttp::CloseWorker(worker);
    ZvHttp::Uninit();
  }

  // Queues a download (into `path`, or memory when empty) and answers its user value.
  unsigned long Download(const std::wstring& path, const std::wstring& headers = L"",
                         unsigned long offset = 0) {
    const unsigned long user = ++nextUser;
    tagDefHttpPar par;
    par.url = origin + path;
    par.headers = headers;
    int task = 0;
    EXPECT_EQ(ZvHttp::DownloadInFileEx(&par, filePath, nullptr, offset, OnHttp, kTimeoutMs, &task,
                                       user, worker),
              0);
    tasks[user] = task;
    return user;
  }
  static Transfer Finish(unsigned long user) {
    EXPECT_TRUE(PumpUntil([&] { return Get(user).done; }, 60s));
    return Get(user);
  }

  std::wstring origin, folder, filePath;
  int worker = 0;
  std::map<unsigned long, int> tasks;
  static inline unsigned long nextUser = 0;
};

}  // namespace

TEST_F(HttpWindowsTest, DownloadsEndAsTheServerAnswered) {
  struct Row {
    const char* name;
    const wchar_t* path;
    bool intoFile;
    const wchar_t* headers;
    int code;          // the completion's DOWNLOAD_ERRORCODE; -1: any failure
    std::string body;  // memory: the body; file: the file's content
  };
  const std::string small = "hello from the loopback server\n";
  const Row rows[] = {
      {"memory", L"/small.txt", false, L"", DOWNLOAD_OK, small},
      {"memory, 300,000 bytes", L"/file.bin", false, L"", DOWNLOAD_OK, Pattern(300000)},
      {"file", L"/file.bin", true, L"", DOWNLOAD_OK, Pattern(300000)},
      {"not found", L"/missing", false, L"", DOWNLOAD_NOT_FOUND, ""},
      {"cut body into memory", L"/cut.bin", false, L"", -1, ""},
      {"cut body into a file", L"/cut.bin", true, L"", -1, ""},
      // The caller's credentials stay within the origin: a redirect elsewhere leaves them.
      {"redirect, same origin", L"/to-same", false, L"Authorization: Bearer s3cret\r\n",
       DOWNLOAD_OK, "authorization=Bearer s3cret;cookie=;"},
      {"redirect, other origin", L"/to-other", false,
       L"Authorization: Bearer s3cret\r\nCookie: id=1\r\n", DOWNLOAD_OK, "authorization=;cookie=;"},
      // A relative Location is read against the URL it answers; a loop ends after 20.
      {"redirect, relative", L"/dir/to-relative", false, L"Authorization: Bearer s3cret\r\n",
       DOWNLOAD_OK, "authorization=Bearer s3cret;cookie=;"},
      {"redirect loop", L"/loop", false, L"", -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    filePath = row.intoFile ? folder + L"zvnet-windows-test.bin" : L"";
    if (row.intoFile) ::DeleteFileW(filePath.c_str());
    const Transfer transfer = Finish(Download(row.path, row.headers));
    EXPECT_FALSE(transfer.otherThread) << "a callback ran on another thread";
    if (row.code < 0) {
      EXPECT_NE(transfer.codes.back(), DOWNLOAD_OK);
      if (row.intoFile) {
        EXPECT_FALSE(Exists(filePath));
      }
      continue;
    }
    EXPECT_EQ(transfer.codes.back(), row.code);
    if (row.code != DOWNLOAD_OK) continue;
    if (row.intoFile) {
      EXPECT_EQ(ReadFile(filePath), row.body);
      EXPECT_FALSE(Exists(filePath + L".downloading"));
    } else {
      EXPECT_EQ(transfer.body, row.body);
    }
  }
}

TEST_F(HttpWindowsTest, StoppedDownloadKeepsItsPartialFileAndResumesFromIt) {
  filePath = folder + L"zvnet-windows-paced.bin";
  const std::wstring partial = filePath + L".downloading";
  ::DeleteFileW(filePath.c_str());
  ::DeleteFileW(partial.c_str());
  const unsigned long first = Download(L"/paced.bin");
  ASSERT_TRUE(PumpUntil([&] { return Get(first).held >= 256 * 1024; }, 60s));
  EXPECT_EQ(ZvHttp::StopTask(tasks[first]), 0);
  const size_t seen = Get(first).codes.size();
  // The worker runs one transfer at a time: once the next one has ended, the stopped one has
  // let go of its file, and nothing of it may have arrived meanwhile.
  filePath.clear();
  Finish(Download(L"/small.txt"));
  EXPECT_EQ(Get(first).codes.size(), seen);
  EXPECT_FALSE(Get(first).done);

  filePath = folder + L"zvnet-windows-paced.bin";
  const std::string kept = ReadFile(partial);
  ASSERT_GE(kept.size(), 256u * 1024);
  ASSERT_LT(kept.size(), 2u << 20);
  const Transfer resumed =
      Finish(Download(L"/paced.bin", L"", static_cast<unsigned long>(kept.size())));
  EXPECT_EQ(resumed.codes.back(), DOWNLOAD_OK);
  EXPECT_EQ(ReadFile(filePath), Pattern(2 << 20));
  EXPECT_FALSE(Exists(partial));
}

TEST_F(HttpWindowsTest, UploadReachesTheServerWhole) {
  std::string body = Pattern(1 << 20);
  body[12345] = 'x';
  tagDefHttpPar par;
  par.url = origin + L"/upload";
  int task = 0;
  const unsigned long user = ++nextUser;
  ASSERT_EQ(
      ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                     static_cast<unsigned>(body.size()), OnHttp, kTimeoutMs, &task, user, worker),
      0);
  const Transfer transfer = Finish(user);
  EXPECT_EQ(transfer.codes.back(), DOWNLOAD_OK);
  EXPECT_EQ(transfer.body, "received 1048576 bytes, sha256 " + Sha256Hex(body) + "\n");
  EXPECT_FALSE(transfer.otherThread);
}

TEST_F(HttpWindowsTest, NamesPlantedInTheFolderAreReplacedNeverWrittenThrough) {
  filePath = folder + L"zvnet-windows-planted.bin";
  const std::wstring partial = filePath + L".downloading";
  const std::wstring victim = folder + L"zvnet-windows-victim.txt";
  struct Row {
    const char* name;
    const std::wstring& at;  // where the link to the victim is planted
    bool symbolic;
  };
  const Row rows[] = {
      {"hard link at the temporary name", partial, false},
      {"hard link at the destination", filePath, false},
      {"symbolic link at the temporary name", partial, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const std::wstring& name : {filePath, partial, victim}) ::DeleteFileW(name.c_str());
    ASSERT_TRUE(WriteText(victim, "victim"));
    const bool planted = row.symbolic
                             ? ::CreateSymbolicLinkW(row.at.c_str(), victim.c_str(), 0) != 0
                             : ::CreateHardLinkW(row.at.c_str(), victim.c_str(), nullptr) != 0;
    if (!planted) {
      // Wine makes no symbolic links on every file system; the hard-link rows still run.
      std::printf("  %s: cannot be planted here (error %lu), not checked\n", row.name,
                  ::GetLastError());
      continue;
    }
    const Transfer transfer = Finish(Download(L"/small.txt"));
    EXPECT_EQ(transfer.codes.back(), DOWNLOAD_OK);
    EXPECT_EQ(ReadFile(victim), "victim");
    EXPECT_EQ(ReadFile(filePath), "hello from the loopback server\n");
  }

  // A part file of another user's is not resumed: what it holds may be theirs.
  // scripts/test-windows plants one that another Unix user owns, which Wine reports as owned
  // by someone else (ZVNET_FOREIGN_PART, the part file's name).
  const std::wstring foreign = Widen(std::getenv("ZVNET_FOREIGN_PART"));
  if (!foreign.empty() && OwnedByAnotherUser(foreign)) {
    filePath = foreign.substr(0, foreign.size() - std::wcslen(L".downloading"));
    const Transfer transfer = Finish(Download(L"/file.bin", L"", 23));
    EXPECT_EQ(transfer.codes.back(), DOWNLOAD_OK);
    EXPECT_TRUE(ReadFile(filePath) == Pattern(300000)) << "a planted part was resumed";
  } else {
    std::printf("  a part file of another owner: none planted here, not checked\n");
  }

  // The folder is moved away while the body is on its way, and a new one with a planted
  // temporary file takes its name. The download holds its folder, so Windows refuses the move;
  // where a move gets through, the body still lands in the folder the download started in.
  const std::wstring swapped = folder + L"zvnet-windows-swap", moved = swapped + L"-moved";
  for (const std::wstring& name : {swapped, moved}) {
    ::DeleteFileW((name + L"\\x.bin").c_str());
    ::DeleteFileW((name + L"\\x.bin.downloading").c_str());
    ::RemoveDirectoryW(name.c_str());
  }
  ASSERT_TRUE(::CreateDirectoryW(swapped.c_str(), nullptr));
  filePath = swapped + L"\\x.bin";
  const unsigned long user = Download(L"/paced.bin");
  ASSERT_TRUE(PumpUntil([&] { return Get(user).held >= 256 * 1024; }, 60s));
  const bool movedAway = ::MoveFileW(swapped.c_str(), moved.c_str());
  if (movedAway) {
    ASSERT_TRUE(::CreateDirectoryW(swapped.c_str(), nullptr));
    ASSERT_TRUE(WriteText(swapped + L"\\x.bin.downloading", "planted"));
  }
  EXPECT_EQ(Finish(user).codes.back(), DOWNLOAD_OK);
  EXPECT_TRUE(ReadFile((movedAway ? moved : swapped) + L"\\x.bin") == Pattern(2 << 20))
      << "the body is not in the folder the download started in";
  if (movedAway) {
    EXPECT_EQ(ReadFile(swapped + L"\\x.bin.downloading"), "planted");
    EXPECT_FALSE(Exists(filePath));
  }
}

// A file download with reports switched on: its report reaches the Linux receiver, which opens
// it (so the cipher's blocks are those of the Linux build), with the query's keys in order and
// the values that this download had. The report nobody asked for, from a server that does not
// say "Server: QMR...", is not sent.
TEST_F(HttpWindowsTest, FileDownloadSendsItsReportToTheReceiver) {
  const std::wstring received = Widen(std::getenv("ZVNET_REPORT_LOG"));
  ASSERT_FALSE(received.empty() || !std::getenv("ZVNET_REPORT_SERVER"))
      << "ZVNET_REPORT_SERVER and ZVNET_REPORT_LOG are not set";
  const std::string port =
      std::to_string(std::wcstoul(origin.c_str() + origin.rfind(L':') + 1, nullptr, 10));
  const std::string trace = LoopbackTrace();
  const std::string dnsServer = FirstDnsServer();
  struct Row {
    const char* name;
    const char* host;
    bool asked;
    const char* canonicalName;
  };
  const Row rows[] = {
      {"not asked, from a server that is not the CDN's", "127.0.0.1", false, nullptr},
      {"asked, dotted host", "127.0.0.1", true, ""},
      {"asked, host looked up", "localhost", true, "localhost"},
  };
  filePath = folder + L"zvnet-windows-report.bin";
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    const std::string id = "report%3D" + std::to_string(i) + "&";
    tagDefHttpPar par;
    par.url = Widen(
        ("http://" + std::string(row.host) + ":" + port + "/file.bin?report=" + std::to_string(i))
            .c_str());
    int task = 0;
    const unsigned long user = ++nextUser;
    ASSERT_EQ(
        ZvHttp::DownloadInFile(&par, filePath, OnHttp, kTimeoutMs, &task, user, worker, row.asked),
        0);
    EXPECT_EQ(Finish(user).codes.back(), DOWNLOAD_OK);
    if (!row.canonicalName) continue;
    // The receiver prints each query it opened on a line of its own.
    std::string query;
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::string lines = ReadFile(received);
          const size_t at = lines.find(id);
          if (at == std::string::npos) return false;
          const size_t begin = lines.rfind('\n', at) + 1;  // npos + 1 is the start
          query = lines.substr(begin, lines.find('\n', at) - begin);
          return true;
        },
        60s));
    // The report escapes every byte of the URL but letters and digits.
    std::string host = row.host;
    for (size_t dot; (dot = host.find('.')) != std::string::npos;) host.replace(dot, 1, "%2E");
    EXPECT_TRUE(std::regex_match(
        query,
        std::regex("pid=ime&type=1&fr=&rip=7F000001&cname=" + std::string(row.canonicalName) +
                   R"(&dnst=\d*&ldip1=)" + dnsServer + "&ldip2=([0-9A-F]{8})?" +
                   R"(&ctime=\d*&rtime=&dtime=\d+&dsize=300000&dspeed=(\d+\.00)?&tt=\d*&hc=200)" +
                   "&url=http%3A%2F%2F" + host + "%3A" + port + "%2Ffile%2Ebin%3F" + id +
                   "usrip=&trace=" + trace + "&key=end")))
        << query;
  }
  EXPECT_EQ(ReadFile(received).find("report%3D0&"), std::string::npos);
}

// A stop ends a report whose endpoint took the request and never answers, without waiting
// for the request's own time-outs (30 s each way): CloseWorker returns promptly.
TEST_F(HttpWindowsTest, StopEndsAReportWhoseEndpointNeverAnswers) {
  const char* receiver = std::getenv("ZVNET_REPORT_SERVER");
  const std::string other = std::getenv("ZVNET_HTTP_OTHER");
  ASSERT_TRUE(receiver) << "ZVNET_REPORT_SERVER is not set";
  auto heldReports = [&] {
    const unsigned long user = ++nextUser;
    tagDefHttpPar par;
    par.url = Widen((other + "/held-reports").c_str());
    int task = 0;
    if (ZvHttp::DownloadInMem(&par, OnHttp, kTimeoutMs, &task, user, worker) != 0) return -1;
    return std::atoi(Finish(user).body.c_str());
  };
  const int before = heldReports();
  ASSERT_GE(before, 0);
  struct RestoreHost {
    const char* host;
    ~RestoreHost() { SetReportHost(host); }
  } restore{receiver};
  SetReportHost(other.substr(other.find("//") + 2).c_str());
  int reporting = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&reporting), 0);
  filePath = folder + L"zvnet-windows-held-report.bin";
  const unsigned long user = ++nextUser;
  tagDefHttpPar par;
  par.url = origin + L"/file.bin";
  int task = 0;
  ASSERT_EQ(
      ZvHttp::DownloadInFile(&par, filePath, OnHttp, kTimeoutMs, &task, user, reporting, true), 0);
  EXPECT_EQ(Finish(user).codes.back(), DOWNLOAD_OK);
  ASSERT_TRUE(WaitUntil([&] { return heldReports() > before; }, 60s))
      << "the report did not reach the endpoint";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ZvHttp::CloseWorker(reporting), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
}
