// Behaviour of IStorage and IStream through real compound files on disk.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using kwtest::ComPtr;
using kwtest::GetStream;
using kwtest::kRO;
using kwtest::kRW;
using kwtest::PutStream;
using kwtest::U16;

namespace {

const CLSID kClass = {0x1A2B3C4D, 0x5E6F, 0x7081, {0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 0x09}};

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

LARGE_INTEGER Li(LONGLONG v) {
  LARGE_INTEGER li;
  li.QuadPart = v;
  return li;
}
ULARGE_INTEGER Uli(ULONGLONG v) {
  ULARGE_INTEGER li;
  li.QuadPart = v;
  return li;
}

class StorageTest : public ::testing::Test {
 protected:
  ComPtr<IStorage> Create() {
    ComPtr<IStorage> root;
    EXPECT_EQ(StgCreateDocfile(path_.c_str(), kRW | STGM_CREATE, 0, root.Out()), S_OK);
    return root;
  }
  ComPtr<IStorage> Reopen(DWORD mode = kRO) {
    ComPtr<IStorage> root;
    EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, mode, nullptr, 0, root.Out()), S_OK);
    return root;
  }

  kwtest::TempDir dir_;
  std::string path_ = dir_.File("project.kw");
};

TEST_F(StorageTest, NestedTreeWithEdgeSizesSurvivesCommitAndReopen) {
  const std::size_t sizes[] = {0, 1, 63, 64, 4095, 4096, 4097, 100000};
  {
    ComPtr<IStorage> root = Create();
    ASSERT_EQ(root->SetClass(kClass), S_OK);
    ComPtr<IStorage> level1, level2;
    ASSERT_EQ(root->CreateStorage(u"Level1", kRW, 0, 0, level1.Out()), S_OK);
    ASSERT_EQ(level1->CreateStorage(u"Level2", kRW, 0, 0, level2.Out()), S_OK);
    ASSERT_EQ(level2->CreateStorage(u"EmptyStorage", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
    for (std::size_t size : sizes) {
      std::u16string name = U16("S" + std::to_string(size));
      ASSERT_EQ(PutStream(root.get(), name, Pattern(size, 1)), S_OK);
      ASSERT_EQ(PutStream(level2.get(), name, Pattern(size, 2)), S_OK);
    }
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  ComPtr<IStorage> root = Reopen();
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.clsid, kClass);
  EXPECT_EQ(stat.type, STGTY_STORAGE);
  ComPtr<IStorage> level1, level2, empty;
  ASSERT_EQ(root->OpenStorage(u"Level1", nullptr, kRO, nullptr, 0, level1.Out()), S_OK);
  ASSERT_EQ(level1->OpenStorage(u"Level2", nullptr, kRO, nullptr, 0, level2.Out()), S_OK);
  ASSERT_EQ(level2->OpenStorage(u"EmptyStorage", nullptr, kRO, nullptr, 0, empty.Out()), S_OK);
  EXPECT_TRUE(kwtest::ChildNames(empty.get()).empty());
  for (std::size_t size : sizes) {
    std::u16string name = U16("S" + std::to_string(size));
    EXPECT_EQ(GetStream(root.get(), name), Pattern(size, 1)) << size;
    EXPECT_EQ(GetStream(level2.get(), name), Pattern(size, 2)) << size;
  }
}

TEST_F(StorageTest, ReleasingTheRootWithoutCommitLeavesTheFileAsItWas) {
  {
    ComPtr<IStorage> root = Create();
    ASSERT_EQ(PutStream(root.get(), u"Kept", "old"), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  std::string before = FileBytes(path_);
  {
    ComPtr<IStorage> root = Reopen(kRW);
    ASSERT_EQ(PutStream(root.get(), u"Kept", "new"), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"Added", "x"), S_OK);
  }
  EXPECT_EQ(FileBytes(path_), before);
  EXPECT_EQ(GetStream(Reopen().get(), u"Kept"), "old");
}

TEST_F(StorageTest, RevertDropsChangesAndRetiresOpenElements) {
  ComPtr<IStorage> root = Create();
  ASSERT_EQ(PutStream(root.get(), u"Committed", "1"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ComPtr<IStream> open;
  ASSERT_EQ(root->OpenStream(u"Committed", nullptr, kRW, 0, open.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Later", "2"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(kwtest::ChildNames(root.get()), std::vector<std::u16string>{u"Committed"});
  EXPECT_EQ(GetStream(root.get(), u"Committed"), "1");
  char byte;
  EXPECT_EQ(open->Read(&byte, 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(open->Write("z", 1, nullptr), STG_E_REVERTED);
  // The root itself stays usable.
  ASSERT_EQ(PutStream(root.get(), u"AfterRevert", "3"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(GetStream(Reopen().get(), u"AfterRevert"), "3");
}

TEST_F(StorageTest, MemoryRootCommitsAndRevertsWithoutAFile) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"A", "a"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"B", "b"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(kwtest::ChildNames(root.get()), std::vector<std::u16string>{u"A"});

  void* image = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(StgSaveToMemory(root.get(), &image, &size), S_OK);
  ComPtr<IStorage> copy;
  ASSERT_EQ(StgOpenMemoryDocfile(image, size, kRO, copy.Out()), S_OK);
  CoTaskMemFree(image);
  EXPECT_EQ(GetStream(copy.get(), u"A"), "a");
  EXPECT_EQ(copy->CreateStream(u"C", kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_ACCESSDENIED);
}

TEST_F(StorageTest, SeekAndSetSizeEdges) {
  ComPtr<IStorage> root = Create();
  ComPtr<IStream> stream;
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.Out()), S_OK);
  ULARGE_INTEGER position;
  EXPECT_EQ(stream->Seek(Li(-1), STREAM_SEEK_SET, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Li(0), 7, &position), STG_E_INVALIDFUNCTION);
  // Writing past the end fills the gap with zeros.
  ASSERT_EQ(stream->Seek(Li(10), STREAM_SEEK_SET, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 10u);
  ASSERT_EQ(stream->Write("ab", 2, nullptr), S_OK);
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 12u);
  EXPECT_EQ(stream->Seek(Li(-13), STREAM_SEEK_END, &position), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Seek(Li(-12), STREAM_SEEK_END, &position), S_OK);
  char buffer[16];
  ULONG got = 0;
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
  ASSERT_EQ(got, 12u);
  EXPECT_EQ(std::string(buffer, 12), std::string(10, '\0') + "ab");
  // Reading at the end succeeds with nothing.
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(got, 0u);
  // Reading far past the end also succeeds with nothing.
  ASSERT_EQ(stream->Seek(Li(1000), STREAM_SEEK_CUR, &position), S_OK);
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(got, 0u);
  // SetSize truncates and zero-extends, and leaves the seek pointer alone.
  ASSERT_EQ(stream->SetSize(Uli(5000)), S_OK);
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 1012u);
  ASSERT_EQ(stream->SetSize(Uli(11)), S_OK);
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(std::string(buffer, got), std::string(10, '\0') + "a");
  EXPECT_EQ(stream->SetSize(Uli(0x80000000ull)), STG_E_MEDIUMFULL);
  ASSERT_EQ(stream->Seek(Li(0x7FFFFFFF), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_MEDIUMFULL);
  // A clone has its own seek pointer.
  ASSERT_EQ(stream->Seek(Li(10), STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.Out()), S_OK);
  ASSERT_EQ(clone->Read(buffer, 1, &got), S_OK);
  EXPECT_EQ(buffer[0], 'a');
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 10u);
}

TEST_F(StorageTest, EnumerationFollowsTheFormatsNameOrder) {
  ComPtr<IStorage> root = Create();
  for (const char* name : {"bb", "A", "c", "Ba", "aaa"})
    ASSERT_EQ(PutStream(root.get(), U16(name), name), S_OK);
  ASSERT_EQ(root->CreateStorage(u"D", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
  std::vector<std::u16string> expected = {u"A", u"c", u"D", u"Ba", u"bb", u"aaa"};
  EXPECT_EQ(kwtest::ChildNames(root.get()), expected);

  ComPtr<IEnumSTATSTG> items;
  ASSERT_EQ(root->EnumElements(0, nullptr, 0, items.Out()), S_OK);
  STATSTG stats[4];
  ULONG fetched = 0;
  ASSERT_EQ(items->Skip(1), S_OK);
  ASSERT_EQ(items->Next(4, stats, &fetched), S_OK);
  ASSERT_EQ(fetched, 4u);
  EXPECT_EQ(std::u16string(stats[0].pwcsName), u"c");
  EXPECT_EQ(stats[1].type, STGTY_STORAGE);
  EXPECT_EQ(stats[3].cbSize.QuadPart, 2u);
  for (STATSTG& stat : stats) CoTaskMemFree(stat.pwcsName);
  ComPtr<IEnumSTATSTG> clone;
  ASSERT_EQ(items->Clone(clone.Out()), S_OK);
  ASSERT_EQ(clone->Next(4, stats, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(std::u16string(stats[0].pwcsName), u"aaa");
  CoTaskMemFree(stats[0].pwcsName);
  EXPECT_EQ(items->Skip(5), S_FALSE);
  ASSERT_EQ(items->Reset(), S_OK);
  ASSERT_EQ(items->Next(1, stats, nullptr), S_OK);
  EXPECT_EQ(std::u16string(stats[0].pwcsName), u"A");
  CoTaskMemFree(stats[0].pwcsName);
}

TEST_F(StorageTest, RenameAndDestroy) {
  ComPtr<IStorage> root = Create();
  ASSERT_EQ(PutStream(root.get(), u"One", "1"), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Two", "2"), S_OK);
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, sub.Out()), S_OK);
  ASSERT_EQ(PutStream(sub.get(), u"Inner", "i"), S_OK);

  EXPECT_EQ(root->RenameElement(u"One", u"Two"), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->RenameElement(u"Missing", u"X"), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->RenameElement(u"One", u"Bad/Name"), STG_E_INVALIDNAME);
  ASSERT_EQ(root->RenameElement(u"one", u"Uno"), S_OK);  // lookups ignore case
  ASSERT_EQ(root->RenameElement(u"Uno", u"UNO"), S_OK);  // a change of case only
  EXPECT_EQ(GetStream(root.get(), u"uno"), "1");

  ComPtr<IStream> inner;
  ASSERT_EQ(sub->OpenStream(u"Inner", nullptr, kRW, 0, inner.Out()), S_OK);
  ASSERT_EQ(root->DestroyElement(u"SUB"), S_OK);
  EXPECT_EQ(root->DestroyElement(u"Sub"), STG_E_FILENOTFOUND);
  EXPECT_EQ(inner->Write("x", 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(sub->CreateStream(u"New", kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_REVERTED);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  std::vector<std::u16string> expected = {u"Two", u"UNO"};  // "TWO" < "UNO"
  EXPECT_EQ(kwtest::ChildNames(Reopen().get()), expected);
}

TEST_F(StorageTest, CreateOverAnExistingNameNeedsStgmCreate) {
  ComPtr<IStorage> root = Create();
  ASSERT_EQ(PutStream(root.get(), u"Element", "old"), S_OK);
  ComPtr<IStream> stream;
  EXPECT_EQ(root->CreateStream(u"ELEMENT", kRW, 0, 0, stream.Out()), STG_E_FILEALREADYEXISTS);
  EXPECT_FALSE(stream);
  EXPECT_EQ(root->CreateStorage(u"element", kRW, 0, 0, ComPtr<IStorage>().Out()),
            STG_E_FILEALREADYEXISTS);
  ComPtr<IStorage> replaced;
  ASSERT_EQ(root->CreateStorage(u"Element", kRW | STGM_CREATE, 0, 0, replaced.Out()), S_OK);
  EXPECT_EQ(GetStream(root.get(), u"Element"), "<error 80030002>");
  ASSERT_EQ(root->CreateStream(u"Element", kRW | STGM_CREATE, 0, 0, stream.Out()), S_OK);
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(std::u16string(stat.pwcsName), u"Element");
  EXPECT_EQ(stat.cbSize.QuadPart, 0u);
  CoTaskMemFree(stat.pwcsName);
  EXPECT_EQ(replaced->Stat(&stat, STATFLAG_NONAME), STG_E_REVERTED);
}

TEST_F(StorageTest, NameRules) {
  ComPtr<IStorage> root = Create();
  struct Case {
    std::u16string name;
    HRESULT expected;
  } cases[] = {
      {u"", STG_E_INVALIDNAME},
      {std::u16string(31, u'n'), S_OK},
      {std::u16string(32, u'n'), STG_E_INVALIDNAME},
      {u"a/b", STG_E_INVALIDNAME},
      {u"a\\b", STG_E_INVALIDNAME},
      {u"a:b", STG_E_INVALIDNAME},
      {u"a!b", STG_E_INVALIDNAME},
      {u"\u00e9t\u00e9 \u0416", S_OK},
      {u"\x05SummaryInformation", S_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(root->CreateStream(c.name.c_str(), kRW, 0, 0, ComPtr<IStream>().Out()), c.expected)
        << kwtest::Narrow(c.name);
    EXPECT_EQ(
        root->CreateStorage(c.name.c_str(), kRW | STGM_CREATE, 0, 0, ComPtr<IStorage>().Out()),
        c.expected);
  }
  EXPECT_EQ(root->CreateStream(nullptr, kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_INVALIDPOINTER);
  EXPECT_EQ(root->OpenStream(u"\u00c9T\u00c9 \u0436", nullptr, kRO, 0, ComPtr<IStream>().Out()),
            STG_E_FILENOTFOUND);  // a storage by now
  EXPECT_EQ(root->OpenStorage(u"\u00c9T\u00c9 \u0436", nullptr, kRO, nullptr, 0,
                              ComPtr<IStorage>().Out()),
            S_OK);
}

TEST_F(StorageTest, LookupsFoldCaseAsTheFormatDoes) {
  ComPtr<IStorage> root = Create();
  struct Case {
    std::u16string created, looked;
    bool same;
  } cases[] = {
      {u"item", u"ITEM", true},     {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true},
      {u"\u00ff", u"\u0178", true}, {u"\u0101", u"\u0100", true},
      {u"\u013a", u"\u0139", true}, {u"\u014b", u"\u014a", true},
      {u"\u017e", u"\u017d", true}, {u"\u03c9", u"\u03a9", true},
      {u"\u0436", u"\u0416", true}, {u"\u0451", u"\u0401", true},
      {u"\u0131", u"I", false},     {u"\u00df", u"SS", false},
      {u"a", u"b", false},          {u"\u00f7", u"\u00d7", false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(kwtest::PutStream(root.get(), c.created, "x"), S_OK);
    ComPtr<IStream> stream;
    EXPECT_EQ(root->OpenStream(c.looked.c_str(), nullptr, kRO, 0, stream.Out()),
              c.same ? S_OK : STG_E_FILENOTFOUND)
        << kwtest::Narrow(c.created);
    ASSERT_EQ(root->DestroyElement(c.created.c_str()), S_OK);
  }
}

TEST_F(StorageTest, ReadOnlyRootRefusesEveryChange) {
  {
    ComPtr<IStorage> root = Create();
    ASSERT_EQ(PutStream(root.get(), u"S", "data"), S_OK);
    ASSERT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  std::string before = FileBytes(path_);
  ComPtr<IStorage> root = Reopen(kRO);
  ComPtr<IStream> stream;
  ASSERT_EQ(root->OpenStream(u"S", nullptr, kRO, 0, stream.Out()), S_OK);
  EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
  EXPECT_EQ(stream->SetSize(Uli(0)), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->OpenStream(u"S", nullptr, kRW, 0, ComPtr<IStream>().Out()), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->OpenStorage(u"Sub", nullptr, kRW, nullptr, 0, ComPtr<IStorage>().Out()),
            STG_E_ACCESSDENIED);
  EXPECT_EQ(root->CreateStream(u"N", kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->CreateStorage(u"N", kRW, 0, 0, ComPtr<IStorage>().Out()), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->DestroyElement(u"S"), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->RenameElement(u"S", u"T"), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->SetClass(kClass), STG_E_ACCESSDENIED);
  EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root.Reset();
  EXPECT_EQ(FileBytes(path_), before);
}

TEST_F(StorageTest, FiveThousandChildren) {
  {
    ComPtr<IStorage> root = Create();
    ComPtr<IStorage> big;
    ASSERT_EQ(root->CreateStorage(u"Big", kRW, 0, 0, big.Out()), S_OK);
    for (int i = 0; i < 5000; ++i)
      ASSERT_EQ(PutStream(big.get(), U16("Item" + std::to_string(i)), std::to_string(i)), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  ComPtr<IStorage> root = Reopen();
  ComPtr<IStorage> big;
  ASSERT_EQ(root->OpenStorage(u"Big", nullptr, kRO, nullptr, 0, big.Out()), S_OK);
  std::vector<std::u16string> names = kwtest::ChildNames(big.get());
  ASSERT_EQ(names.size(), 5000u);
  EXPECT_EQ(names.front(), u"Item0");
  EXPECT_EQ(names.back(), u"Item4999");
  for (int i : {0, 1, 999, 2500, 4999})
    EXPECT_EQ(GetStream(big.get(), U16("item" + std::to_string(i))), std::to_string(i));
}

TEST_F(StorageTest, OpenAndCreateFailures) {
  ComPtr<IStorage> root;
  EXPECT_EQ(StgOpenStorage(dir_.File("missing").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
            STG_E_FILENOTFOUND);
  EXPECT_FALSE(root);
  std::ofstream(dir_.File("text.txt")) << "not a compound file at all, just some words";
  EXPECT_EQ(StgOpenStorage(dir_.File("text.txt").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
            STG_E_INVALIDHEADER);
  std::ofstream(dir_.File("empty")).flush();
  EXPECT_EQ(StgOpenStorage(dir_.File("empty").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
            STG_E_INVALIDHEADER);
  EXPECT_EQ(StgIsStorageFile(dir_.File("text.txt").c_str()), S_FALSE);
  EXPECT_EQ(StgCreateDocfile(dir_.File("no/such/dir/f").c_str(), kRW, 0, root.Out()),
            STG_E_PATHNOTFOUND);
  EXPECT_EQ(StgCreateDocfile(dir_.path().c_str(), kRW, 0, root.Out()), STG_E_ACCESSDENIED);
  EXPECT_EQ(StgOpenStorage(nullptr, nullptr, kRO, nullptr, 0, root.Out()), STG_E_INVALIDPOINTER);
  EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, 3, nullptr, 0, root.Out()), STG_E_INVALIDFLAG);
  // Creating replaces whatever was there.
  ASSERT_EQ(StgCreateDocfile(dir_.File("text.txt").c_str(), kRW, 0, root.Out()), S_OK);
  EXPECT_EQ(StgIsStorageFile(dir_.File("text.txt").c_str()), S_OK);
  EXPECT_TRUE(kwtest::ChildNames(root.get()).empty());
}

TEST_F(StorageTest, StatNamesTheRootByItsPath) {
  std::string path = dir_.File("projet-\xc3\xa9t\xc3\xa9.kw");
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(path.c_str(), kRW, 0, root.Out()), S_OK);
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  std::u16string name = stat.pwcsName;
  CoTaskMemFree(stat.pwcsName);
  std::u16string tail = u"/projet-\u00e9t\u00e9.kw";
  ASSERT_GE(name.size(), tail.size());
  EXPECT_EQ(name.substr(name.size() - tail.size()), tail);
  EXPECT_EQ(stat.type, STGTY_STORAGE);
  EXPECT_EQ(stat.grfMode & 3, STGM_READWRITE);
}

TEST_F(StorageTest, UnimplementedMethodsSaySo) {
  ComPtr<IStorage> root = Create();
  ComPtr<IStream> stream;
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.Out()), S_OK);
  ULARGE_INTEGER none = Uli(0);
  const HRESULT results[] = {
      stream->CopyTo(nullptr, none, nullptr, nullptr),
      stream->LockRegion(none, none, 1),
      stream->UnlockRegion(none, none, 1),
      root->CopyTo(0, nullptr, nullptr, nullptr),
      root->MoveElementTo(u"S", nullptr, u"T", 0),
      root->SetElementTimes(u"S", nullptr, nullptr, nullptr),
      root->SetStateBits(1, 1),
  };
  for (HRESULT hr : results) EXPECT_EQ(hr, STG_E_UNIMPLEMENTEDFUNCTION);
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(stream->Revert(), S_OK);
}

TEST_F(StorageTest, InterfacesAndReferenceCounts) {
  ComPtr<IStorage> root = Create();
  void* raw = nullptr;
  ASSERT_EQ(root->QueryInterface(IID_IUnknown, &raw), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(raw)->Release(), 1u);
  EXPECT_EQ(root->QueryInterface(IID_IStream, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  ComPtr<IStream> stream;
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.Out()), S_OK);
  ASSERT_EQ(stream->QueryInterface(IID_ISequentialStream, &raw), S_OK);
  EXPECT_EQ(stream->AddRef(), 3u);
  EXPECT_EQ(stream->Release(), 2u);
  EXPECT_EQ(static_cast<ISequentialStream*>(raw)->Release(), 1u);
  // An element outlives the root that opened it.
  root.Reset();
  EXPECT_EQ(stream->Write("abc", 3, nullptr), S_OK);
}

}  // namespace
