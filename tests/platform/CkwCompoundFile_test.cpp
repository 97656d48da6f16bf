// The compound-file codec at the byte level: the shape of what it writes,
// what it makes of damaged and hostile files, and how it reads files from
// other writers compared with olefile.
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;

std::uint32_t Get32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
void Put(std::string& b, std::size_t at, std::uint32_t v, int width = 4) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

/// A minimal, independent view of a version-3 image: FAT from the header's
/// DIFAT slots (enough for test-sized files) and the directory entries.
struct RawFile {
  explicit RawFile(std::string image) : bytes(std::move(image)) {
    std::uint32_t numFat = Get32(bytes, 0x2C);
    for (std::uint32_t i = 0; i < numFat && i < 109; ++i) {
      std::uint32_t sector = Get32(bytes, 0x4C + 4 * i);
      for (std::uint32_t j = 0; j < 128; ++j) fat.push_back(Get32(bytes, Offset(sector) + 4 * j));
    }
    for (std::uint32_t s = Get32(bytes, 0x30); s != kEndOfChain && dirSectors.size() < fat.size();
         s = fat[s])
      dirSectors.push_back(s);
  }
  std::size_t Offset(std::uint32_t sector) const { return (sector + 1) * 512; }
  std::size_t Entry(std::uint32_t id) const { return Offset(dirSectors[id / 4]) + (id % 4) * 128; }
  std::u16string Name(std::uint32_t id) const {
    std::size_t at = Entry(id);
    std::u16string name;
    for (std::size_t i = 0; i + 2 < static_cast<unsigned char>(bytes[at + 0x40]); i += 2)
      name.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[at + i]) |
                                           (static_cast<unsigned char>(bytes[at + i + 1]) << 8)));
    return name;
  }
  std::uint32_t Left(std::uint32_t id) const { return Get32(bytes, Entry(id) + 0x44); }
  std::uint32_t Right(std::uint32_t id) const { return Get32(bytes, Entry(id) + 0x48); }
  std::uint32_t Child(std::uint32_t id) const { return Get32(bytes, Entry(id) + 0x4C); }
  bool Red(std::uint32_t id) const { return bytes[Entry(id) + 0x43] == 0; }

  std::string bytes;
  std::vector<std::uint32_t> fat;
  std::vector<std::uint32_t> dirSectors;
};

bool FormatLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'a' && a[i] <= u'z' ? a[i] - 32 : a[i];
    char16_t y = b[i] >= u'a' && b[i] <= u'z' ? b[i] - 32 : b[i];
    if (x != y) return x < y;
  }
  return false;
}

/// Checks the red-black rules and the order of one sibling tree; returns its
/// black height, or -1 with a failure recorded.
int CheckRedBlack(const RawFile& file, std::uint32_t id, bool parentRed, const std::u16string* low,
                  const std::u16string* high, std::size_t* count) {
  if (id == kNoStream) return 1;
  ++*count;
  std::u16string name = file.Name(id);
  if (low && !FormatLess(*low, name)) ADD_FAILURE() << "order broken at " << id;
  if (high && !FormatLess(name, *high)) ADD_FAILURE() << "order broken at " << id;
  bool red = file.Red(id);
  if (red && parentRed) ADD_FAILURE() << "red child of a red node at " << id;
  int left = CheckRedBlack(file, file.Left(id), red, low, &name, count);
  int right = CheckRedBlack(file, file.Right(id), red, &name, high, count);
  if (left != right) ADD_FAILURE() << "black heights differ under " << id;
  return left + (red ? 0 : 1);
}

TEST(CompoundFileWriter, SiblingTreesAreBalancedRedBlackTreesInNameOrder) {
  for (int count : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 100, 1000, 5000}) {
    CkwComPtr<IStorage> root;
    ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
    CkwComPtr<IStorage> sub;
    ASSERT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, sub.put()), S_OK);
    for (int i = 0; i < count; ++i) {
      // Mixed lengths and cases exercise the format's order.
      std::string name = (i % 3 ? "n" : "N") + std::to_string(i * 7919 % 100003);
      ASSERT_EQ(PutStream(sub.get(), U16(name), "x"), S_OK);
    }
    RawFile file(Image(root.get()));
    std::uint32_t subId = file.Child(0);
    ASSERT_EQ(file.Name(subId), u"Sub");
    ASSERT_FALSE(file.Red(subId));
    std::uint32_t top = file.Child(subId);
    EXPECT_FALSE(file.Red(top)) << count;
    std::size_t seen = 0;
    int blackHeight = CheckRedBlack(file, top, false, nullptr, nullptr, &seen);
    EXPECT_EQ(seen, static_cast<std::size_t>(count));
    // A red-black tree of n nodes is at most 2 log2(n + 1) deep.
    int bound = 1;
    while ((1 << bound) < count + 1) ++bound;
    EXPECT_LE(blackHeight - 1, bound) << count;
  }
}

