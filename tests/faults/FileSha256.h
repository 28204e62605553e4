// SHA-256 of a file's or a string's bytes, as lowercase hex; empty when the file cannot be read.
#ifndef ZVNET_TESTS_FAULTS_FILESHA256_H_
#define ZVNET_TESTS_FAULTS_FILESHA256_H_

#include <string>

std::string Sha256Of(const std::string& bytes);
std::string FileSha256(const std::string& path);

#endif  // ZVNET_TESTS_FAULTS_FILESHA256_H_
