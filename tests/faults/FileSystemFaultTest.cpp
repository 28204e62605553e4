// Downloads into files where the file system says no: a full disk and a read-only directory;
// and a path with non-ASCII characters. (A destination that is a directory: HttpTaskDownload.)
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "platform/win32/StringConv.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

namespace {

// Runs `body` on a thread with a mount namespace of its own (library workers it starts inherit
// it), with a fresh directory on a tmpfs of `sizeBytes` that nobody else sees. False, with
// `body` not run, when the namespace could not be made (root is needed).
bool RunWithPrivateTmpfs(size_t sizeBytes, const std::function<void(const std::string&)>& body) {
  bool ran = false;
  std::thread thread([&] {
    if (::unshare(CLONE_NEWNS) != 0) return;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    char directory[] = "/tmp/zvnet-mount-XXXXXX";
    if (!::mkdtemp(directory)) return;
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    if (::mount("tmpfs", directory, "tmpfs", 0, options.c_str()) == 0) {
      ran = true;
      body(directory);
      ::umount2(directory, MNT_DETACH);
    }
    ::rmdir(directory);
  });
  thread.join();
  return ran;
}

// Root's rights do not pass a read-only mount.
bool RemountReadOnly(const std::string& directory) {
  return ::mount("tmpfs", directory.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

class FileSystemFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content.resize(1 << 20);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 977);
    server.Handle("/file", CHttpTestResource(content));
  }

  // Init, a worker, one download of /file into `destination`, Uninit, all on the calling
  // thread (so the worker shares its mounts). Answers the terminal event.
  HttpEvent Download(const std::string& destination) {
    EXPECT_EQ(ZvHttp::Init(), 0);
    int worker = 0;
    EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0);
    CHttpCallbackLog log;
    tagDefHttpPar par;
    par.url = server.Url("/file");
    int taskId = 0;
    EXPECT_EQ(ZvHttp::DownloadInFile(&par, Utf8ToWide(destination), CHttpCallbackLog::Callback,
                                     20000, &taskId, log.Param(), worker, false),
              0);
    EXPECT_TRUE(PumpUntil([&] { return log.HasTerminal(taskId); }, 30s));
    PumpFor(2100ms);  // a time-out tick more: still exactly one terminal callback
    EXPECT_EQ(log.TerminalCount(taskId), 1);
    EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
    ZvHttp::Uninit();
    return log.Terminal(taskId);
  }

  std::string content;
  CHttpTestServer server;
};

#define ZVNET_REQUIRE_MOUNTS(ran)                                             \
  do {                                                                        \
    if (!(ran)) {                                                             \
      if (IsCi()) FAIL() << "cannot make a mount namespace (root is needed)"; \
      GTEST_SKIP() << "cannot make a mount namespace (root is needed)";       \
    }                                                                         \
  } while (0)

}  // namespace

TEST_F(FileSystemFaultTest, FullOrReadOnlyDiskFailsAndKeepsTheOldFile) {
  struct Case {
    size_t tmpfsBytes;
    bool readOnly;
    // A full disk fails a write; a read-only one the opening of the temporary file.
    DOWNLOAD_ERRORCODE code;
  };
  for (const Case& c :
       {Case{256 * 1024, false, DOWNLOAD_WRITE_FAILED}, Case{4 << 20, true, DOWNLOAD_FAILED}}) {
    SCOPED_TRACE(c.readOnly ? "read-only" : "full");
    const bool ran = RunWithPrivateTmpfs(c.tmpfsBytes, [&](const std::string& directory) {
      const std::string destination = directory + "/data.bin";
      WriteFile(destination, "the old file");
      if (c.readOnly) {
        ASSERT_TRUE(RemountReadOnly(directory));
      }
      EXPECT_EQ(Download(destination).code, c.code);
      EXPECT_EQ(ReadFile(destination), "the old file");
      EXPECT_FALSE(Exists(destination + ".downloading")) << "no partial file is left";
    });
    ZVNET_REQUIRE_MOUNTS(ran);
  }
}

TEST_F(FileSystemFaultTest, NonAsciiPathArrivesUnderItsOwnName) {
  const std::string directory =
      ::testing::TempDir() + "zvnet-\xc3\xa9t\xc3\xa9-" + std::to_string(::getpid());
  std::filesystem::remove_all(directory);
  ASSERT_TRUE(std::filesystem::create_directories(directory));
  // "データ ü €.bin": three-byte, two-byte characters and a blank.
  const std::string destination =
      directory + "/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf \xc3\xbc \xe2\x82\xac.bin";
  const HttpEvent end = Download(destination);
  EXPECT_EQ(end.code, DOWNLOAD_OK);
  EXPECT_TRUE(ReadFile(destination) == content);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory),
                          std::filesystem::directory_iterator()),
            1);
  std::filesystem::remove_all(directory);
}
