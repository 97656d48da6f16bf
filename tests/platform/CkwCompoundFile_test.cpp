// The compound-file codec: the trees it writes, what it makes of damaged and
// hostile files, and files from other writers read as olefile reads them.
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// Walks the sibling tree under entry `id` of an image whose directory starts
// at byte `dir`, checking that ids (which the writer hands out in name order)
// ascend from left to right, that no red node has a red parent and that both
// sides have the same black height, which is returned.
int BlackHeight(const std::string& image, std::size_t dir, std::uint32_t id, std::uint32_t low,
                std::uint32_t high, bool parentRed, std::uint32_t* count) {
  if (id == 0xFFFFFFFFu) return 1;
  const std::size_t entry = dir + 128 * id;
  const bool red = image[entry + 0x43] == 0;
  EXPECT_TRUE(low <= id && id < high && !(red && parentRed)) << id;
  ++*count;
  int left = BlackHeight(image, dir, Get32(image, entry + 0x44), low, id, red, count);
  EXPECT_EQ(BlackHeight(image, dir, Get32(image, entry + 0x48), id + 1, high, red, count), left);
  return left + (red ? 0 : 1);
}

TEST(CompoundFileWriter, SiblingTreesAreRedBlackTreesInNameOrder) {
  for (std::uint32_t count : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 100, 1000}) {
    ComPtr<IStorage> root;
    ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
    for (std::uint32_t i = 0; i < count; ++i)
      ASSERT_EQ(PutStream(root.get(), U16(std::to_string(10000 + i)), ""), S_OK);
    const std::string image = Image(root.get());
    const std::size_t dir = (Get32(image, 0x30) + 1) * 512;
    std::uint32_t seen = 0;
    // A red parent for the top node: it must be black.
    BlackHeight(image, dir, Get32(image, dir + 0x4C), 1, count + 1, true, &seen);
    EXPECT_EQ(seen, count);
  }
}

