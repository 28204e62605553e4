// A GLib host: zvnet's wait descriptor is one more source of the thread's GMainContext, and
// DispatchPending runs whenever it turns readable. The GLib loop is the thread's only loop;
// nothing calls Pump.
//   zvnet_example_glib URL HOST:PORT
// downloads URL into memory and exchanges one datagram with the echo server at HOST:PORT
// (`zvnet udp-serve`), then quits the loop.
#include <glib-unix.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zvnet/zvnet.h"

namespace {

constexpr char kPayload[] = "hello from a GLib loop";

struct Host {
  GMainLoop* loop = nullptr;
  bool downloaded = false;
  bool replied = false;
  int failures = 0;
};

void QuitWhenDone(Host* host) {
  if (host->downloaded && host->replied) g_main_loop_quit(host->loop);
}

gboolean OnZvnetReadable(gint fd, GIOCondition condition, gpointer data) {
  ZvMsgLoop::DispatchPending();  // runs the callbacks below, on this thread
  return G_SOURCE_CONTINUE;
}

int ZV_STDCALL OnDownload(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                          tagDataOut* out) {
  if (code == DOWNLOAD_PROGRESS || code == DOWNLOAD_REDIRECT) return 0;
  auto* host = reinterpret_cast<Host*>(userParam);
  g_print("download: code %d, HTTP status %d, %u bytes\n", static_cast<int>(code),
          out ? out->httpStatus : 0, out ? out->dataLength : 0u);
  if (code != DOWNLOAD_OK) ++host->failures;
  host->downloaded = true;
  QuitWhenDone(host);
  return 0;
}

int ZV_STDCALL OnReply(int cookie, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut* out) {
  auto* host = reinterpret_cast<Host*>(userParam);
  const bool echoed = code == UDP_RECV_SUCCESS && out &&
                      std::string(reinterpret_cast<char*>(out->data), out->dataLength) == kPayload;
  // Only our own payload is printed: a reply is network text.
  g_print("udp: code %d, %s\n", static_cast<int>(code), echoed ? kPayload : "no echo");
  if (!echoed) ++host->failures;
  host->replied = true;
  QuitWhenDone(host);
  return 0;
}

gboolean OnDeadline(gpointer data) {
  auto* host = static_cast<Host*>(data);
  g_printerr("gave up waiting\n");
  ++host->failures;
  g_main_loop_quit(host->loop);
  return G_SOURCE_REMOVE;
}

std::wstring Widen(const char* text) {
  return std::wstring(text, text + std::strlen(text));  // URLs here are ASCII
}

}  // namespace

int main(int argc, char** argv) {
  const char* colon = argc == 3 ? std::strrchr(argv[2], ':') : nullptr;
  if (!colon) {
    g_printerr("usage: %s URL HOST:PORT\n", argv[0]);
    return 2;
  }
  Host host;
  host.loop = g_main_loop_new(nullptr, FALSE);
  // The descriptor belongs to this thread: watch it from the context this thread runs.
  const guint watch = g_unix_fd_add(ZvMsgLoop::GetWaitFd(), G_IO_IN, OnZvnetReadable, nullptr);

  ZvHttp::Init();
  ZvUdp::Init();
  int worker = 0;
  int channel = 0;
  int taskId = 0;
  int cookie = 0;
  tagDefHttpPar request;
  request.url = Widen(argv[1]);
  tagUdpServer server{std::string(argv[2], static_cast<size_t>(colon - argv[2])),
                      static_cast<unsigned short>(std::atoi(colon + 1))};
  const auto param = reinterpret_cast<unsigned long>(&host);
  if (ZvHttp::CreateWorker(&worker) != 0 ||
      ZvHttp::DownloadInMem(&request, OnDownload, 20000, &taskId, param, worker) != 0 ||
      ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &server, &channel) != 0 ||
      ZvUdp::SendData(channel, kPayload, nullptr, OnReply, 5000, param, &cookie, false) != 0) {
    g_printerr("could not start the requests\n");
    ++host.failures;
  } else {
    g_timeout_add_seconds(30, OnDeadline, &host);
    g_main_loop_run(host.loop);
  }

  ZvUdp::CloseChannel(channel);
  ZvUdp::Uninit();
  ZvHttp::CloseWorker(worker);
  ZvHttp::Uninit();
  g_source_remove(watch);
  g_main_loop_unref(host.loop);
  return host.failures == 0 ? 0 : 1;
}
