#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "support/kwStorageTestUtil.h"
#include "support/kwTempDir.h"

using namespace kwtest;

namespace {

TEST(CompoundFileWriter, FilesOnDiskReadTheSameHereAndInOlefile) {
  kwTest::TempDir dir;
  const std::string path = dir / "sample.cfb";
  CkwComPtr<IStorage> root, level1, level2;
  ASSERT_EQ(StgCreateDocfile(path.c_str(), kRW, 0, root.put()), S_OK);
  ASSERT_EQ(
      root->SetClass({0x1A2B3C4D, 0x5E6F, 0x7081, {0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 9}}),
      S_OK);
  ASSERT_EQ(root->CreateStorage(u"Level1", kRW, 0, 0, level1.put()), S_OK);
  ASSERT_EQ(level1->CreateStorage(u"Level2", kRW, 0, 0, level2.put()), S_OK);
  ASSERT_EQ(level2->CreateStorage(u"Empty", kRW, 0, 0, CkwComPtr<IStorage>().put()), S_OK);
  for (std::size_t size : {0, 1, 63, 64, 4095, 4096, 4097, 100000}) {
    std::string name = std::to_string(size), bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + size);
    ASSERT_EQ(PutStream(root.get(), U16(name), bytes), S_OK);
    ASSERT_EQ(PutStream(level2.get(), U16(std::string(31 - name.size(), 'L') + name), bytes), S_OK);
  }
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ(PutStream(level1.get(), U16("Item" + std::to_string(i)), std::to_string(i)), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(DumpFile(path), Dump(root.get()));
  EXPECT_EQ(OlefileDump(path, true), Dump(root.get()));  // strict: not even a potential defect
}

TEST(CompoundFileReader, RegressionCorpusGetsTheResultsItListsAndWhatOpensSurvivesARoundTrip) {
  const std::string dir = SourceDir() + "/fuzz/regressions/";
  const std::map<std::string, HRESULT> codes = {{"S_OK", S_OK},
                                                {"STG_E_INVALIDHEADER", STG_E_INVALIDHEADER},
                                                {"STG_E_DOCFILECORRUPT", STG_E_DOCFILECORRUPT}};
  std::map<std::string, HRESULT> expected;
  std::ifstream table(dir + "expected.tsv");
  for (std::string name, result; table >> name >> result;) expected[name] = codes.at(result);
  EXPECT_GE(expected.size(), 31u);
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    CkwComPtr<IStorage> root, again;
    const std::string name = file.path().filename();
    HRESULT hr = OpenImage(FileBytes(file.path()), &root);
    auto listed = expected.find(name);
    if (listed != expected.end()) {
      EXPECT_EQ(hr, listed->second) << name;
      expected.erase(listed);
      // The check reaches the same verdict and names a problem when it fails.
      int problems = 0;
      auto count = [](void* context, std::uint64_t, const char*) { ++*static_cast<int*>(context); };
      EXPECT_EQ(kwCheckCompoundFile(file.path().c_str(), count, &problems), hr) << name;
      EXPECT_EQ(problems > 0, FAILED(hr)) << name;
    }
    if (SUCCEEDED(hr)) {
      ASSERT_EQ(OpenImage(Image(root.get()), &again), S_OK) << name;
      EXPECT_EQ(Dump(again.get()), Dump(root.get())) << name;
    }
  }
  EXPECT_EQ(expected.size(), 0u) << expected.begin()->first << " is listed but missing";
}

TEST(CompoundFileReader, ReadsFilesFromOtherWritersAsOlefileDoesAndRefusesTheDamagedOnes) {
  const std::string dir = SourceDir() + "/../shared/testdata/cfb/";
  std::ifstream manifest(dir + "MANIFEST.tsv");
  if (!manifest)
    GTEST_SKIP() << "no interop corpus (files from other writers): " << dir
                 << "MANIFEST.tsv is missing; it comes with ../shared beside the checkout";
  int files = 0;
  for (std::string line; std::getline(manifest, line);) {
    const std::string name = line.substr(0, line.find('\t'));
    if (files++ == 0) continue;  // the column names
    EXPECT_EQ(DumpFile(dir + name), line.find("\tDAMAGED") != std::string::npos
                                        ? kwHResultText(STG_E_DOCFILECORRUPT)
                                        : OlefileDump(dir + name, false))
        << name;
  }
  EXPECT_GE(files, 25);
}

