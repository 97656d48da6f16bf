#include <gtest/gtest.h>

#include <kwcore/Nubra.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

// The next stored value, or "refused" when reading fails without moving or writing.
std::string Next(IStream* s, bool text) {
  std::string out(NUBRA_VARIANT_TEXT_MAX + 16, '\x7F');
  const std::uint64_t at = Tell(s);
  if ((text ? gfnIStreamReadVariant(s, out.data()) : gfnIStreamReadMemoryBlock(s, out.data())) >= 0)
    return text ? std::string(out.c_str()) : out.substr(0, out.find('\x7F'));
  return Tell(s) == at && out == std::string(out.size(), '\x7F') ? "refused" : "touched";
}

TEST(Nubra, StoredFormsRoundTripThroughAReadOnlyRootAndHostileOnesAreRefused) {
  CkwComPtr<IStorage> root;
  CkwComPtr<IStream> stream;
  const std::string full(32, 'f'), longest(NUBRA_VARIANT_TEXT_MAX - 1, 'w');
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  ASSERT_EQ(gfnIStreamCreate(root.get(), u"Item0", stream.put()), S_OK);
  IStream* s = stream.get();
  for (LONG status :
       {gfnIStreamWriteMemoryBlock(s, 3, "xyz"), gfnIStreamWriteVariant(s, "Clip 1"),
        gfnIStreamWriteMemoryBlock(s, 32, full.data()), gfnIStreamWriteVariant(s, longest.c_str())})
    ASSERT_EQ(status, S_OK);
  for (LONG status :
       {gfnIStreamWriteVariant(s, (longest + "w").c_str()),
        gfnIStreamWriteMemoryBlock(s, 33, full.data()), gfnIStreamWriteMemoryBlock(s, -1, "")})
    EXPECT_EQ(status, E_INVALIDARG);
  EXPECT_EQ(GetStream(root.get(), u"Item0"),
            std::string("KWMB\3\0\0\0xyzKWVT\x1e\0\7\0\0\0Clip 1\0KWMB\x20\0\0\0", 36) + full +
                std::string("KWVT\x1e\0\x04\x01\0\0", 10) + longest + '\0');
  ASSERT_EQ(OpenImage(Image(root.get()), &root), S_OK);  // opened for writing, then for reading
  ASSERT_EQ(gfnIStreamOpen(root.get(), u"item0", stream.put()), S_OK);
  s = stream.get();
  EXPECT_EQ((std::vector<std::string>{Next(s, false), Next(s, true), Next(s, false), Next(s, true),
                                      Next(s, true)}),
            (std::vector<std::string>{"xyz", "Clip 1", full, longest, "refused"}));
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(s, 0, nullptr), STG_E_ACCESSDENIED);

  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  for (const auto& [bytes, variant] :
       {std::pair(std::string("KWMB\x21\0\0\0", 8) + std::string(33, 'x'), false),
        {std::string("KWVT\x1e\0\x05\x01\0\0", 10) + std::string(260, 'y') + '\0', true},
        {std::string("KWVT\x1e\0\x03\0\0\0abc", 13), true},
        {std::string("KWVT\x1e\0\0\0\0\0", 10), true},
        {std::string("KWVT\x03\0\x04\0\0\0abc\0", 14), true}}) {
    ASSERT_EQ(PutStream(root.get(), u"S", bytes), S_OK);
    ASSERT_EQ(gfnIStreamOpen(root.get(), u"S", stream.put()), S_OK);
    EXPECT_EQ(Next(stream.get(), variant), "refused") << bytes;
  }
}

}  // namespace
