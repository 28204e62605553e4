#include "tools/DemoResources.h"

#include <chrono>

#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"
#include "tools/HttpUploadDigest.h"

void ServeDemoResources(CHttpTestServer& server, const std::string& prefix) {
  const CHttpTestResource file(DemoFileBody(), CHttpTestResource::ParseHttpDate(kDemoLastModified));
  server.Handle(prefix + "/file.bin", file);
  server.Handle(prefix + "/paced.bin", file.Paced(std::chrono::milliseconds(2)));
  server.Handle(prefix + "/small.txt", CHttpTestResource(kDemoSmallBody));
  server.Handle(prefix + "/", CHttpTestResource("ok\n"));
  server.Handle(prefix + "/upload", CHttpUploadDigest());
}
