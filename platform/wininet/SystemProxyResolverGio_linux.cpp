// The system's settings through GIO's proxy resolver (see the header for the threads).
#include "platform/wininet/SystemProxyResolver_linux.h"

#include <gio/gio.h>
#include <strings.h>

#include <cstring>
#include <future>
#include <string_view>
#include <thread>

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
struct MainContextUnref {
  void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct MainLoopUnref {
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

// Adds the libcurl proxy URLs that one of GIO's answers stands for. GIO's "socks" leaves the
// version open, and its own client tries 5, 4a and 4 in turn; its SOCKS5 and SOCKS4a hand the
// host name to the proxy (libcurl's socks5h and socks4a). Protocols that libcurl cannot speak
// to a proxy are left out, as GIO's own client leaves them.
void AddCurlProxies(std::string_view uri, std::vector<std::string>& out) {
  const size_t separator = uri.find("://");
  if (separator == std::string_view::npos) return;
  const std::string scheme(uri.substr(0, separator));
  const std::string rest(uri.substr(separator + 3));
  auto is = [&scheme](const char* name) { return ::strcasecmp(scheme.c_str(), name) == 0; };
  if (is("direct")) {
    out.emplace_back();
  } else if (is("http") || is("https") || is("socks4a") || is("socks4")) {
    out.push_back(std::string(is("http") ? "http" : is("https") ? "https" : scheme) + "://" + rest);
  } else if (is("socks5")) {
    out.push_back("socks5h://" + rest);
  } else if (is("socks")) {
    for (const char* version : {"socks5h://", "socks4a://", "socks4://"}) {
      out.push_back(version + rest);
    }
  }
}

// GIO's default resolver and the thread that runs it. The resolver is made on that thread with
// its context as the thread's default, so that the settings it watches (GSettings, and the
// keyfile or dconf behind them) report their changes there; the thread's loop takes them in
// as they come. Made by the first look-up; its destructor, at the end of the process, stops
// the loop and joins the thread.
class CResolverThread {
 public:
  static CResolverThread& Get() {
    static CResolverThread instance;
    return instance;
  }
  GMainContext* Context() const { return context.get(); }
  // Null when GIO has no resolver module (glib-networking missing): the environment decides.
  GProxyResolver* Resolver() const { return resolver.get(); }

  ~CResolverThread() {
    // Through the loop itself: a quit before it runs would be lost.
    g_main_context_invoke(context.get(), &CResolverThread::Quit, loop.get());
    thread.join();
  }
  CResolverThread(const CResolverThread&) = delete;
  CResolverThread& operator=(const CResolverThread&) = delete;

 private:
  CResolverThread() : context(g_main_context_new()), loop(g_main_loop_new(context.get(), FALSE)) {
    std::promise<void> chosen;
    std::future<void> ready = chosen.get_future();
    thread = std::thread([this, &chosen] {
      g_main_context_push_thread_default(context.get());
      GProxyResolver* standard = g_proxy_resolver_get_default();  // not a new reference
      // GLib's own stand-in, used when no module offers a resolver, answers direct:// to
      // everything, which would drop the environment's proxies.
      if (standard && std::strcmp(G_OBJECT_TYPE_NAME(standard), "GDummyProxyResolver") != 0) {
        resolver.reset(G_PROXY_RESOLVER(g_object_ref(standard)));
      }
      chosen.set_value();
      g_main_loop_run(loop.get());
      g_main_context_pop_thread_default(context.get());
    });
    ready.wait();
  }

  static gboolean Quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }

  std::unique_ptr<GMainContext, MainContextUnref> context;
  std::unique_ptr<GMainLoop, MainLoopUnref> loop;
  GObjectPtr<GProxyResolver> resolver;  // written before `ready`, then only read
  std::thread thread;
};

class CGioTicket : public CSystemProxyResolver::CTicket {
 public:
  CGioTicket() : cancellable(g_cancellable_new()) {}
  void Cancel() override { g_cancellable_cancel(cancellable.get()); }
  GCancellable* Cancellable() const { return cancellable.get(); }

 private:
  const GObjectPtr<GCancellable> cancellable;
};

// One look-up on its way through the resolver's thread.
struct PendingLookup {
  GProxyResolver* resolver;  // the process-wide thread's
  std::string url;
  GObjectPtr<GCancellable> cancellable;
  CSystemProxyResolver::Done done;
};

void OnLookedUp(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingLookup> pending(static_cast<PendingLookup*>(data));  // back from GLib
  GError* error = nullptr;
  gchar** uris = g_proxy_resolver_lookup_finish(G_PROXY_RESOLVER(source), result, &error);
  CSystemProxyResolver::Answer answer;
  if (uris) {
    for (gchar** uri = uris; *uri; ++uri) AddCurlProxies(*uri, answer.proxies);
    g_strfreev(uris);
  }
  g_clear_error(&error);  // a failure is one answer, whatever its cause
  if (!answer.proxies.empty()) answer.kind = CSystemProxyResolver::Answer::Kind::kProxies;
  pending->done(std::move(answer));
}

gboolean StartLookup(gpointer data) {
  auto* pending = static_cast<PendingLookup*>(data);  // handed on to OnLookedUp
  g_proxy_resolver_lookup_async(pending->resolver, pending->url.c_str(), pending->cancellable.get(),
                                &OnLookedUp, pending);
  return G_SOURCE_REMOVE;
}

}  // namespace

std::unique_ptr<CSystemProxyResolver::CTicket> CSystemProxyResolver::Lookup(const std::string& url,
                                                                            Done done) {
  CResolverThread& thread = CResolverThread::Get();
  if (!thread.Resolver()) {
    done(Answer{Answer::Kind::kEnvironment, {}});
    return nullptr;
  }
  auto ticket = std::make_unique<CGioTicket>();
  GCancellable* cancellable = G_CANCELLABLE(g_object_ref(ticket->Cancellable()));
  auto pending = std::make_unique<PendingLookup>(PendingLookup{
      thread.Resolver(), url, GObjectPtr<GCancellable>(cancellable), std::move(done)});
  // GLib holds the look-up from here until OnLookedUp takes it back.
  g_main_context_invoke(thread.Context(), &StartLookup, pending.release());
  return ticket;
}
