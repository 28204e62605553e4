// A handler for CHttpTestServer that takes an upload and answers, as text, how many bytes
// came and their SHA-256: "received 1048576 bytes, sha256 <64 hex digits>\n".
//
//   server.Handle("/upload", CHttpUploadDigest());
//
// Holds nothing, so it is safe on any connection thread.
#ifndef ZVNET_TOOLS_HTTPUPLOADDIGEST_H_
#define ZVNET_TOOLS_HTTPUPLOADDIGEST_H_

#include "tools/HttpTestMessage.h"

class CHttpUploadDigest {
 public:
  HttpTestResponse operator()(const HttpTestRequest& request) const;
};

#endif  // ZVNET_TOOLS_HTTPUPLOADDIGEST_H_
