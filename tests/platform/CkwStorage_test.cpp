// Behaviour of IStorage and IStream through real compound files on disk.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

const CLSID kClass = {0x1A2B3C4D, 0x5E6F, 0x7081, {0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 0x09}};
using Names = std::vector<std::u16string>;

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  return bytes;
}

class StorageTest : public ::testing::Test {
 protected:
  CkwComPtr<IStorage> Create() {
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgCreateDocfile(path_.c_str(), kRW | STGM_CREATE, 0, root.put()), S_OK);
    return root;
  }
  CkwComPtr<IStorage> Reopen(DWORD mode = kRO) {
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, mode, nullptr, 0, root.put()), S_OK);
    return root;
  }
  static CkwComPtr<IStorage> Sub(IStorage* parent, const char16_t* name, bool create = false) {
    CkwComPtr<IStorage> sub;
    EXPECT_EQ(create ? parent->CreateStorage(name, kRW, 0, 0, sub.put())
                     : parent->OpenStorage(name, nullptr, kRO, nullptr, 0, sub.put()),
              S_OK);
    return sub;
  }

  TempDir dir_;
  std::string path_ = dir_.File("project.kw");
};

TEST_F(StorageTest, NestedTreeEdgeSizesAndFiveThousandChildrenSurviveCommitAndReopen) {
  std::string expected;  // the tree as it was committed: names, types, sizes, bytes, class
  {
    CkwComPtr<IStorage> root = Create();
    ASSERT_EQ(root->SetClass(kClass), S_OK);
    CkwComPtr<IStorage> level2 = Sub(Sub(root.get(), u"Level1", true).get(), u"Level2", true);
    Sub(level2.get(), u"EmptyStorage", true);
    for (std::size_t size : {0, 1, 63, 64, 4095, 4096, 4097, 100000}) {
      std::u16string name = U16("S" + std::to_string(size));
      ASSERT_EQ(PutStream(root.get(), name, Pattern(size, 1)), S_OK);
      ASSERT_EQ(PutStream(level2.get(), name, Pattern(size, 2)), S_OK);
    }
    CkwComPtr<IStorage> big = Sub(root.get(), u"Big", true);
    for (int i = 0; i < 5000; ++i)
      ASSERT_EQ(PutStream(big.get(), U16("Item" + std::to_string(i)), std::to_string(i)), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    expected = Dump(root.get());
  }
  EXPECT_EQ(DumpFile(path_), expected);
  CkwComPtr<IStorage> root = Reopen();
  EXPECT_EQ(GetStream(root.get(), u"S100000"), Pattern(100000, 1));
  CkwComPtr<IStorage> big = Sub(root.get(), u"Big");
  Names names = ChildNames(big.get());
  ASSERT_EQ(names.size(), 5000u);
  EXPECT_EQ(names.front(), u"Item0");
  EXPECT_EQ(names.back(), u"Item4999");
  for (int i : {0, 1, 999, 2500, 4999})
    EXPECT_EQ(GetStream(big.get(), U16("item" + std::to_string(i))), std::to_string(i));
}

TEST_F(StorageTest, OnlyCommitChangesTheFile) {
  {
    CkwComPtr<IStorage> root = Create();
    ASSERT_EQ(PutStream(root.get(), u"Kept", "old"), S_OK);
    Sub(root.get(), u"Sub", true);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  const std::string before = FileBytes(path_);
  {  // Released without Commit.
    CkwComPtr<IStorage> root = Reopen(kRW);
    ASSERT_EQ(PutStream(root.get(), u"Kept", "new"), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"Added", "x"), S_OK);
  }
  EXPECT_EQ(FileBytes(path_), before);
  {  // Read-only: every change refused, Commit a harmless no-op.
    CkwComPtr<IStorage> root = Reopen(kRO);
    CkwComPtr<IStream> stream;
    ASSERT_EQ(root->OpenStream(u"Kept", nullptr, kRO, 0, stream.put()), S_OK);
    EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    EXPECT_EQ(stream->SetSize(Uli(0)), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->OpenStream(u"Kept", nullptr, kRW, 0, CkwComPtr<IStream>().put()),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(root->OpenStorage(u"Sub", nullptr, kRW, nullptr, 0, CkwComPtr<IStorage>().put()),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(root->CreateStream(u"N", kRW, 0, 0, CkwComPtr<IStream>().put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->CreateStorage(u"N", kRW, 0, 0, CkwComPtr<IStorage>().put()),
              STG_E_ACCESSDENIED);
    EXPECT_EQ(root->DestroyElement(u"Kept"), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->RenameElement(u"Kept", u"T"), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->SetClass(kClass), STG_E_ACCESSDENIED);
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  EXPECT_EQ(FileBytes(path_), before);
  // Revert drops the changes, retires open elements and leaves the root usable.
  CkwComPtr<IStorage> root = Reopen(kRW);
  CkwComPtr<IStream> open;
  ASSERT_EQ(root->OpenStream(u"Kept", nullptr, kRW, 0, open.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Later", "2"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(ChildNames(root.get()), (Names{u"Sub", u"Kept"}));
  EXPECT_EQ(GetStream(root.get(), u"Kept"), "old");
  char byte;
  EXPECT_EQ(open->Read(&byte, 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(open->Write("z", 1, nullptr), STG_E_REVERTED);
  ASSERT_EQ(PutStream(root.get(), u"AfterRevert", "3"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root.reset();
  EXPECT_EQ(GetStream(Reopen().get(), u"AfterRevert"), "3");
}

TEST_F(StorageTest, MemoryRootCommitsAndRevertsWithoutAFile) {
  CkwComPtr<IStorage> root, copy;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.put()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"A", "a"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"B", "b"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(ChildNames(root.get()), Names{u"A"});
  ASSERT_EQ(OpenImage(Image(root.get()), &copy), S_OK);
  EXPECT_EQ(GetStream(copy.get(), u"A"), "a");
  EXPECT_EQ(copy->CreateStream(u"C", kRW, 0, 0, CkwComPtr<IStream>().put()), STG_E_ACCESSDENIED);
}

TEST_F(StorageTest, SeekAndSetSizeEdges) {
  CkwComPtr<IStorage> root = Create();
  CkwComPtr<IStream> stream;
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.put()), S_OK);
  EXPECT_EQ(stream->Seek(Li(-1), STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Li(0), 7, nullptr), STG_E_INVALIDFUNCTION);
  // Writing past the end fills the gap with zeros.
  ULARGE_INTEGER position;
  ASSERT_EQ(stream->Seek(Li(10), STREAM_SEEK_SET, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 10u);
  ASSERT_EQ(stream->Write("ab", 2, nullptr), S_OK);
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 12u);
  EXPECT_EQ(stream->Seek(Li(-13), STREAM_SEEK_END, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Seek(Li(-12), STREAM_SEEK_END, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), std::string(10, '\0') + "ab");
  // Reading at the end, or far past it, succeeds with nothing.
  EXPECT_EQ(ReadRest(stream.get()), "");
  ASSERT_EQ(stream->Seek(Li(1000), STREAM_SEEK_CUR, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), "");
  // SetSize truncates and zero-extends, and leaves the seek pointer alone.
  ASSERT_EQ(stream->SetSize(Uli(5000)), S_OK);
  EXPECT_EQ(Tell(stream.get()), 1012u);
  ASSERT_EQ(stream->SetSize(Uli(11)), S_OK);
  ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), std::string(10, '\0') + "a");
  EXPECT_EQ(stream->SetSize(Uli(0x80000000ull)), STG_E_MEDIUMFULL);
  ASSERT_EQ(stream->Seek(Li(0x7FFFFFFF), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_MEDIUMFULL);
  // A clone has its own seek pointer.
  ASSERT_EQ(stream->Seek(Li(10), STREAM_SEEK_SET, nullptr), S_OK);
  CkwComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.put()), S_OK);
  EXPECT_EQ(ReadRest(clone.get()), "a");
  EXPECT_EQ(Tell(stream.get()), 10u);
}

TEST_F(StorageTest, EnumerationFollowsTheFormatsNameOrder) {
  CkwComPtr<IStorage> root = Create();
  for (const char* name : {"bb", "A", "c", "Ba", "aaa"})
    ASSERT_EQ(PutStream(root.get(), U16(name), name), S_OK);
  Sub(root.get(), u"D", true);
  EXPECT_EQ(ChildNames(root.get()), (Names{u"A", u"c", u"D", u"Ba", u"bb", u"aaa"}));

  CkwComPtr<IEnumSTATSTG> items, clone;
  ASSERT_EQ(root->EnumElements(0, nullptr, 0, items.put()), S_OK);
  STATSTG stats[4];
  ULONG fetched = 0;
  ASSERT_EQ(items->Skip(1), S_OK);
  ASSERT_EQ(items->Next(4, stats, &fetched), S_OK);
  ASSERT_EQ(fetched, 4u);
  EXPECT_EQ(std::u16string(stats[0].pwcsName), u"c");
  EXPECT_EQ(stats[1].type, STGTY_STORAGE);
  EXPECT_EQ(stats[3].cbSize.QuadPart, 2u);
  for (STATSTG& stat : stats) CoTaskMemFree(stat.pwcsName);
  ASSERT_EQ(items->Clone(clone.put()), S_OK);
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
  CkwComPtr<IStorage> root = Create();
  ASSERT_EQ(PutStream(root.get(), u"One", "1"), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Two", "2"), S_OK);
  CkwComPtr<IStorage> sub = Sub(root.get(), u"Sub", true);
  ASSERT_EQ(PutStream(sub.get(), u"Inner", "i"), S_OK);

  EXPECT_EQ(root->RenameElement(u"One", u"Two"), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->RenameElement(u"Missing", u"X"), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->RenameElement(u"One", u"Bad/Name"), STG_E_INVALIDNAME);
  ASSERT_EQ(root->RenameElement(u"one", u"Uno"), S_OK);  // lookups ignore case
  ASSERT_EQ(root->RenameElement(u"Uno", u"UNO"), S_OK);  // a change of case only
  EXPECT_EQ(GetStream(root.get(), u"uno"), "1");

  CkwComPtr<IStream> inner;
  ASSERT_EQ(sub->OpenStream(u"Inner", nullptr, kRW, 0, inner.put()), S_OK);
  ASSERT_EQ(root->DestroyElement(u"SUB"), S_OK);
  EXPECT_EQ(root->DestroyElement(u"Sub"), STG_E_FILENOTFOUND);
  EXPECT_EQ(inner->Write("x", 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(sub->CreateStream(u"New", kRW, 0, 0, CkwComPtr<IStream>().put()), STG_E_REVERTED);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(ChildNames(Reopen().get()), (Names{u"Two", u"UNO"}));  // "TWO" < "UNO"
}

TEST_F(StorageTest, CreateOverAnExistingNameNeedsStgmCreate) {
  CkwComPtr<IStorage> root = Create();
  ASSERT_EQ(PutStream(root.get(), u"Element", "old"), S_OK);
  CkwComPtr<IStream> stream;
  EXPECT_EQ(root->CreateStream(u"ELEMENT", kRW, 0, 0, stream.put()), STG_E_FILEALREADYEXISTS);
  EXPECT_FALSE(stream);
  EXPECT_EQ(root->CreateStorage(u"element", kRW, 0, 0, CkwComPtr<IStorage>().put()),
            STG_E_FILEALREADYEXISTS);
  CkwComPtr<IStorage> replaced;
  ASSERT_EQ(root->CreateStorage(u"Element", kRW | STGM_CREATE, 0, 0, replaced.put()), S_OK);
  EXPECT_EQ(GetStream(root.get(), u"Element"), "<error 80030002>");
  ASSERT_EQ(root->CreateStream(u"Element", kRW | STGM_CREATE, 0, 0, stream.put()), S_OK);
  STATSTG stat;
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(std::u16string(stat.pwcsName), u"Element");
  EXPECT_EQ(stat.cbSize.QuadPart, 0u);
  CoTaskMemFree(stat.pwcsName);
  EXPECT_EQ(replaced->Stat(&stat, STATFLAG_NONAME), STG_E_REVERTED);
}

TEST_F(StorageTest, NameRulesAndCaseFolding) {
  CkwComPtr<IStorage> root = Create();
  const std::pair<std::u16string, HRESULT> names[] = {
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
  for (const auto& [name, expected] : names) {
    EXPECT_EQ(root->CreateStream(name.c_str(), kRW, 0, 0, CkwComPtr<IStream>().put()), expected)
        << Narrow(name);
    EXPECT_EQ(
        root->CreateStorage(name.c_str(), kRW | STGM_CREATE, 0, 0, CkwComPtr<IStorage>().put()),
        expected);
  }
  EXPECT_EQ(root->CreateStream(nullptr, kRW, 0, 0, CkwComPtr<IStream>().put()),
            STG_E_INVALIDPOINTER);
  // By now a storage, found by its upper-case name.
  EXPECT_EQ(root->OpenStream(u"\u00c9T\u00c9 \u0436", nullptr, kRO, 0, CkwComPtr<IStream>().put()),
            STG_E_FILENOTFOUND);
  EXPECT_TRUE(Sub(root.get(), u"\u00c9T\u00c9 \u0436"));

  // Lookups fold case as the format does: simple upper-casing, nothing more.
  const std::tuple<std::u16string, std::u16string, bool> folds[] = {
      {u"item", u"ITEM", true},     {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true},
      {u"\u00ff", u"\u0178", true}, {u"\u0101", u"\u0100", true},
      {u"\u013a", u"\u0139", true}, {u"\u014b", u"\u014a", true},
      {u"\u017e", u"\u017d", true}, {u"\u03c9", u"\u03a9", true},
      {u"\u0436", u"\u0416", true}, {u"\u0451", u"\u0401", true},
      {u"\u0131", u"I", false},     {u"\u00df", u"SS", false},
      {u"a", u"b", false},          {u"\u00f7", u"\u00d7", false},
  };
  for (const auto& [created, looked, same] : folds) {
    ASSERT_EQ(PutStream(root.get(), created, "x"), S_OK);
    EXPECT_EQ(root->OpenStream(looked.c_str(), nullptr, kRO, 0, CkwComPtr<IStream>().put()),
              same ? S_OK : STG_E_FILENOTFOUND)
        << Narrow(created);
    ASSERT_EQ(root->DestroyElement(created.c_str()), S_OK);
  }
}

TEST_F(StorageTest, OpenAndCreateFailures) {
  CkwComPtr<IStorage> root;
  EXPECT_EQ(StgOpenStorage(dir_.File("missing").c_str(), nullptr, kRO, nullptr, 0, root.put()),
            STG_E_FILENOTFOUND);
  EXPECT_FALSE(root);
  std::ofstream(dir_.File("text.txt")) << "not a compound file at all, just some words";
  std::ofstream(dir_.File("empty")).flush();
  for (const char* name : {"text.txt", "empty"})
    EXPECT_EQ(StgOpenStorage(dir_.File(name).c_str(), nullptr, kRO, nullptr, 0, root.put()),
              STG_E_INVALIDHEADER);
  EXPECT_EQ(StgIsStorageFile(dir_.File("text.txt").c_str()), S_FALSE);
  EXPECT_EQ(StgCreateDocfile(dir_.File("no/such/dir/f").c_str(), kRW, 0, root.put()),
            STG_E_PATHNOTFOUND);
  EXPECT_EQ(StgCreateDocfile(dir_.path().c_str(), kRW, 0, root.put()), STG_E_ACCESSDENIED);
  EXPECT_EQ(StgOpenStorage(nullptr, nullptr, kRO, nullptr, 0, root.put()), STG_E_INVALIDPOINTER);
  EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, 3, nullptr, 0, root.put()), STG_E_INVALIDFLAG);
  // Creating replaces whatever was there.
  ASSERT_EQ(StgCreateDocfile(dir_.File("text.txt").c_str(), kRW, 0, root.put()), S_OK);
  EXPECT_EQ(StgIsStorageFile(dir_.File("text.txt").c_str()), S_OK);
  EXPECT_TRUE(ChildNames(root.get()).empty());
}

TEST_F(StorageTest, StatNamesTheRootByItsUtf8Path) {
  CkwComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(dir_.File("projet-\xc3\xa9t\xc3\xa9.kw").c_str(), kRW, 0, root.put()),
            S_OK);
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  std::u16string name = stat.pwcsName;
  CoTaskMemFree(stat.pwcsName);
  std::u16string tail = u"/projet-\u00e9t\u00e9.kw";
  ASSERT_GE(name.size(), tail.size());
  EXPECT_EQ(name.substr(name.size() - tail.size()), tail);
}

TEST_F(StorageTest, ReferenceCountsInterfacesAndUnimplementedMethods) {
  CkwComPtr<IStorage> root = Create();
  CkwComPtr<IStream> stream;
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.put()), S_OK);
  void* raw = nullptr;
  ASSERT_EQ(root->QueryInterface(IID_IUnknown, &raw), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(raw)->Release(), 1u);
  EXPECT_EQ(root->QueryInterface(IID_IStream, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  ASSERT_EQ(stream->QueryInterface(IID_ISequentialStream, &raw), S_OK);
  EXPECT_EQ(stream->AddRef(), 3u);
  EXPECT_EQ(stream->Release(), 2u);
  EXPECT_EQ(static_cast<ISequentialStream*>(raw)->Release(), 1u);

  const ULARGE_INTEGER none = Uli(0);
  for (HRESULT hr :
       {stream->CopyTo(nullptr, none, nullptr, nullptr), stream->LockRegion(none, none, 1),
        stream->UnlockRegion(none, none, 1), root->CopyTo(0, nullptr, nullptr, nullptr),
        root->MoveElementTo(u"S", nullptr, u"T", 0),
        root->SetElementTimes(u"S", nullptr, nullptr, nullptr), root->SetStateBits(1, 1)})
    EXPECT_EQ(hr, STG_E_UNIMPLEMENTEDFUNCTION);
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(stream->Revert(), S_OK);
  // An element outlives the root that opened it.
  root.reset();
  EXPECT_EQ(stream->Write("abc", 3, nullptr), S_OK);
}

}  // namespace
