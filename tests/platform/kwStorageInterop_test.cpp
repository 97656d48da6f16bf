// Files that kwcore writes, read back by three independent readers: olefile
// (/usr/bin/python3), libolecf's olecfexport and a small libgsf program.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using kwtest::ComPtr;
using kwtest::kRW;
using kwtest::U16;

namespace {

const CLSID kClass = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

std::string Bytes(int size, int seed) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (int i = 0; i < size; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<char>((i * 31 + seed * 7) & 0xFF);
  return bytes;
}

/// A tree with every shape the writer has to get right: nested storages,
/// empty streams and storages, both sides of the mini-stream cutoff, a
/// storage of 5,000 children and a 31-character name.
void BuildSample(IStorage* root) {
  ASSERT_EQ(root->SetClass(kClass), S_OK);
  ComPtr<IStorage> a, b, many;
  ASSERT_EQ(root->CreateStorage(u"Alpha", kRW, 0, 0, a.Out()), S_OK);
  ASSERT_EQ(a->CreateStorage(u"Beta", kRW, 0, 0, b.Out()), S_OK);
  ASSERT_EQ(b->CreateStorage(u"EmptyStorage", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
  int sizes[] = {0, 1, 64, 4095, 4096, 100000};
  for (int size : sizes) {
    ASSERT_EQ(kwtest::PutStream(root, U16("R" + std::to_string(size)), Bytes(size, 1)), S_OK);
    ASSERT_EQ(kwtest::PutStream(b.get(), U16("B" + std::to_string(size)), Bytes(size, 2)), S_OK);
  }
  ASSERT_EQ(kwtest::PutStream(a.get(), U16(std::string(31, 'L')), "longest name"), S_OK);
  ASSERT_EQ(root->CreateStorage(u"Many", kRW, 0, 0, many.Out()), S_OK);
  for (int i = 0; i < 5000; ++i)
    ASSERT_EQ(kwtest::PutStream(many.get(), U16("Child" + std::to_string(i)), Bytes(100, i)), S_OK);
}

class InteropTest : public ::testing::Test {
 protected:
  // One sample file serves every reader.
  static void SetUpTestSuite() {
    dir_ = new kwtest::TempDir;
    path_ = dir_->File("sample.cfb");
    ComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
    BuildSample(root.get());
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    expected_ = kwtest::Dump(root.get());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static kwtest::TempDir* dir_;
  static std::string path_;
  static std::string expected_;
};

kwtest::TempDir* InteropTest::dir_ = nullptr;
std::string InteropTest::path_;
std::string InteropTest::expected_;

TEST_F(InteropTest, OlefileReadsTheSameTreeAndBytes) {
  int status = 0;
  std::string theirs = kwtest::Run("/usr/bin/python3 " + kwtest::SourceDir() +
                                       "/tests/platform/tools/cfb_dump.py '" + path_ + "'",
                                   &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(theirs, expected_);
  // olefile's strict mode also accepts the file: no defect at all.
  std::string strict = kwtest::Run(
      "/usr/bin/python3 -c \"import olefile,sys; olefile.OleFileIO(sys.argv[1], "
      "raise_defects=olefile.DEFECT_POTENTIAL); print('clean')\" '" +
          path_ + "' 2>&1",
      &status);
  EXPECT_EQ(strict, "clean\n");
}

TEST_F(InteropTest, LibgsfReadsTheSameTreeAndBytes) {
  int status = 0;
  std::string theirs = kwtest::Run(std::string(KW_GSF_DUMP) + " '" + path_ + "'", &status);
  ASSERT_EQ(status, 0);
  // gsf_dump has no root line.
  EXPECT_EQ(theirs, expected_.substr(expected_.find('\n') + 1));
}

TEST_F(InteropTest, OlecfexportExportsTheSameTreeAndBytes) {
  std::string target = dir_->File("export");
  int status = 0;
  kwtest::Run("olecfexport -t '" + target + "' '" + path_ + "' >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  std::string info = kwtest::Run("olecfinfo '" + path_ + "' 2>&1", &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(info.find("Version\t\t\t: 3.62"), std::string::npos) << info;

  // olecfexport writes a storage as a directory and a stream as a directory
  // holding StreamData.bin; compare names and bytes with what kwcore holds.
  std::map<std::string, std::string> exported;
  std::string root = target + ".export";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename() != "StreamData.bin") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string relative = std::filesystem::relative(entry.path().parent_path(), root).string();
    exported[relative] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  ComPtr<IStorage> storage;
  ASSERT_EQ(StgOpenStorage(path_.c_str(), nullptr, kwtest::kRO, nullptr, 0, storage.Out()), S_OK);
  std::size_t streams = 0;
  std::function<void(IStorage*, const std::string&)> compare = [&](IStorage* s,
                                                                   const std::string& prefix) {
    for (const std::u16string& name : kwtest::ChildNames(s)) {
      std::string key = prefix + kwtest::Narrow(name);
      ComPtr<IStorage> child;
      if (SUCCEEDED(s->OpenStorage(name.c_str(), nullptr, kwtest::kRO, nullptr, 0, child.Out()))) {
        compare(child.get(), key + "/");
        continue;
      }
      ++streams;
      std::string bytes = kwtest::GetStream(s, name);
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
  kwtest::TempDir dir;
  std::string path = dir.File("gsf.cfb");
  int status = 0;
  kwtest::Run(std::string(KW_GSF_DUMP) + " --write '" + path + "' 3000", &status);
  ASSERT_EQ(status, 0);
  std::string theirs = kwtest::Run(std::string(KW_GSF_DUMP) + " '" + path + "'", &status);
  ASSERT_EQ(status, 0);
  std::string ours = kwtest::DumpFile(path);
  EXPECT_EQ(ours.substr(ours.find('\n') + 1), theirs);
  EXPECT_NE(ours.find(" 299 "), std::string::npos);
  EXPECT_EQ(std::count(ours.begin(), ours.end(), '\n'), 1 + 3000 + 2);
}

}  // namespace
