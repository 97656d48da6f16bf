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
                                        ? ErrorText(STG_E_DOCFILECORRUPT)
                                        : OlefileDump(dir + name, false))
        << name;
  }
  EXPECT_GE(files, 25);
}

}  // namespace
