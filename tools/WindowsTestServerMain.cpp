// zvnet_windows_test_server: the HTTP servers that the Windows tests (run under wine64 by
// scripts/test-windows) download from, and the scripted UDP server (tools/UdpScriptedReplies.h)
// they send to, on the Linux side of loopback. Prints "serving http://127.0.0.1:PORT other
// http://127.0.0.1:PORT2 udp 127.0.0.1:PORT3" and serves until SIGTERM or SIGINT. The paths and
// their bodies are the tests' fixtures (tests/http/HttpWindowsTest_win.cpp):
//   /small.txt   a short text          /file.bin   300,000 bytes (ranges, Last-Modified)
//   /paced.bin   2 MiB, paced          /upload     the upload's size and SHA-256
//   /cut.bin     announces 100,000 bytes, sends 30,000 and closes
//   /to-same, /to-other  302 to /seen here, or on the other origin (the second port)
//   /seen        echoes the Authorization and Cookie lines it received
//   /A/Data.bin, /B/data.bin   /file.bin's bytes and a short text, under names that differ
//                              only by case
//   /evil.bin (WinINet's request for http://h/..\..\evil.bin), /names/nul.txt, /names/COM1,
//   /names/a:b.txt, /names/trail...   short texts (their paths) under names that Windows
//                                     reads as more than one plain file name
// and, on the other origin only, a report endpoint that takes each request and never answers:
//   /downloadComplete   held until the server ends   /held-reports   how many it holds
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "tools/HttpUploadDigest.h"
#include "tools/UdpScriptedReplies.h"

namespace {

// The bytes of /file.bin and /paced.bin: byte i is i modulo 251, which the tests rebuild.
std::string Pattern(size_t length) {
  std::string body(length, '\0');
  for (size_t i = 0; i < length; ++i) body[i] = static_cast<char>(i % 251);
  return body;
}

HttpTestResponse Seen(const HttpTestRequest& request) {
  return HttpTestResponse::Text(200, "authorization=" + request.Header("Authorization") +
                                         ";cookie=" + request.Header("Cookie") + ";");
}

}  // namespace

int main() {
  // Blocked before the servers' threads start, so that only sigwait takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::atomic<int> heldReports{0};  // read by the servers' handlers: outlives them
  CHttpTestServer server;
  CHttpTestServer other;
  server.Serve("/small.txt", HttpTestResponse::Text(200, "hello from the loopback server\n"));
  server.Handle("/file.bin", CHttpTestResource(Pattern(300000), 1764662400));
  server.Handle("/paced.bin",
                CHttpTestResource(Pattern(2 << 20)).Paced(std::chrono::milliseconds(40)));
  server.Handle("/upload", CHttpUploadDigest());
  server.Handle("/A/Data.bin", CHttpTestResource(Pattern(300000)));
  for (const char* path : {"/B/data.bin", "/evil.bin", "/names/nul.txt", "/names/COM1",
                           "/names/a:b.txt", "/names/trail..."}) {
    server.Serve(path, HttpTestResponse::Text(200, path));
  }
  HttpTestResponse cut = HttpTestResponse::Text(200, Pattern(100000));
  cut.closeAfterBodyBytes = 30000;
  server.Serve("/cut.bin", cut);
  server.Serve("/to-same", HttpTestResponse::Redirect(302, server.Origin() + "/seen"));
  server.Serve("/to-other", HttpTestResponse::Redirect(302, other.Origin() + "/seen"));
  server.Serve("/dir/to-relative", HttpTestResponse::Redirect(302, "../seen"));
  server.Serve("/loop", HttpTestResponse::Redirect(302, "/loop"));
  server.Handle("/seen", Seen);
  other.Handle("/seen", Seen);
  CUdpReferenceServer udp;
  udp.SetBehaviour(&ScriptedUdpReplies);
  if (udp.Start() != 0) return 1;
  other.Handle("/downloadComplete", [&heldReports](const HttpTestRequest&) {
    ++heldReports;
    HttpTestResponse held;
    held.neverAnswer = true;
    return held;
  });
  other.Handle("/held-reports", [&heldReports](const HttpTestRequest&) {
    return HttpTestResponse::Text(200, std::to_string(heldReports.load()));
  });

  std::printf("serving %s other %s udp 127.0.0.1:%u\n", server.Origin().c_str(),
              other.Origin().c_str(), udp.Port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