TEST(CompoundFileWriter, FilesOnDiskReadTheSameHereAndInOlefile) {
  TempDir dir;
  const std::string path = dir.File("sample.cfb");
  std::string expected;
  {
    ComPtr<IStorage> root, level1, level2, many;
    ASSERT_EQ(StgCreateDocfile(path.c_str(), kRW, 0, root.Out()), S_OK);
    ASSERT_EQ(root->SetClass(
                  {0x1A2B3C4D, 0x5E6F, 0x7081, {0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 0x09}}),
              S_OK);
    ASSERT_EQ(root->CreateStorage(u"Level1", kRW, 0, 0, level1.Out()), S_OK);
    ASSERT_EQ(level1->CreateStorage(u"Level2", kRW, 0, 0, level2.Out()), S_OK);
    ASSERT_EQ(level2->CreateStorage(u"Empty", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
    for (std::size_t size : {0, 1, 63, 64, 4095, 4096, 4097, 100000}) {
      std::string bytes(size, '\0');
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + size);
      ASSERT_EQ(PutStream(root.get(), U16("S" + std::to_string(size)), bytes), S_OK);
      ASSERT_EQ(PutStream(level2.get(), U16(std::string(31 - size % 7, 'L')), bytes), S_OK);
    }
    ASSERT_EQ(root->CreateStorage(u"Many", kRW, 0, 0, many.Out()), S_OK);
    for (int i = 0; i < 600; ++i)
      ASSERT_EQ(PutStream(many.get(), U16("Item" + std::to_string(i)), std::to_string(i)), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    expected = Dump(root.get());
  }
  EXPECT_EQ(DumpFile(path), expected);
  EXPECT_EQ(OlefileDump(path, true), expected);  // strict: not even a minor defect
}

// Damaged files in the fuzz regression corpus, each refused with its result;
// every other file there opens or is refused, and what opens survives a
// write and a re-read.
TEST(CompoundFileReader, RegressionCorpusIsRefusedAsListedOrSurvivesARoundTrip) {
  const std::map<std::string, HRESULT> refused = {
      {"bad-signature.cfb", STG_E_INVALIDHEADER},
      {"header-cut-short.cfb", STG_E_INVALIDHEADER},
      {"odd-byte-order.cfb", STG_E_INVALIDHEADER},
      {"version-4-with-512-byte-sectors.cfb", STG_E_INVALIDHEADER},
      {"mini-sectors-of-128-bytes.cfb", STG_E_INVALIDHEADER},
      {"mini-stream-cutoff-8192.cfb", STG_E_INVALIDHEADER},
      {"version-4-shorter-than-a-sector.cfb", STG_E_DOCFILECORRUPT},
      {"cut-after-the-header.cfb", STG_E_DOCFILECORRUPT},
      {"fat-count-beyond-the-file.cfb", STG_E_DOCFILECORRUPT},
      {"fat-sector-beyond-the-file.cfb", STG_E_DOCFILECORRUPT},
      {"difat-count-without-difat-sectors.cfb", STG_E_DOCFILECORRUPT},
      {"difat-chain-loops.cfb", STG_E_DOCFILECORRUPT},
      {"directory-chain-loops.cfb", STG_E_DOCFILECORRUPT},
      {"first-entry-not-a-root.cfb", STG_E_DOCFILECORRUPT},
      {"mini-stream-larger-than-the-file.cfb", STG_E_DOCFILECORRUPT},
      {"mini-fat-chain-loops.cfb", STG_E_DOCFILECORRUPT},
      {"sibling-tree-loops.cfb", STG_E_DOCFILECORRUPT},
      {"child-points-back-to-the-root.cfb", STG_E_DOCFILECORRUPT},
      {"entry-id-beyond-the-directory.cfb", STG_E_DOCFILECORRUPT},
      {"unknown-entry-type.cfb", STG_E_DOCFILECORRUPT},
      {"name-length-beyond-64-bytes.cfb", STG_E_DOCFILECORRUPT},
      {"name-length-odd.cfb", STG_E_DOCFILECORRUPT},
      {"empty-name.cfb", STG_E_DOCFILECORRUPT},
      {"duplicate-name.cfb", STG_E_DOCFILECORRUPT},
      {"stream-larger-than-the-file.cfb", STG_E_DOCFILECORRUPT},
      {"stream-chain-ends-early.cfb", STG_E_DOCFILECORRUPT},
      {"stream-chain-beyond-the-file.cfb", STG_E_DOCFILECORRUPT},
      {"mini-chain-beyond-the-mini-stream.cfb", STG_E_DOCFILECORRUPT},
  };
  std::size_t listed = 0;
  for (const auto& file : std::filesystem::directory_iterator(SourceDir() + "/fuzz/regressions")) {
    ComPtr<IStorage> root, again;
    HRESULT hr = OpenImage(FileBytes(file.path()), &root);
    auto it = refused.find(file.path().filename());
    if (it != refused.end()) {
      ++listed;
      EXPECT_EQ(hr, it->second) << it->first;
    } else if (SUCCEEDED(hr)) {
      ASSERT_EQ(OpenImage(Image(root.get()), &again), S_OK) << file.path();
      EXPECT_EQ(Dump(again.get()), Dump(root.get())) << file.path();
    }
  }
  EXPECT_EQ(listed, refused.size());
}

TEST(CompoundFileReader, EveryCutIsRefusedOrLosesNothing) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Mini", std::string(3000, 'm')), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Big", std::string(5000, 'b')), S_OK);
  const std::string image = Image(root.get()), expected = Dump(root.get());
  int opened = 0;
  for (std::size_t size = 0; size < image.size(); size += 7) {
    ComPtr<IStorage> cut;
    if (FAILED(OpenImage(image.substr(0, size), &cut))) continue;
    EXPECT_EQ(Dump(cut.get()), expected) << size;  // only the last sector's unused tail is gone
    ++opened;
  }
  EXPECT_GT(opened, 0);
}

// Files from other writers, read in place. The damaged ones are refused;
// every other one gives the tree and bytes olefile gives.
TEST(CompoundFileReader, ReadsFilesFromOtherWritersAsOlefileDoes) {
  const std::string dir = SourceDir() + "/../shared/testdata/cfb/";
  std::ifstream manifest(dir + "MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no files from other writers at " << dir;
  std::string line;
  std::getline(manifest, line);
  int read = 0, refused = 0;
  while (std::getline(manifest, line)) {
    const std::string name = line.substr(0, line.find('\t'));
    if (line.find("\tDAMAGED") != std::string::npos) {
      EXPECT_EQ(DumpFile(dir + name), ErrorText(STG_E_DOCFILECORRUPT)) << name;
      ++refused;
    } else {
      EXPECT_EQ(DumpFile(dir + name), OlefileDump(dir + name, false)) << name;
      ++read;
    }
  }
  EXPECT_GE(read, 20);
  EXPECT_GE(refused, 4);
}

}  // namespace
