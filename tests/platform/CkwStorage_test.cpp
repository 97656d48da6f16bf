// IStorage and IStream on real compound files, and the commit that replaces a
// file whole or not at all.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

using Names = std::vector<std::u16string>;

class Storage : public ::testing::Test {
 protected:
  ComPtr<IStorage> Open(DWORD mode = kRO) {
    ComPtr<IStorage> root;
    EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, mode, nullptr, 0, root.Out()), S_OK);
    return root;
  }

  TempDir dir_;
  std::string path_ = dir_.File("project.kw");
};

TEST_F(Storage, OnlyCommitChangesTheFileAndReadOnlyRootsRefuseEveryChange) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Kept", "old"), S_OK);
  ASSERT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Kept", "new"), S_OK);  // released without a commit
  const std::string before = FileBytes(path_);
  root = Open(kRO);
  ComPtr<IStream> stream;
  ASSERT_EQ(root->OpenStream(u"Kept", nullptr, kRO, 0, stream.Out()), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), "old");
  for (HRESULT hr : {stream->Write("x", 1, nullptr), stream->SetSize(Uli(0)),
                     root->OpenStream(u"Kept", nullptr, kRW, 0, ComPtr<IStream>().Out()),
                     root->OpenStorage(u"Sub", nullptr, kRW, nullptr, 0, ComPtr<IStorage>().Out()),
                     root->CreateStream(u"N", kRW, 0, 0, ComPtr<IStream>().Out()),
                     root->CreateStorage(u"N", kRW, 0, 0, ComPtr<IStorage>().Out()),
                     root->DestroyElement(u"Kept"), root->RenameElement(u"Kept", u"T"),
                     root->SetClass(GUID_NULL)})
    EXPECT_EQ(hr, STG_E_ACCESSDENIED);
  EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(FileBytes(path_), before);

  // Revert drops the changes, retires what was open and leaves the root usable.
  root = Open(kRW);
  ASSERT_EQ(root->OpenStream(u"Kept", nullptr, kRW, 0, stream.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Later", "2"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(ChildNames(root.get()), (Names{u"Sub", u"Kept"}));
  EXPECT_EQ(stream->Write("z", 1, nullptr), STG_E_REVERTED);
  ASSERT_EQ(PutStream(root.get(), u"AfterRevert", "3"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(GetStream(Open().get(), u"AfterRevert"), "3");
}

TEST(MemoryStorage, RevertReturnsToTheLastCommitOrToTheBytesOpened) {
  ComPtr<IStorage> root, copy;
  ASSERT_EQ(StgCreateMemoryDocfile(kRW, root.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"A", "a"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  EXPECT_EQ(ChildNames(root.get()), Names{});
  ASSERT_EQ(PutStream(root.get(), u"A", "a"), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"B", "b"), S_OK);
  ASSERT_EQ(root->Revert(), S_OK);
  const std::string image = Image(root.get());
  ASSERT_EQ(StgOpenMemoryDocfile(image.data(), image.size(), kRW, copy.Out()), S_OK);
  ASSERT_EQ(PutStream(copy.get(), u"C", "c"), S_OK);
  ASSERT_EQ(copy->Revert(), S_OK);
  EXPECT_EQ(ChildNames(copy.get()), Names{u"A"});
  ASSERT_EQ(OpenImage(image, &copy), S_OK);
  EXPECT_EQ(copy->CreateStream(u"C", kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_ACCESSDENIED);
}

TEST_F(Storage, SeekReadWriteSetSizeAndCloneAtTheEdges) {
  ComPtr<IStorage> root;
  ComPtr<IStream> stream, clone;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.Out()), S_OK);
  EXPECT_EQ(stream->Seek(Li(-1), STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Li(0), 3, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Seek(Li(10), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Write("ab", 2, nullptr), S_OK);  // the gap reads as zeros
  EXPECT_EQ(stream->Seek(Li(-13), STREAM_SEEK_END, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream->Seek(Li(-12), STREAM_SEEK_END, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), std::string(10, '\0') + "ab");
  ASSERT_EQ(stream->Seek(Li(1000), STREAM_SEEK_CUR, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream.get()), "");
  ASSERT_EQ(stream->SetSize(Uli(5000)), S_OK);
  EXPECT_EQ(Tell(stream.get()), 1012u);  // SetSize leaves the seek pointer alone
  ASSERT_EQ(stream->SetSize(Uli(11)), S_OK);
  ASSERT_EQ(stream->Seek(Li(9), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->Clone(clone.Out()), S_OK);
  EXPECT_EQ(ReadRest(clone.get()), std::string("\0a", 2));
  EXPECT_EQ(Tell(stream.get()), 9u);  // a clone has its own seek pointer
  EXPECT_EQ(stream->SetSize(Uli(0x80000000ull)), STG_E_MEDIUMFULL);
  ASSERT_EQ(stream->Seek(Li(0x7FFFFFFF), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_MEDIUMFULL);
  ASSERT_EQ(stream->Seek(Li(0x7FFFFFFE), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("", 0, nullptr), S_OK);
}

TEST_F(Storage, NamesFoldCaseAndOrderLikeTheFormat) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  const std::pair<std::u16string, HRESULT> names[] = {
      {u"", STG_E_INVALIDNAME},
      {std::u16string(31, u'n'), S_OK},
      {std::u16string(32, u'n'), STG_E_INVALIDNAME},
      {u"a/b", STG_E_INVALIDNAME},
      {u"a\\b", STG_E_INVALIDNAME},
      {u"a:b", STG_E_INVALIDNAME},
      {u"a!b", STG_E_INVALIDNAME},
      {u"\x05SummaryInformation", S_OK},
  };
  for (const auto& [name, expected] : names) {
    EXPECT_EQ(root->CreateStream(name.c_str(), kRW, 0, 0, ComPtr<IStream>().Out()), expected);
    EXPECT_EQ(root->CreateStorage(name.c_str(), kRW | STGM_CREATE, 0, 0, ComPtr<IStorage>().Out()),
              expected);
  }
  EXPECT_EQ(root->CreateStream(nullptr, kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_INVALIDPOINTER);
  // Simple upper-casing and nothing more; the lower-case name is created and
  // the upper-case one looked up.
  const std::tuple<std::u16string, std::u16string, bool> folds[] = {
      {u"az", u"AZ", true},
      {u"\u00e0\u00fe", u"\u00c0\u00de", true},
      {u"\u00ff", u"\u0178", true},
      {u"\u0101\u0137", u"\u0100\u0136", true},
      {u"\u013a\u0148", u"\u0139\u0147", true},
      {u"\u014b\u0177", u"\u014a\u0176", true},
      {u"\u017a\u017e", u"\u0179\u017d", true},
      {u"\u03b1\u03c9", u"\u0391\u03a9", true},
      {u"\u0430\u044f", u"\u0410\u042f", true},
      {u"\u0450\u045f", u"\u0400\u040f", true},
      {u"\u0131", u"\u0130", false},
      {u"\u03c2", u"\u03a2", false},
      {u"\u00f7", u"\u00d7", false},
  };
  for (const auto& [created, looked, same] : folds) {
    ASSERT_EQ(PutStream(root.get(), created, "x"), S_OK);
    EXPECT_EQ(root->OpenStream(looked.c_str(), nullptr, kRO, 0, ComPtr<IStream>().Out()),
              same ? S_OK : STG_E_FILENOTFOUND)
        << static_cast<int>(created[0]);
    ASSERT_EQ(root->DestroyElement(created.c_str()), S_OK);
  }
  // Shorter names first, then code units of the upper-case form.
  for (const char* name : {"bb", "A", "c", "D", "Ba", "aaa"})
    ASSERT_EQ(PutStream(root.get(), U16(name), name), S_OK);
  EXPECT_EQ(ChildNames(root.get()), (Names{u"A", u"c", u"D", u"Ba", u"bb", u"aaa",
                                           u"\x05SummaryInformation", std::u16string(31, u'n')}));
}

TEST_F(Storage, EnumeratorsAreSnapshotsWithTheirOwnPosition) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  for (const char* name : {"A", "B", "C"}) ASSERT_EQ(PutStream(root.get(), U16(name), name), S_OK);
  ASSERT_EQ(root->CreateStorage(u"D", kRW, 0, 0, ComPtr<IStorage>().Out()), S_OK);
  ComPtr<IEnumSTATSTG> items, clone;
  ASSERT_EQ(root->EnumElements(0, nullptr, 0, items.Out()), S_OK);
  ASSERT_EQ(root->DestroyElement(u"A"), S_OK);
  STATSTG stats[3];
  ULONG fetched = 0;
  ASSERT_EQ(items->Skip(1), S_OK);
  ASSERT_EQ(items->Next(2, stats, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(stats[0].pwcsName) + stats[1].pwcsName, u"BC");
  EXPECT_EQ(stats[1].cbSize.QuadPart, 1u);
  for (int i : {0, 1}) CoTaskMemFree(stats[i].pwcsName);
  ASSERT_EQ(items->Clone(clone.Out()), S_OK);
  ASSERT_EQ(clone->Next(3, stats, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(stats[0].type, STGTY_STORAGE);
  CoTaskMemFree(stats[0].pwcsName);
  EXPECT_EQ(clone->Next(2, stats, nullptr), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(items->Skip(1), S_OK);
  EXPECT_EQ(items->Skip(1), S_FALSE);
  ASSERT_EQ(items->Reset(), S_OK);
  ASSERT_EQ(items->Next(1, stats, nullptr), S_OK);
  EXPECT_EQ(std::u16string(stats[0].pwcsName), u"A");
  CoTaskMemFree(stats[0].pwcsName);
}

TEST_F(Storage, CreateRenameAndDestroyRetireWhatTheyReplace) {
  ComPtr<IStorage> root, sub, replaced;
  ComPtr<IStream> inner;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"One", "1"), S_OK);
  ASSERT_EQ(PutStream(root.get(), u"Two", "2"), S_OK);
  ASSERT_EQ(root->CreateStorage(u"Sub", kRW, 0, 0, sub.Out()), S_OK);
  ASSERT_EQ(sub->CreateStream(u"Inner", kRW, 0, 0, inner.Out()), S_OK);
  EXPECT_EQ(root->CreateStream(u"ONE", kRW, 0, 0, ComPtr<IStream>().Out()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->CreateStorage(u"one", kRW, 0, 0, ComPtr<IStorage>().Out()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->RenameElement(u"One", u"Two"), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->RenameElement(u"Missing", u"X"), STG_E_FILENOTFOUND);
  EXPECT_EQ(root->RenameElement(u"One", u"Bad/Name"), STG_E_INVALIDNAME);
  ASSERT_EQ(root->RenameElement(u"one", u"UNO"), S_OK);
  ASSERT_EQ(root->RenameElement(u"Uno", u"Uno"), S_OK);  // a change of case only
  EXPECT_EQ(GetStream(root.get(), u"UNO"), "1");
  ASSERT_EQ(root->CreateStorage(u"two", kRW | STGM_CREATE, 0, 0, replaced.Out()), S_OK);
  EXPECT_EQ(GetStream(root.get(), u"Two"), "<error 80030002>");  // now a storage
  ASSERT_EQ(root->CreateStream(u"Two", kRW | STGM_CREATE, 0, 0, ComPtr<IStream>().Out()), S_OK);
  EXPECT_EQ(replaced->Stat(nullptr, 0), STG_E_REVERTED);
  ASSERT_EQ(root->DestroyElement(u"SUB"), S_OK);
  EXPECT_EQ(root->DestroyElement(u"Sub"), STG_E_FILENOTFOUND);
  EXPECT_EQ(inner->Write("x", 1, nullptr), STG_E_REVERTED);
  EXPECT_EQ(sub->CreateStream(u"New", kRW, 0, 0, ComPtr<IStream>().Out()), STG_E_REVERTED);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(ChildNames(Open().get()), (Names{u"Two", u"Uno"}));
}

TEST_F(Storage, OpenCreateAndStatReportFilesAsTheyAre) {
  ComPtr<IStorage> root;
  std::ofstream(dir_.File("text")) << "not a compound file at all, just some words";
  std::ofstream(dir_.File("empty")).flush();
  const std::tuple<HRESULT, HRESULT> cases[] = {
      {StgOpenStorage(dir_.File("missing").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
       STG_E_FILENOTFOUND},
      {StgOpenStorage(dir_.File("text").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
       STG_E_INVALIDHEADER},
      {StgOpenStorage(dir_.File("empty").c_str(), nullptr, kRO, nullptr, 0, root.Out()),
       STG_E_INVALIDHEADER},
      {StgOpenStorage(dir_.path().c_str(), nullptr, kRO, nullptr, 0, root.Out()),
       STG_E_ACCESSDENIED},
      {StgOpenStorage(nullptr, nullptr, kRO, nullptr, 0, root.Out()), STG_E_INVALIDPOINTER},
      {StgOpenStorage(path_.c_str(), nullptr, 3, nullptr, 0, root.Out()), STG_E_INVALIDFLAG},
      {StgCreateDocfile(dir_.File("no/such/dir").c_str(), kRW, 0, root.Out()), STG_E_PATHNOTFOUND},
      {StgCreateDocfile(dir_.path().c_str(), kRW, 0, root.Out()), STG_E_ACCESSDENIED},
      {StgIsStorageFile(dir_.File("text").c_str()), S_FALSE},
      {StgIsStorageFile(dir_.File("missing").c_str()), STG_E_FILENOTFOUND},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  EXPECT_FALSE(root);
  // Creating replaces what was there; Stat names a file root by its path,
  // decoded from UTF-8 where it can be.
  const std::string name = dir_.File("text-\xc3\xa9\xe2\x82\xac\xf4\x8f\xbf\xbf\xff");
  ASSERT_EQ(std::rename(dir_.File("text").c_str(), name.c_str()), 0);
  ASSERT_EQ(StgCreateDocfile(name.c_str(), kRW, 0, root.Out()), S_OK);
  EXPECT_EQ(StgIsStorageFile(name.c_str()), S_OK);
  STATSTG stat;
  ASSERT_EQ(root->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  const std::u16string tail = u"/text-\u00e9\u20ac\U0010FFFF\uFFFD";
  EXPECT_EQ(std::u16string(stat.pwcsName)
                .substr(std::char_traits<char16_t>::length(stat.pwcsName) - tail.size()),
            tail);
  CoTaskMemFree(stat.pwcsName);
}

TEST_F(Storage, ReferenceCountsInterfacesAndUnimplementedMethods) {
  ComPtr<IStorage> root;
  ComPtr<IStream> stream;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  ASSERT_EQ(root->CreateStream(u"S", kRW, 0, 0, stream.Out()), S_OK);
  void* raw = nullptr;
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
  root.Reset();  // an element outlives the root that opened it
  EXPECT_EQ(stream->Write("abc", 3, nullptr), S_OK);
}

/// Runs `body` in a child process; returns its exit status, or -signal.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST_F(Storage, AFailedCommitKeepsTheOldFileAndTheChanges) {
  ComPtr<IStorage> root;
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
  const std::string before = FileBytes(path_);
  ASSERT_EQ(PutStream(root.get(), u"Big", std::string(200000, 'b')), S_OK);
  // In a child whose files may not grow beyond 64 KiB; exit codes say which step failed.
  EXPECT_EQ(InChild([&] {
              signal(SIGXFSZ, SIG_IGN);  // report EFBIG instead of dying
              struct rlimit limit;
              getrlimit(RLIMIT_FSIZE, &limit);
              const struct rlimit small = {64 * 1024, limit.rlim_max};
              if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 1;
              if (root->Commit(STGC_DEFAULT) != STG_E_MEDIUMFULL) return 2;
              if (FileBytes(path_) != before) return 3;
              if (std::distance(std::filesystem::directory_iterator(dir_.path()), {}) != 1)
                return 4;
              setrlimit(RLIMIT_FSIZE, &limit);
              return root->Commit(STGC_DEFAULT) == S_OK ? 0 : 5;
            }),
            0);
  EXPECT_EQ(GetStream(Open().get(), u"Big"), std::string(200000, 'b'));
}

// Generation g of the file holds "Gen" = g and a stream whose bytes derive
// from g: a file mixing two commits shows as a mismatch.
std::string Payload(int generation) {
  std::string bytes(60000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>((i * 131 + generation * 17) >> 3);
  return bytes;
}

TEST_F(Storage, KillsDuringRepeatedCommitsLeaveOneWholeGenerationAndTheFileMode) {
  {
    ComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.Out()), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"Gen", "0"), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  }
  int last = 0;
  unsigned seed = 7;
  for (int kill = 0; kill < 30; ++kill) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {  // commits new generations until killed, signalling each
      ComPtr<IStorage> root = Open(kRW);
      for (int g = std::stoi(GetStream(root.get(), u"Gen")) + 1;; ++g)
        if (PutStream(root.get(), u"Gen", std::to_string(g)) != S_OK ||
            PutStream(root.get(), u"Data", Payload(g)) != S_OK ||
            root->Commit(STGC_DEFAULT) != S_OK || write(progress[1], "c", 1) != 1)
          _exit(1);
    }
    close(progress[1]);
    // After a first commit, kill at a random moment within about two more:
    // anywhere in the write, flush, rename and directory flush.
    char byte;
    ASSERT_EQ(read(progress[0], &byte, 1), 1) << "the child failed before committing";
    seed = seed * 1103515245u + 12345u;
    std::this_thread::sleep_for((std::chrono::steady_clock::now() - start) * 2 *
                                ((seed >> 8) % 1000) / 1000);
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(progress[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself";
    ComPtr<IStorage> root = Open();
    ASSERT_TRUE(root) << kill;
    int generation = std::stoi(GetStream(root.get(), u"Gen"));
    EXPECT_GT(generation, last);
    EXPECT_EQ(GetStream(root.get(), u"Data"), Payload(generation)) << generation;
    last = generation;
  }
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
