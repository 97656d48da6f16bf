// The Nubra helpers on real storages: statuses, stored forms, positioning
// when mixed with direct reads and writes, hostile stored lengths, SAVEDATA.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/Nubra.h>

#include "support/CkwFaultyStorage.h"
#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

class NubraTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(StgCreateMemoryDocfile(kRW, root_.put()), S_OK); }

  /// A stream holding exactly `bytes`, positioned at its start.
  CkwComPtr<IStream> StreamWith(const std::string& bytes) {
    CkwComPtr<IStream> stream;
    EXPECT_GE(gfnIStreamCreate(root_.get(), u"Raw", stream.put()), 0);
    EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
    EXPECT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
    return stream;
  }

  CkwComPtr<IStorage> root_;
};

TEST_F(NubraTest, CreateAndOpenDeliverOwnedElementsAndFailuresDeliverNothing) {
  CkwComPtr<IStorage> child;
  CkwComPtr<IStream> stream, again;
  ASSERT_GE(gfnIStorageCreate(root_.get(), u"Item0", child.put()), 0);
  ASSERT_GE(gfnIStreamCreate(child.get(), u"CPersistentObjectStream", stream.put()), 0);
  ASSERT_EQ(stream->Write("abc", 3, nullptr), S_OK);
  stream.reset();
  child.reset();
  ASSERT_GE(gfnIStorageOpen(root_.get(), u"Item0", child.put()), 0);
  ASSERT_GE(gfnIStreamOpen(child.get(), u"CPersistentObjectStream", stream.put()), 0);
  EXPECT_EQ(Tell(stream.get()), 0u);
  EXPECT_EQ(GetStream(child.get(), u"CPersistentObjectStream"), "abc");
  // Creating again replaces the stream with an empty one.
  ASSERT_GE(gfnIStreamCreate(child.get(), u"CPersistentObjectStream", again.put()), 0);
  EXPECT_EQ(GetStream(child.get(), u"CPersistentObjectStream"), "");
  // An element of the other kind is not found.
  EXPECT_LT(gfnIStorageOpen(child.get(), u"CPersistentObjectStream", CkwComPtr<IStorage>().put()),
            0);

  EXPECT_LT(gfnIStorageOpen(root_.get(), u"Missing", child.put()), 0);
  EXPECT_FALSE(child);
  EXPECT_LT(gfnIStreamOpen(root_.get(), u"Missing", stream.put()), 0);
  EXPECT_FALSE(stream);
  EXPECT_LT(gfnIStreamCreate(root_.get(), u"Bad/Name", stream.put()), 0);
  EXPECT_LT(gfnIStorageCreate(nullptr, u"X", child.put()), 0);
  EXPECT_LT(gfnIStreamCreate(root_.get(), nullptr, stream.put()), 0);
  EXPECT_LT(gfnIStreamOpen(root_.get(), u"X", nullptr), 0);
  EXPECT_LT(gfnIStreamWriteMemoryBlock(nullptr, 32, "x"), 0);
  EXPECT_LT(gfnIStreamReadVariant(nullptr, nullptr), 0);
}

TEST_F(NubraTest, StorageFailuresPassThrough) {
  auto plan = std::make_shared<CkwFaultPlan>();
  CkwComPtr<IStorage> faulty(WrapWithFaults(root_.get(), plan));
  plan->failCreateAt = 1;
  CkwComPtr<IStream> stream;
  EXPECT_EQ(gfnIStreamCreate(faulty.get(), u"S", stream.put()), STG_E_INSUFFICIENTMEMORY);
  ASSERT_GE(gfnIStreamCreate(faulty.get(), u"S", stream.put()), 0);
  plan->failWriteAt = plan->writes + 1;
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 4, "abcd"), STG_E_MEDIUMFULL);
  EXPECT_EQ(gfnIStreamWriteVariant(stream.get(), "name"), S_OK);
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  plan->failReadAt = plan->reads + 1;
  char text[NUBRA_VARIANT_TEXT_MAX] = {};
  EXPECT_EQ(gfnIStreamReadVariant(stream.get(), text), STG_E_READFAULT);
  EXPECT_EQ(Tell(stream.get()), 0u);
  EXPECT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_STREQ(text, "name");
  plan->failOpenAt = plan->opens + 1;
  EXPECT_EQ(gfnIStreamOpen(faulty.get(), u"S", stream.put()), STG_E_FILENOTFOUND);
}