TEST(CompoundFileWriter, SmallStreamsGoToTheMiniStream) {
  CkwComPtr<IStorage> root;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Big", std::string(4096, 'b')), S_OK);
  RawFile onlyBig(Image(root.get()));
  EXPECT_EQ(Get32(onlyBig.bytes, 0x3C), kEndOfChain);  // no mini FAT
  EXPECT_EQ(Get32(onlyBig.bytes, 0x1A) & 0xFFFF, 3u);  // version 3
  EXPECT_EQ(onlyBig.bytes.size() % 512, 0u);
  ASSERT_EQ(PutStream(root.get(), u"Small", std::string(4095, 's')), S_OK);
  RawFile both(Image(root.get()));
  EXPECT_NE(Get32(both.bytes, 0x3C), kEndOfChain);
  EXPECT_EQ(Get32(both.bytes, both.Entry(0) + 0x78), 4096u);  // 64 mini sectors of 64 bytes
}

// ---------------------------------------------------------------------------

std::string SampleImage() {
  CkwComPtr<IStorage> root;
  EXPECT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  CkwComPtr<IStorage> sub;
  EXPECT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, sub.put()), S_OK);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(PutStream(root.get(), U16("S" + std::to_string(i)), std::string(i * 300, 'a' + i)),
              S_OK);
    EXPECT_EQ(PutStream(sub.get(), U16("T" + std::to_string(i)), std::string(i * 40, 'A' + i)),
              S_OK);
  }
  return Image(root.get());
}

std::uint32_t SubId(const RawFile& file) {
  for (std::uint32_t id = 0;; ++id)
    if (file.Name(id) == u"Sub") return id;
}

TEST(CompoundFileReader, HandmadeDamageGivesClearResults) {
  const std::string good = SampleImage();
  RawFile file(good);
  const std::uint32_t dir = Get32(good, 0x30);
  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    int width;  // bytes written at `at`; 0 cuts the file there
    HRESULT expected;
  };
  const Case cases[] = {
      {"bad signature", 0, 'X', 1, STG_E_INVALIDHEADER},
      {"version 4 with 512-byte sectors", 0x1A, 4, 1, STG_E_INVALIDHEADER},
      {"odd byte order", 0x1C, 0, 1, STG_E_INVALIDHEADER},
      {"truncated header", 300, 0, 0, STG_E_INVALIDHEADER},
      {"FAT count beyond the file", 0x2C, 0x10000000, 4, STG_E_DOCFILECORRUPT},
      {"FAT sector beyond the file", 0x4C, 0x00FFFFFF, 4, STG_E_DOCFILECORRUPT},
      {"directory chain loops", file.Offset(Get32(good, 0x4C)) + 4 * dir, dir, 4,
       STG_E_DOCFILECORRUPT},
      {"sibling tree loops", file.Entry(1) + 0x44, 1, 4, STG_E_DOCFILECORRUPT},
      {"child points back to the root", file.Entry(SubId(file)) + 0x4C, 0, 4, STG_E_DOCFILECORRUPT},
      {"entry id beyond the directory", file.Entry(0) + 0x4C, 100000, 4, STG_E_DOCFILECORRUPT},
      {"stream larger than the file", file.Entry(2) + 0x78, 0x7FFFFFF0, 4, STG_E_DOCFILECORRUPT},
      {"name length beyond 64 bytes", file.Entry(1) + 0x40, 70, 1, STG_E_DOCFILECORRUPT},
      {"unknown entry type", file.Entry(1) + 0x42, 7, 1, STG_E_DOCFILECORRUPT},
      {"first entry not a root", file.Entry(0) + 0x42, 1, 1, STG_E_DOCFILECORRUPT},
      {"mini stream larger than the file", file.Entry(0) + 0x78, 0x40000000, 4,
       STG_E_DOCFILECORRUPT},
      {"file cut after the header", 512, 0, 0, STG_E_DOCFILECORRUPT},
      {"DIFAT count without DIFAT sectors", 0x48, 2, 4, STG_E_DOCFILECORRUPT},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    if (c.width == 0)
      bytes.resize(c.at);
    else
      Put(bytes, c.at, c.value, c.width);
    CkwComPtr<IStorage> root;
    EXPECT_EQ(OpenImage(bytes, &root), c.expected) << c.what;
    EXPECT_FALSE(root) << c.what;
  }
}