// Shapes an attacker would try, generated: they must be refused or read
// within bounded memory, and freed without recursion.
TEST(CompoundFileReader, HostileShapesAreRefusedOrReadWithinBounds) {
  // A small file made 64 GiB long by a hole: memory follows what the FAT
  // covers, not the apparent size (sparse files only).
  rusage before, after;
  kwTest::TempDir dir;
  const std::string sparse = dir / "sparse.cfb";
  CkwComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(sparse.c_str(), kRW, 0, root.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"S", std::string(5000, 's')), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root.reset();
  struct stat st {};
  if (truncate(sparse.c_str(), off_t{64} << 30) == 0 && stat(sparse.c_str(), &st) == 0 &&
      st.st_blocks * 512 < st.st_size) {
    getrusage(RUSAGE_SELF, &before);
    ASSERT_EQ(StgOpenStorage(sparse.c_str(), nullptr, kRO, nullptr, 0, root.put()), S_OK);
    EXPECT_EQ(GetStream(root.get(), u"S"), std::string(5000, 's'));
    root.reset();
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KiB
  }

  // 100,000 storages, each inside the last.
  CkwComPtr<IStorage> level;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  ASSERT_EQ(root->CreateStorage(u"S", kRW, 0, 0, level.put()), S_OK);
  for (int i = 1; i < 100000; ++i) {
    CkwComPtr<IStorage> next;
    ASSERT_EQ(level->CreateStorage(u"S", kRW, 0, 0, next.put()), S_OK);
    level = std::move(next);
  }
  level.reset();
  const std::string nested = Image(root.get());
  root.reset();  // frees the written tree
  ASSERT_EQ(OpenImage(nested, &root), S_OK);
  int depth = 0;  // opens down to the bottom, then frees it all
  ASSERT_EQ(root->OpenStorage(u"S", nullptr, kRO, nullptr, 0, level.put()), S_OK);
  for (CkwComPtr<IStorage> next;
       level->OpenStorage(u"S", nullptr, kRO, nullptr, 0, next.put()) == S_OK; ++depth)
    level = std::move(next);
  EXPECT_EQ(depth, 99999);
  level.reset();
  root.reset();

  // 1,000 entries that claim one 1 MiB chain (once a few GB of copies).
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Big", std::string(1 << 20, 'x')), S_OK);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(PutStream(root.get(), U16(std::to_string(i)), ""), S_OK);
  std::string shared = Image(root.get());
  auto load32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, shared.data() + at, 4);
    return v;
  };
  const std::size_t directory = (load32(0x30) + 1) * 512;
  std::uint32_t bigStart = 0;
  for (std::size_t e = directory; e < directory + 1001 * 128; e += 128)
    if (shared[e + 0x42] == 2 && load32(e + 0x78) == 1u << 20) bigStart = load32(e + 0x74);
  for (std::size_t e = directory; e < directory + 1002 * 128; e += 128) {
    if (shared[e + 0x42] != 2 || load32(e + 0x78) != 0) continue;
    const std::uint32_t fields[2] = {bigStart, 1u << 20};
    std::memcpy(shared.data() + e + 0x74, fields, sizeof fields);
  }
  getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(OpenImage(shared, &root), STG_E_DOCFILECORRUPT);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KiB
}

// Names other writers use but ours refuses for new elements open by the
// name they enumerate under.
TEST(CompoundFileReader, ElementsOpenByTheNamesTheyEnumerateUnder) {
  CkwComPtr<IStorage> root = MemoryRoot();
  ASSERT_EQ(PutStream(root.get(), u"a_b", "slash"), S_OK);
  std::string image = Image(root.get());
  const std::string entry("a\0_\0b\0", 6);
  ASSERT_NE(image.find(entry), std::string::npos);
  image[image.find(entry) + 2] = '/';
  ASSERT_EQ(OpenImage(image, &root), S_OK);
  EXPECT_EQ(ChildNames(root.get()), std::vector<std::u16string>{u"a/b"});
  EXPECT_EQ(GetStream(root.get(), u"a/b"), "slash");
}

// After Commit, the storage reads from the file it wrote: a stream open
// across the commit reads what is now on disk, wherever its bytes moved.
TEST(CompoundFileWriter, AStorageReadAfterCommitReadsTheNewFile) {
  kwTest::TempDir dir;
  const std::string path = dir / "moved.cfb";
  const std::string kept(100000, 'k'), marker(5000, 'm');
  CkwComPtr<IStorage> root;
  CkwComPtr<IStream> stream;
  ASSERT_EQ(StgCreateDocfile(path.c_str(), kRW, 0, root.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Kept", kept), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root.reset();
  ASSERT_EQ(StgOpenStorage(path.c_str(), nullptr, kRW, nullptr, 0, root.put()), S_OK);
  ASSERT_EQ(root->OpenStream(u"Kept", nullptr, kRW, 0, stream.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Before", std::string(70000, 'b')), S_OK);  // moves Kept
  ASSERT_EQ(PutStream(root.get(), u"Marked", marker), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), kept);
  // Changed in place on disk, the committed stream reads the change.
  std::string bytes = FileBytes(path);
  std::size_t at = bytes.find(marker);
  ASSERT_NE(at, std::string::npos);
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(at).write("M", 1);
  EXPECT_EQ(GetStream(root.get(), u"Marked"), "M" + marker.substr(1));
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Write("K", 1, nullptr), S_OK);  // copied from the new file on change
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(GetStream(root.get(), u"Kept"), "K" + kept.substr(1));
  EXPECT_EQ(DumpFile(path), Dump(root.get()));
}

}  // namespace