TEST_F(NubraTest, MemoryBlockRoundTripsAndHasItsDocumentedForm) {
  CkwComPtr<IStream> stream;
  ASSERT_GE(gfnIStreamCreate(root_.get(), u"Blank", stream.put()), 0);
  BYTE zeros[32] = {};
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 32, zeros), S_OK);
  EXPECT_EQ(Tell(stream.get()), 40u);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 3, "xyz"), S_OK);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 0, nullptr), S_OK);

  const std::string expected = std::string("KWMB\x20\0\0\0", 8) + std::string(32, '\0') +
                               std::string("KWMB\x03\0\0\0xyz", 11) +
                               std::string("KWMB\0\0\0\0", 8);
  EXPECT_EQ(GetStream(root_.get(), u"Blank"), expected);

  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  BYTE buffer[NUBRA_MEMORY_BLOCK_MAX];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), buffer), S_OK);
  EXPECT_EQ(std::memcmp(buffer, zeros, 32), 0);
  EXPECT_EQ(Tell(stream.get()), 40u);
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), buffer), S_OK);
  EXPECT_EQ(std::memcmp(buffer, "xyz", 3), 0);
  EXPECT_EQ(buffer[3], 0);  // the rest of the buffer is the previous block's
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), buffer), S_OK);
  EXPECT_EQ(Tell(stream.get()), expected.size());
  EXPECT_LT(gfnIStreamReadMemoryBlock(stream.get(), buffer), 0);  // at the end

  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 33, zeros), E_INVALIDARG);
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), -1, zeros), E_INVALIDARG);
}

TEST_F(NubraTest, VariantRoundTripsAndHasItsDocumentedForm) {
  CkwComPtr<IStream> stream;
  ASSERT_GE(gfnIStreamCreate(root_.get(), u"V", stream.put()), 0);
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), "Clip 1"), S_OK);
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), ""), S_OK);
  std::string longest(NUBRA_VARIANT_TEXT_MAX - 1, 'w');
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), longest.c_str()), S_OK);
  std::string tooLong(NUBRA_VARIANT_TEXT_MAX, 'w');
  EXPECT_EQ(gfnIStreamWriteVariant(stream.get(), tooLong.c_str()), E_INVALIDARG);

  std::string bytes = GetStream(root_.get(), u"V");
  EXPECT_EQ(bytes.substr(0, 17), std::string("KWVT\x1e\0\x07\0\0\0Clip 1\0", 17));
  EXPECT_EQ(bytes.size(), 17u + 11u + 10u + 260u);

  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  char text[NUBRA_VARIANT_TEXT_MAX] = {};
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_STREQ(text, "Clip 1");
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_STREQ(text, "");
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_EQ(std::string(text), longest);
}

TEST_F(NubraTest, HelpersMixWithDirectReadsAndWrites) {
  // The persistent object's layout: a variant, a raw GUID and count, and a
  // memory block, written and read back in turn.
  CkwComPtr<IStream> stream;
  ASSERT_GE(gfnIStreamCreate(root_.get(), u"CPersistentObjectStream", stream.put()), 0);
  const std::string raw = "GUID-0123456789ABcount";
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), "Object"), S_OK);
  ASSERT_EQ(stream->Write(raw.data(), static_cast<ULONG>(raw.size()), nullptr), S_OK);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 3, "abc"), S_OK);
  stream.reset();

  ASSERT_GE(gfnIStreamOpen(root_.get(), u"CPersistentObjectStream", stream.put()), 0);
  char name[NUBRA_VARIANT_TEXT_MAX] = {}, readRaw[32] = {};
  BYTE block[NUBRA_MEMORY_BLOCK_MAX] = {};
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), name), S_OK);
  ASSERT_EQ(stream->Read(readRaw, static_cast<ULONG>(raw.size()), nullptr), S_OK);
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), block), S_OK);
  EXPECT_STREQ(name, "Object");
  EXPECT_EQ(std::string(readRaw), raw);
  EXPECT_EQ(std::memcmp(block, "abc", 3), 0);
  EXPECT_EQ(Tell(stream.get()), GetStream(root_.get(), u"CPersistentObjectStream").size());
}

