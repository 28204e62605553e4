#include <gtest/gtest.h>

#include <string>

#include "frame/Base64.h"
#include "frame/FailureException.h"

namespace {

std::string Encode(const std::string& bytes) {
  int32_t room = Base64EncodedLength(static_cast<int32_t>(bytes.size()));
  std::string out(room, '\0');
  EXPECT_TRUE(EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()),
                           static_cast<int32_t>(bytes.size()), out.data(), &room));
  out.resize(room);
  return out;
}

}  // namespace

TEST(Base64Test, EncodesRfc4648VectorsOnOneLine) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Encode(std::string("\xFB\xFF\xBF", 3)), "+/+/");
  EXPECT_EQ(Encode(std::string(100, 'x')).find('\n'), std::string::npos);
  EXPECT_THROW(Base64EncodedLength(INT32_MAX / 4 + 1), CFailureException) << "length overflow";
}

TEST(Base64Test, RefusesNullPointersAndShortTargetsWithoutWriting) {
  const uint8_t bytes[4] = {1, 2, 3, 4};
  char target[8];
  std::fill(std::begin(target), std::end(target), '#');
  int32_t room = 7;
  EXPECT_FALSE(EncodeBase64(bytes, 4, target, &room));
  EXPECT_EQ(std::string(target, 8), std::string(8, '#'));
  EXPECT_EQ(room, 7);
  room = 8;
  EXPECT_FALSE(EncodeBase64(nullptr, 4, target, &room));
  EXPECT_FALSE(EncodeBase64(bytes, 4, nullptr, &room));
  EXPECT_FALSE(EncodeBase64(bytes, 4, target, nullptr));
  EXPECT_TRUE(EncodeBase64(bytes, 4, target, &room));
  EXPECT_EQ(room, 8);
  EXPECT_EQ(std::string(target, 8), "AQIDBA==");
}
