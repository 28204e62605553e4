// `zvnet post` and `zvnet reachable`.
#ifndef ZVNET_CLI_POSTCOMMAND_H_
#define ZVNET_CLI_POSTCOMMAND_H_

#include <string>

#include "cli/HttpOptions.h"

struct PostOptions {
  HttpOptions http;
  std::string url;
  std::string data;
  std::string dataFile;
};

// Uploads the body and prints the server's answer on standard output.
int RunPost(const PostOptions& options);
// Exit status 0 when the destination answers.
int RunReachable(const HttpOptions& http, const std::string& url);

#endif  // ZVNET_CLI_POSTCOMMAND_H_