TEST_F(NubraTest, HostileStoredFormsFailWithoutTouchingBufferOrPosition) {
  struct Case {
    const char* what;
    std::string bytes;
    bool variant;
  };
  const Case cases[] = {
      {"block longer than 32", std::string("KWMB\x21\0\0\0", 8) + std::string(33, 'x'), false},
      {"block length near 4 GiB", std::string("KWMB\xff\xff\xff\xff", 8) + "xx", false},
      {"block cut short", std::string("KWMB\x20\0\0\0", 8) + "only a few", false},
      {"block header cut short", "KWMB\x20", false},
      {"block with a variant's tag", std::string("KWVT\x04\0\0\0abcd", 12), false},
      {"text of 261 bytes",
       std::string("KWVT\x1e\0\x05\x01\0\0", 10) + std::string(260, 'y') + '\0', true},
      {"text length near 4 GiB", std::string("KWVT\x1e\0\xff\xff\xff\xff", 10) + "zz", true},
      {"text without its NUL", std::string("KWVT\x1e\0\x03\0\0\0abc", 13), true},
      {"text of length 0", std::string("KWVT\x1e\0\0\0\0\0", 10), true},
      {"variant of another type", std::string("KWVT\x03\0\x04\0\0\0abc\0", 14), true},
      {"variant cut short", std::string("KWVT\x1e\0\x10\0\0\0abc", 13), true},
      {"empty stream", "", true},
  };
  for (const Case& c : cases) {
    CkwComPtr<IStream> stream = StreamWith(c.bytes);
    char buffer[NUBRA_VARIANT_TEXT_MAX + 16];
    std::memset(buffer, 0x5A, sizeof buffer);
    LONG status = c.variant ? gfnIStreamReadVariant(stream.get(), buffer)
                            : gfnIStreamReadMemoryBlock(stream.get(), buffer);
    EXPECT_LT(status, 0) << c.what;
    EXPECT_EQ(Tell(stream.get()), 0u) << c.what;
    EXPECT_EQ(std::string(buffer, sizeof buffer).find_first_not_of('\x5A'), std::string::npos)
        << c.what << ": buffer written";
  }
}

TEST_F(NubraTest, HelpersWorkOnAReadOnlyRoot) {
  CkwComPtr<IStream> stream;
  ASSERT_GE(gfnIStreamCreate(root_.get(), u"S", stream.put()), 0);
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), "kept"), S_OK);
  stream.reset();
  CkwComPtr<IStorage> readOnly;
  ASSERT_EQ(OpenImage(Image(root_.get()), &readOnly), S_OK);
  ASSERT_GE(gfnIStreamOpen(readOnly.get(), u"S", stream.put()), 0);
  char text[NUBRA_VARIANT_TEXT_MAX] = {};
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_STREQ(text, "kept");
  EXPECT_LT(gfnIStreamWriteVariant(stream.get(), "refused"), 0);
  EXPECT_LT(gfnIStreamCreate(readOnly.get(), u"New", CkwComPtr<IStream>().put()), 0);
}

TEST(NubraSaveData, ClearAndCopy) {
  SAVEDATA source, target = {}, cleared = {};
  for (std::size_t i = 0; i < sizeof source; ++i) source.abData[i] = static_cast<BYTE>(i * 7 + 1);
  EXPECT_NE(gfnCopySAVEDATA(&source, &target), 0);
  EXPECT_EQ(std::memcmp(&source, &target, sizeof source), 0);
  EXPECT_NE(gfnClearVIO_SAVEDATA(&target), 0);
  EXPECT_EQ(std::memcmp(&target, &cleared, sizeof target), 0);
  EXPECT_EQ(gfnClearVIO_SAVEDATA(nullptr), 0);
  EXPECT_EQ(gfnCopySAVEDATA(nullptr, &target), 0);
  EXPECT_EQ(gfnCopySAVEDATA(&source, nullptr), 0);
}

}  // namespace
