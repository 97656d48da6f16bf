// The Nubra helpers on a memory storage: stored forms byte for byte, mixed
// with direct reads and writes, hostile stored forms and refusals.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/Nubra.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

TEST(Nubra, StoredFormsRoundTripThroughAReadOnlyRoot) {
  ComPtr<IStorage> root, child;
  ComPtr<IStream> stream;
  const std::string full(32, 'f'), longest(NUBRA_VARIANT_TEXT_MAX - 1, 'w');
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
  ASSERT_EQ(gfnIStorageCreate(root.get(), u"Item0", child.Out()), S_OK);
  ASSERT_EQ(gfnIStreamCreate(child.get(), u"S", stream.Out()), S_OK);
  ASSERT_EQ(stream->Write("raw", 3, nullptr), S_OK);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 3, "xyz"), S_OK);
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), "Clip 1"), S_OK);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 32, full.data()), S_OK);
  ASSERT_EQ(gfnIStreamWriteVariant(stream.get(), longest.c_str()), S_OK);
  ASSERT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 0, nullptr), S_OK);
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 33, (full + "!").data()), E_INVALIDARG);
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), -1, "x"), E_INVALIDARG);
  EXPECT_EQ(gfnIStreamWriteVariant(stream.get(), (longest + "w").c_str()), E_INVALIDARG);
  const std::string bytes = GetStream(child.get(), u"S");
  EXPECT_EQ(bytes.substr(0, 31), std::string("rawKWMB\3\0\0\0xyzKWVT\x1e\0\7\0\0\0Clip 1\0", 31));
  EXPECT_EQ(bytes.size(), 31u + 40 + 270 + 8);

  ComPtr<IStorage> readOnly;
  ASSERT_EQ(OpenImage(Image(root.get()), &readOnly), S_OK);
  ASSERT_EQ(gfnIStorageOpen(readOnly.get(), u"item0", child.Out()), S_OK);
  ASSERT_EQ(gfnIStreamOpen(child.get(), u"S", stream.Out()), S_OK);
  char text[NUBRA_VARIANT_TEXT_MAX], raw[4] = {};
  BYTE block[NUBRA_MEMORY_BLOCK_MAX] = {};
  ASSERT_EQ(stream->Read(raw, 3, nullptr), S_OK);
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), block), S_OK);
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_EQ(std::string(raw) + std::string(reinterpret_cast<char*>(block), 4) + text,
            std::string("rawxyz\0Clip 1", 13));
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), block), S_OK);
  ASSERT_EQ(gfnIStreamReadVariant(stream.get(), text), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 32) + text, full + longest);
  ASSERT_EQ(gfnIStreamReadMemoryBlock(stream.get(), block), S_OK);
  EXPECT_EQ(Tell(stream.get()), bytes.size());
  EXPECT_EQ(gfnIStreamWriteVariant(stream.get(), "x"), STG_E_ACCESSDENIED);
  EXPECT_EQ(gfnIStreamWriteMemoryBlock(stream.get(), 1, "x"), STG_E_ACCESSDENIED);
  ComPtr<IStorage> none;
  EXPECT_EQ(gfnIStorageOpen(child.get(), u"S", none.Out()), STG_E_FILENOTFOUND);
  EXPECT_EQ(gfnIStreamCreate(child.get(), u"New", stream.Out()), STG_E_ACCESSDENIED);
  EXPECT_FALSE(none || stream);
}

TEST(Nubra, HostileStoredFormsFailWithoutTouchingBufferOrPosition) {
  const std::pair<std::string, bool> cases[] = {
      // bytes, read as a variant
      {std::string("KWMB\x21\0\0\0", 8) + std::string(33, 'x'), false},
      {std::string("KWMB\x20\0\0\0", 8) + "only a few", false},
      {"KWMB\x20", false},
      {std::string("KWVT\x04\0\0\0abcd", 12), false},
      {std::string("KWVT\x1e\0\x05\x01\0\0", 10) + std::string(260, 'y') + '\0', true},
      {std::string("KWVT\x1e\0\x03\0\0\0abc", 13), true},
      {std::string("KWVT\x1e\0\0\0\0\0", 10), true},
      {std::string("KWVT\x03\0\x04\0\0\0abc\0", 14), true},
      {std::string("KWMB\x1e\0\x04\0\0\0abc\0", 14), true},
      {std::string("KWVT\x1e\0\x10\0\0\0abc", 13), true},
      {"", true},
  };
  for (const auto& [bytes, variant] : cases) {
    ComPtr<IStorage> root;
    ComPtr<IStream> stream;
    ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
    ASSERT_EQ(gfnIStreamCreate(root.get(), u"S", stream.Out()), S_OK);
    ASSERT_EQ(stream->Write(bytes.data(), bytes.size(), nullptr), S_OK);
    ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
    char buffer[NUBRA_VARIANT_TEXT_MAX + 16];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_LT(variant ? gfnIStreamReadVariant(stream.get(), buffer)
                      : gfnIStreamReadMemoryBlock(stream.get(), buffer),
              0)
        << bytes;
    EXPECT_EQ(Tell(stream.get()), 0u) << bytes;
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 0x5A)) << bytes;
  }
}

TEST(Nubra, NullArgumentsAreRefused) {
  ComPtr<IStorage> root, storage;
  ComPtr<IStream> stream, out;
  char buffer[NUBRA_VARIANT_TEXT_MAX];
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
  ASSERT_EQ(gfnIStreamCreate(root.get(), u"S", stream.Out()), S_OK);
  for (LONG status :
       {gfnIStorageCreate(nullptr, u"X", storage.Out()),
        gfnIStorageCreate(root.get(), u"X", nullptr),
        gfnIStorageOpen(root.get(), nullptr, storage.Out()),
        gfnIStreamCreate(root.get(), nullptr, out.Out()), gfnIStreamOpen(nullptr, u"S", out.Out()),
        gfnIStreamWriteMemoryBlock(nullptr, 0, ""),
        gfnIStreamWriteMemoryBlock(stream.get(), 1, nullptr),
        gfnIStreamReadMemoryBlock(nullptr, buffer),
        gfnIStreamReadMemoryBlock(stream.get(), nullptr),
        gfnIStreamWriteVariant(stream.get(), nullptr), gfnIStreamReadVariant(nullptr, buffer),
        gfnIStreamReadVariant(stream.get(), nullptr)})
    EXPECT_EQ(status, E_POINTER);
  SAVEDATA data{};
  EXPECT_EQ(gfnClearVIO_SAVEDATA(nullptr) + gfnCopySAVEDATA(nullptr, &data) +
                gfnCopySAVEDATA(&data, nullptr),
            0);
}

}  // namespace
