// Files that kwcore writes, read back by three independent readers: olefile
// (/usr/bin/python3), libolecf's olecfexport and a small libgsf program.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

const CLSID kClass = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

std::string Bytes(int size, int seed) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(i * 31 + seed * 7));
  return bytes;
}

/// A tree with every shape the writer has to get right: nested storages,
/// empty streams and storages, both sides of the mini-stream cutoff, a
/// storage of 5,000 children and a 31-character name.
void BuildSample(IStorage* root) {
  ASSERT_EQ(root->SetClass(kClass), S_OK);
  CkwComPtr<IStorage> a, b, many;
  ASSERT_EQ(root->CreateStorage(u"Alpha", kRW, 0, 0, a.put()), S_OK);
  ASSERT_EQ(a->CreateStorage(u"Beta", kRW, 0, 0, b.put()), S_OK);
  ASSERT_EQ(b->CreateStorage(u"EmptyStorage", kRW, 0, 0, CkwComPtr<IStorage>().put()), S_OK);
  for (int size : {0, 1, 64, 4095, 4096, 100000}) {
    ASSERT_EQ(PutStream(root, U16("R" + std::to_string(size)), Bytes(size, 1)), S_OK);
    ASSERT_EQ(PutStream(b.get(), U16("B" + std::to_string(size)), Bytes(size, 2)), S_OK);
  }
  ASSERT_EQ(PutStream(a.get(), U16(std::string(31, 'L')), "longest name"), S_OK);
  ASSERT_EQ(root->CreateStorage(u"Many", kRW, 0, 0, many.put()), S_OK);
  for (int i = 0; i < 5000; ++i)
    ASSERT_EQ(PutStream(many.get(), U16("Child" + std::to_string(i)), Bytes(100, i)), S_OK);
}

/// One sample file on disk serves every reader; `expected` is its dump.
struct Sample {
  TempDir dir;
  std::string path = dir.File("sample.cfb"), expected;
};

const Sample& TheSample() {
  static Sample sample;
  if (sample.expected.empty()) {
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgCreateDocfile(sample.path.c_str(), kRW, 0, root.put()), S_OK);
    BuildSample(root.get());
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    sample.expected = Dump(root.get());
  }
  return sample;
}

TEST(Interop, OlefileReadsTheSameTreeAndBytes) {
  const Sample& sample = TheSample();
  int status = 0;
  EXPECT_EQ(OlefileDump(sample.path, &status), sample.expected);
  ASSERT_EQ(status, 0);
  // olefile's strict mode also accepts the file: no defect at all.
  EXPECT_EQ(kwtest::Run("/usr/bin/python3 -c \"import olefile,sys; olefile.OleFileIO(sys.argv[1], "
                        "raise_defects=olefile.DEFECT_POTENTIAL); print('clean')\" '" +
                        sample.path + "' 2>&1"),
            "clean\n");
}

TEST(Interop, LibgsfReadsTheSameTreeAndBytes) {
  const Sample& sample = TheSample();
  int status = 0;
  // gsf_dump has no root line.
  EXPECT_EQ(kwtest::Run(std::string(KW_GSF_DUMP) + " '" + sample.path + "'", &status),
            sample.expected.substr(sample.expected.find('\n') + 1));
  ASSERT_EQ(status, 0);
}

TEST(Interop, OlecfexportExportsTheSameTreeAndBytes) {
  const Sample& sample = TheSample();
  const std::string target = sample.dir.File("export");
  int status = 0;
  kwtest::Run("olecfexport -t '" + target + "' '" + sample.path + "' >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  std::string info = kwtest::Run("olecfinfo '" + sample.path + "' 2>&1", &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(info.find("Version\t\t\t: 3.62"), std::string::npos) << info;

  // olecfexport writes a storage as a directory and a stream as a directory
  // holding StreamData.bin; compare names and bytes with what kwcore holds.
  std::map<std::string, std::string> exported;
  std::string root = target + ".export";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename() != "StreamData.bin") continue;
    exported[std::filesystem::relative(entry.path().parent_path(), root).string()] =
        FileBytes(entry.path());
  }
  CkwComPtr<IStorage> storage;
  ASSERT_EQ(StgOpenStorage(sample.path.c_str(), nullptr, kRO, nullptr, 0, storage.put()), S_OK);
  std::size_t streams = 0;
  std::function<void(IStorage*, const std::string&)> compare = [&](IStorage* s,
                                                                   const std::string& prefix) {
    for (const std::u16string& name : ChildNames(s)) {
      std::string key = prefix + Narrow(name);
      CkwComPtr<IStorage> child;
      if (SUCCEEDED(s->OpenStorage(name.c_str(), nullptr, kRO, nullptr, 0, child.put()))) {
        compare(child.get(), key + "/");
        continue;
      }
      ++streams;
      std::string bytes = GetStream(s, name);
      // olecfexport skips writing empty streams' data.
      if (bytes.empty() && !exported.count(key)) continue;
      EXPECT_EQ(exported[key], bytes) << key;
    }
  };
  compare(storage.get(), "");
  EXPECT_EQ(streams, 5000u + 12u + 1u);
}

TEST(InteropFromOthers, ReadsWhatLibgsfWrites) {
  // libgsf chains siblings into a degenerate tree; 3,000 of them also show
  // that such a tree is read without deep recursion.
  TempDir dir;
  std::string path = dir.File("gsf.cfb");
  int status = 0;
  kwtest::Run(std::string(KW_GSF_DUMP) + " --write '" + path + "' 3000", &status);
  ASSERT_EQ(status, 0);
  std::string theirs = kwtest::Run(std::string(KW_GSF_DUMP) + " '" + path + "'", &status);
  ASSERT_EQ(status, 0);
  std::string ours = DumpFile(path);
  EXPECT_EQ(ours.substr(ours.find('\n') + 1), theirs);
  EXPECT_NE(ours.find(" 299 "), std::string::npos);
  EXPECT_EQ(std::count(ours.begin(), ours.end(), '\n'), 1 + 3000 + 2);
}

}  // namespace
