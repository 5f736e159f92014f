// SHA-1 and BlockIds of buffers and files.
#include <gtest/gtest.h>

#include <string>

#include "webapi/block_id.h"
#include "webapi_test_env.h"

using namespace webapi_test;

TEST(BlockId, KnownValues) {
  EXPECT_EQ(tarvik::blockIdOf("", 0), "2jmj7l5rSw0yVb_vlWAYkK_YBwk#0");
  EXPECT_EQ(tarvik::blockIdOf("abc", 3), "qZk-NkcGgWq6PiVxeFDCbJzQ2J0#3");
}

TEST(BlockId, UrlSafeAlphabetWithoutPadding) {
  const unsigned char bytes[] = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(tarvik::urlSafeBase64(bytes, 3), "-_-_");
  EXPECT_EQ(tarvik::urlSafeBase64(bytes, 1), "-w");
  EXPECT_EQ(tarvik::urlSafeBase64(bytes, 0), "");
}

TEST(BlockId, RunningDigestEqualsOneShotAndRestarts) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  tarvik::Sha1 sha;
  for (size_t off = 0; off < data.size(); off += 777) {
    sha.update(data.data() + off, std::min<size_t>(777, data.size() - off));
  }
  const std::string id = sha.finishUrlBase64() + "#" + std::to_string(data.size());
  EXPECT_EQ(id, tarvik::blockIdOf(data.data(), data.size()));
  EXPECT_EQ(sha.finishUrlBase64(), "2jmj7l5rSw0yVb_vlWAYkK_YBwk");
}

TEST(BlockId, OfFile) {
  const std::string dir = scratchDir();
  std::string data(8192 * 3 + 5, 'q');
  writeFile(dir + "/f", data);
  EXPECT_EQ(tarvik::blockIdOfFile(dir + "/f"), tarvik::blockIdOf(data.data(), data.size()));
  writeFile(dir + "/e", "");
  EXPECT_EQ(tarvik::blockIdOfFile(dir + "/e"), "2jmj7l5rSw0yVb_vlWAYkK_YBwk#0");
  EXPECT_EQ(tarvik::blockIdOfFile(dir + "/missing"), "#0");
  EXPECT_EQ(tarvik::blockIdOfFile(dir), "#0");  // a directory cannot be read
}

TEST(BlockId, LengthIsTheDecimalAfterTheHash) {
  EXPECT_EQ(tarvik::blockIdLength("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#3"), 3);
  EXPECT_EQ(tarvik::blockIdLength("x#8388608"), 8388608);
  EXPECT_EQ(tarvik::blockIdLength("#0"), 0);
  EXPECT_EQ(tarvik::blockIdLength("nohash"), -1);
  EXPECT_EQ(tarvik::blockIdLength("x#"), -1);
  EXPECT_EQ(tarvik::blockIdLength("x#12a"), -1);
  EXPECT_EQ(tarvik::blockIdLength("x#-1"), -1);
  EXPECT_EQ(tarvik::blockIdLength("x#99999999999999999999999"), -1);
}