TEST(CompoundFileReader, EveryTruncationIsRefusedOrLosesNothing) {
  const std::string good = SampleImage();
  CkwComPtr<IStorage> whole;
  ASSERT_EQ(OpenImage(good, &whole), S_OK);
  const std::string expected = Dump(whole.get());
  for (std::size_t size = 0; size < good.size(); size += 37) {
    CkwComPtr<IStorage> root;
    HRESULT hr = OpenImage(good.substr(0, size), &root);
    // A cut through the unused tail of the last sector loses nothing and may
    // open; any other cut must be refused rather than filled in.
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(Dump(root.get()), expected) << size;
    }
  }
}

TEST(CompoundFileReader, RandomDamageNeverCrashes) {
  const std::string good = SampleImage();
  std::uint32_t x = 12345;
  auto next = [&] {
    x = x * 1664525u + 1013904223u;
    return x >> 8;
  };
  int opened = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = good;
    int flips = 1 + next() % 8;
    for (int i = 0; i < flips; ++i) {
      // Aim at the structures (header, FAT, directory) more than at data.
      std::size_t at = next() % 4 == 0 ? next() % bytes.size()
                                       : next() % std::min<std::size_t>(bytes.size(), 512 * 8);
      bytes[at] = static_cast<char>(next());
    }
    // Whatever opens is walked and read whole: no crash, no hang.
    CkwComPtr<IStorage> root;
    if (SUCCEEDED(OpenImage(bytes, &root))) opened += !Dump(root.get()).empty();
  }
  EXPECT_GT(opened, 0);  // some flips hit only data
}

TEST(CompoundFileReader, FuzzerFindingsStayFixed) {
  // fuzz/regressions holds every input the fuzzer ever crashed on; each must
  // now open or be refused, and what opens must survive a write and a re-read.
  std::filesystem::path dir = std::filesystem::path(SourceDir()) / "fuzz" / "regressions";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no " << dir;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    CkwComPtr<IStorage> root;
    if (FAILED(OpenImage(FileBytes(entry.path()), &root))) continue;
    std::string tree = Dump(root.get());
    CkwComPtr<IStorage> again;
    ASSERT_EQ(OpenImage(Image(root.get()), &again), S_OK) << entry.path();
    EXPECT_EQ(Dump(again.get()), tree) << entry.path();
  }
}

TEST(CompoundFileReader, DegenerateSiblingChainsAreWalkedWithoutRecursion) {
  const std::uint32_t count = 50000;
  CkwComPtr<IStorage> root;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  for (std::uint32_t i = 0; i < count; ++i)
    ASSERT_EQ(PutStream(root.get(), U16("E" + std::to_string(i)), ""), S_OK);
  // The writer gives the root's children ids 1..count in name order; relink
  // them into one long right-leaning chain, a valid but degenerate tree.
  RawFile file(Image(root.get()));
  ASSERT_LE(Get32(file.bytes, 0x2C), 109u);  // RawFile reads only the header's FAT slots
  Put(file.bytes, file.Entry(0) + 0x4C, 1);
  for (std::uint32_t id = 1; id <= count; ++id) {
    Put(file.bytes, file.Entry(id) + 0x44, kNoStream);
    Put(file.bytes, file.Entry(id) + 0x48, id == count ? kNoStream : id + 1);
  }
  CkwComPtr<IStorage> reopened;
  ASSERT_EQ(OpenImage(file.bytes, &reopened), S_OK);
  EXPECT_EQ(ChildNames(reopened.get()).size(), count);
}

// Files from other writers, read as olefile reads them. The damaged ones are
// refused with a clear result where olefile only copes in its lenient mode (or
// refuses too); every other file must give the same tree and bytes.
TEST(CompoundFileReader, ReadsFilesFromOtherWritersAsOlefileDoes) {
  const std::string dir = SourceDir() + "/../shared/testdata/cfb";
  std::map<std::string, HRESULT> refused = {
      {"damaged-difat-count.dat", STG_E_DOCFILECORRUPT},
      {"damaged-dir-loop.dat", STG_E_DOCFILECORRUPT},
      {"damaged-fat-chain-loop.cfs", STG_E_DOCFILECORRUPT},
      {"fuzz-loop-in-chain.bin", STG_E_DOCFILECORRUPT},
  };
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no shared test files at " << dir;
  std::string line;
  std::getline(manifest, line);
  std::size_t compared = 0;
  while (std::getline(manifest, line)) {
    std::string name = line.substr(0, line.find('\t'));
    if (name.empty()) continue;
    std::string ours = DumpFile(dir + "/" + name);
    auto damaged = refused.find(name);
    if (damaged == refused.end()) {
      EXPECT_EQ(ours, OlefileDump(dir + "/" + name)) << name;
      ++compared;
    } else {
      EXPECT_EQ(ours, ErrorText(damaged->second)) << name;
      refused.erase(damaged);
    }
  }
  EXPECT_TRUE(refused.empty()) << refused.begin()->first << " is no longer listed";
  EXPECT_GE(compared, 20u);
}

}  // namespace
