// Downloads into files where the file system says no: a full disk, a read-only directory, a
// destination that is a directory, and a path with non-ASCII characters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/StringConv.h"
#include "tests/faults/FileSha256.h"
#include "tests/faults/PrivateMounts.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/HttpTestResource.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Pump.h"
#include "zvnet/zvhttp.h"

namespace {

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

TEST_F(FileSystemFaultTest, FullDiskFailsTheWriteAndKeepsTheOldFile) {
  const bool ran = RunWithPrivateTmpfs(256 * 1024, [&](const std::string& directory) {
    const std::string destination = directory + "/data.bin";
    WriteFile(destination, "the old file");
    const HttpEvent end = Download(destination);
    EXPECT_EQ(end.code, DOWNLOAD_WRITE_FAILED);
    EXPECT_EQ(ReadFile(destination), "the old file");
    EXPECT_FALSE(Exists(destination + ".downloading")) << "the partial file takes the space";
  });
  ZVNET_REQUIRE_MOUNTS(ran);
}

TEST_F(FileSystemFaultTest, ReadOnlyDirectoryFailsAndKeepsTheOldFile) {
  const bool ran = RunWithPrivateTmpfs(4 << 20, [&](const std::string& directory) {
    const std::string destination = directory + "/data.bin";
    WriteFile(destination, "the old file");
    ASSERT_TRUE(RemountReadOnly(directory));
    const HttpEvent end = Download(destination);
    // The temporary file cannot be opened: a failed download, not a write failure.
    EXPECT_EQ(end.code, DOWNLOAD_FAILED);
    EXPECT_EQ(ReadFile(destination), "the old file");
    EXPECT_FALSE(Exists(destination + ".downloading"));
  });
  ZVNET_REQUIRE_MOUNTS(ran);
}

TEST_F(FileSystemFaultTest, DestinationThatIsADirectoryStaysOneAndTheDataGoesBeside) {
  const std::string directory =
      ::testing::TempDir() + "zvnet-dir-dest-" + std::to_string(::getpid());
  std::filesystem::remove_all(directory);
  const std::string destination = directory + "/taken";
  ASSERT_TRUE(std::filesystem::create_directories(destination));
  WriteFile(destination + "/inside", "keep");
  const HttpEvent end = Download(destination);
  EXPECT_EQ(end.code, DOWNLOAD_OK);
  EXPECT_TRUE(std::filesystem::is_directory(destination));
  EXPECT_EQ(ReadFile(destination + "/inside"), "keep");
  // The first name that is free takes the data.
  EXPECT_EQ(FileSha256(destination + "_(0)"), Sha256Of(content));
  EXPECT_FALSE(Exists(destination + ".downloading"));
  std::filesystem::remove_all(directory);
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
  EXPECT_EQ(FileSha256(destination), Sha256Of(content));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory),
                          std::filesystem::directory_iterator()),
            1);
  std::filesystem::remove_all(directory);
}
