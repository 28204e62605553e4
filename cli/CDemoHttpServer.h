// A small HTTP/1.1 server on loopback for the demo: fixed resources held in memory, byte
// ranges ("bytes=N-"), If-Modified-Since (304), a paced resource for stop-and-resume, and an
// upload endpoint that answers with the size and SHA-256 of what it received.
//
// Start() binds 127.0.0.1 on a free port and runs an accept thread; each connection gets its
// own thread. The resources are fixed before Start and only read afterwards. The destructor
// stops the threads.
#ifndef ZVNET_CLI_CDEMOHTTPSERVER_H_
#define ZVNET_CLI_CDEMOHTTPSERVER_H_

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CDemoHttpServer {
 public:
  struct Resource {
    std::string body;
    std::string lastModified;  // HTTP date, or empty
    int paceMs = 0;            // pause after each 64 KiB, to give a stop time to land
  };

  CDemoHttpServer() = default;
  CDemoHttpServer(const CDemoHttpServer&) = delete;
  CDemoHttpServer& operator=(const CDemoHttpServer&) = delete;
  ~CDemoHttpServer();

  void Add(const std::string& path, Resource resource) { resources[path] = std::move(resource); }
  bool Start();
  int Port() const { return port; }
  std::string Url(const std::string& path) const;

 private:
  struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
  };

  void AcceptLoop();
  void Serve(int fd);
  bool ReadRequest(int fd, std::string& pending, Request* request);
  bool Respond(int fd, const Request& request);
  bool SendResource(int fd, const Resource& resource, const Request& request);

  std::map<std::string, Resource> resources;
  int listenFd = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::thread acceptThread;
  std::mutex connectionsMutex;  // guards connections
  std::vector<std::pair<int, std::thread>> connections;
};

#endif  // ZVNET_CLI_CDEMOHTTPSERVER_H_
