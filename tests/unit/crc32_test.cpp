#include <gtest/gtest.h>

#include <string_view>

#include "common/base_global.h"
#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

const uint8_t* AsBytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(Crc32, KnownValues) {
  struct Case {
    std::string_view text;
    uint32_t crc;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(Crc32(AsBytes(c.text), c.text.size()), c.crc);
    EXPECT_EQ(ReferenceCrc32(Bytes(c.text.begin(), c.text.end())), c.crc);
  }
}

TEST(Crc32, IncrementalFormMatchesOnePassAtEverySplit) {
  const std::string_view check = "123456789";
  for (size_t cut = 0; cut <= check.size(); ++cut) {
    uint32_t state = Crc32Update(kCrc32Init, AsBytes(check), cut);
    state = Crc32Update(state, AsBytes(check) + cut, check.size() - cut);
    EXPECT_EQ(Crc32Final(state), 0xCBF43926u) << "split at " << cut;
  }
}

TEST(Crc32, AgreesWithBitwiseReferenceOverEveryByteValue) {
  Bytes data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  EXPECT_EQ(Crc32(data.data(), data.size()), ReferenceCrc32(data));
  for (int v = 0; v < 256; ++v) {
    const Bytes one{static_cast<uint8_t>(v)};
    ASSERT_EQ(Crc32(one.data(), 1), ReferenceCrc32(one)) << "byte " << v;
  }
}

}  // namespace
}  // namespace t42rm::unit
