#include <gtest/gtest.h>

#include <string>

#include "frame/Base64.h"
#include "frame/FailureException.h"

// RFC 4648 vectors, on one line whatever the length; a null pointer or a short target is
// refused without writing.
TEST(Base64Test, EncodesOnOneLineAndRefusesBadTargets) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\xFB\xFF\xBF", 3), "+/+/"}};
  for (const auto& [bytes, text] : vectors) {
    int32_t room = Base64EncodedLength(static_cast<int32_t>(bytes.size()));
    std::string out(room, '#');
    EXPECT_TRUE(EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), out.data(), &room));
    EXPECT_EQ(out.substr(0, room), text);
  }
  EXPECT_EQ(Base64EncodedLength(100), 136) << "no line breaks";
  EXPECT_THROW(Base64EncodedLength(INT32_MAX / 4 + 1), CFailureException) << "length overflow";

  const uint8_t bytes[4] = {1, 2, 3, 4};
  char target[9] = "########";
  int32_t room = 7;
  EXPECT_FALSE(EncodeBase64(bytes, 4, target, &room));
  EXPECT_EQ(target + std::to_string(room), "########7") << "a short target was written";
  room = 8;
  EXPECT_FALSE(EncodeBase64(nullptr, 4, target, &room));
  EXPECT_FALSE(EncodeBase64(bytes, 4, nullptr, &room));
  EXPECT_FALSE(EncodeBase64(bytes, 4, target, nullptr));
}
