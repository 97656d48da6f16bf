#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/kwStorageTestUtil.h"
#include "support/kwTempDir.h"

using namespace kwtest;

namespace {

class Storage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root_.put()), S_OK); }
  CkwComPtr<IStorage> Open(DWORD mode = kRO) {
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgOpenStorage(path_.c_str(), nullptr, mode, nullptr, 0, root.put()), S_OK);
    return root;
  }

  /// Names in the folder that look like temporaries of some file.
  std::vector<std::string> Temporaries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      if (entry.path().extension() == ".tmp") names.push_back(entry.path().filename());
    return names;
  }
  /// Runs `child` in a forked process and returns its wait status.
  template <typename Child>
  int InChild(Child child) {
    pid_t pid = fork();
    if (pid == 0) {
      child();
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  kwTest::TempDir dir_;
  std::string path_ = dir_ / "project.kw";
  CkwComPtr<IStorage> root_, sub_;
  CkwComPtr<IStream> stream_;
};

TEST_F(Storage, FifosAreRefusedAtOnceAndLeftAlone) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(30);  // an open that blocks ends the program instead of hanging the run
  const std::pair<HRESULT, HRESULT> cases[] = {
      {StgOpenStorage(fifo.c_str(), nullptr, kRO, nullptr, 0, root_.put()), STG_E_INVALIDHEADER},
      {StgOpenStorage(fifo.c_str(), nullptr, kRW, nullptr, 0, root_.put()), STG_E_INVALIDHEADER},
      {StgIsStorageFile(fifo.c_str()), S_FALSE},
      {StgCreateDocfile(fifo.c_str(), kRW, 0, root_.put()), STG_E_ACCESSDENIED},
      {kwCheckCompoundFile(fifo.c_str(), nullptr, nullptr), STG_E_INVALIDHEADER},
  };
  alarm(0);
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(Storage, CommitThroughALinkReplacesTheFileItNamesAndTheLinkStays) {
  ASSERT_EQ(mkdir((dir_ / "real").c_str(), 0700), 0);
  ASSERT_EQ(rename(path_.c_str(), (dir_ / "real/p.kw").c_str()), 0);
  const struct {
    const char *link, *text;
    bool create;
    const char* file;
  } cases[] = {
      {"rel.kw", "real/p.kw", false, "real/p.kw"},
      {"chain.kw", "rel.kw", false, "real/p.kw"},
      {"abs.kw", nullptr, true, "real/p.kw"},
      {"dangling.kw", "real/new.kw", true, "real/new.kw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string link = dir_ / c.link, file = dir_ / c.file;
    ASSERT_EQ(symlink(c.text ? c.text : file.c_str(), link.c_str()), 0);
    if (c.create) {
      ASSERT_EQ(StgCreateDocfile(link.c_str(), kRW, 0, root_.put()), S_OK);
    } else {
      ASSERT_EQ(StgOpenStorage(link.c_str(), nullptr, kRW, nullptr, 0, root_.put()), S_OK);
    }
    ASSERT_EQ(PutStream(root_.get(), u"By", c.link), S_OK);
    ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(StgOpenStorage(file.c_str(), nullptr, kRO, nullptr, 0, root_.put()), S_OK);
    EXPECT_EQ(GetStream(root_.get(), u"By"), c.link);
  }
}

// Another user's link in a sticky world-writable directory must not send a
// create elsewhere: dangling (checked by us) or not (by the kernel, if on).
TEST_F(Storage, OthersLinksInASharedDirectoryAreNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  const std::string shared = dir_ / "shared", victim = dir_ / "victim.kw";
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const bool kernelProtects = FileBytes("/proc/sys/fs/protected_symlinks") == "1\n";
  for (bool exists : {false, true}) {
    if (exists && !kernelProtects) continue;
    if (exists) kwTest::WriteFile(victim, "precious");
    const std::string link = shared + (exists ? "/to-file" : "/dangling");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), 4242, 4242), 0);
    EXPECT_EQ(StgCreateDocfile(link.c_str(), kRW, 0, root_.put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(std::filesystem::exists(victim), exists);
    if (exists) {
      EXPECT_EQ(FileBytes(victim), "precious");
    }
  }
}

// The child writes past its file-size limit during Commit: killed by the
// signal, or with the signal ignored failing with EFBIG.
TEST_F(Storage, ACommitThatDiesOrFailsHalfwayLeavesTheOldFileAndNoTemporary) {
  ASSERT_EQ(PutStream(root_.get(), u"Gen", "old"), S_OK);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  root_.reset();
  const std::string before = FileBytes(path_);
  for (auto disposition : {SIG_DFL, SIG_IGN}) {
    int status = InChild([&] {
      signal(SIGXFSZ, disposition);
      rlimit limit = {64 * 1024, 64 * 1024};
      CkwComPtr<IStorage> root = Open(kRW);
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
          PutStream(root.get(), u"Data", std::string(256 * 1024, 'd')) != S_OK ||
          root->Commit(STGC_DEFAULT) != STG_E_MEDIUMFULL)
        _exit(1);
    });
    EXPECT_TRUE(disposition == SIG_DFL ? WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ
                                       : WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(FileBytes(path_), before);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  }
}

// Streams past 4 MiB live in the file the next commit puts in place. Their
// bytes must survive a commit that fails in its writes (retried in the same
// file) and one that fails at the rename (the runs move to a new file), and
// read the same before and after; bytes dropped by a shrink or a destroy
// must not reach the file.
TEST_F(Storage, LargeStreamsGoToTheNextFileAndSurviveFailedCommits) {
  const std::size_t kMiB = 1 << 20;
  std::string big;
  for (std::size_t i = 0; i < 9 * kMiB; i += 4096)
    big.append(4096, static_cast<char>('a' + i % 23));
  auto write = [&](std::size_t at, const std::string& bytes) {
    return stream_->Seek(Li(static_cast<LONGLONG>(at)), STREAM_SEEK_SET, nullptr) == S_OK &&
           stream_->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr) == S_OK;
  };
  ASSERT_EQ(root_->CreateStream(u"Big", kRW, 0, 0, stream_.put()), S_OK);
  for (std::size_t at = 0; at < big.size(); at += kMiB)
    ASSERT_TRUE(write(at, big.substr(at, kMiB)));
  ASSERT_TRUE(write(10 * kMiB, "tail"));
  ASSERT_TRUE(write(3 * kMiB - 2, "across"));
  std::string expected = big + std::string(kMiB, '\0') + "tail";
  expected.replace(3 * kMiB - 2, 6, "across");
  EXPECT_TRUE(GetStream(root_.get(), u"Big") == expected);

  std::filesystem::remove(path_);  // a folder in its place: the rename fails
  std::filesystem::create_directories(path_ + "/x");
  EXPECT_EQ(root_->Commit(STGC_DEFAULT), STG_E_ACCESSDENIED);
  std::filesystem::remove_all(path_);
  ASSERT_EQ(stream_->SetSize(Uli(11 * kMiB)), S_OK);  // new runs where that commit wrote
  expected.resize(11 * kMiB, '\0');
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(stream_->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_TRUE(ReadRest(stream_.get()) == expected);  // open across the commit
  std::size_t held = 0;  // by the tree's reader only: "Gone" let go of the file it went to
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
    held += std::filesystem::equivalent(fd.path(), path_, error);
  EXPECT_EQ(held, 1u);
  EXPECT_EQ(OlefileDump(path_, true), DumpFile(path_));

  const std::string secret(6 * kMiB, 'Z');
  ASSERT_EQ(PutStream(root_.get(), u"Gone", secret), S_OK);
  ASSERT_EQ(root_->DestroyElement(u"Gone"), S_OK);
  ASSERT_EQ(stream_->SetSize(Uli(5 * kMiB + 7)), S_OK);  // then regrown: the rest reads as zeros
  ASSERT_EQ(stream_->SetSize(Uli(7 * kMiB)), S_OK);
  expected = expected.substr(0, 5 * kMiB + 7) + std::string(2 * kMiB - 7, '\0');
  EXPECT_TRUE(GetStream(root_.get(), u"Big") == expected);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  const std::string bytes = FileBytes(path_);
  EXPECT_EQ(bytes.find(secret.substr(0, 4096)), std::string::npos);
  EXPECT_LT(bytes.size(), 7 * kMiB + 64 * 1024);
  EXPECT_TRUE(GetStream(Open().get(), u"Big") == expected);

  int status = InChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    CkwComPtr<IStorage> root = Open(kRW);
    rlimit limit = {10 * kMiB, RLIM_INFINITY};  // past the runs, short of the whole file
    CkwComPtr<IStream> second;
    if (PutStream(root.get(), u"Second", big.substr(0, 5 * kMiB)) != S_OK ||
        setrlimit(RLIMIT_FSIZE, &limit) != 0 || root->Commit(STGC_DEFAULT) != STG_E_MEDIUMFULL ||
        root->OpenStream(u"Second", nullptr, kRW, 0, second.put()) != S_OK ||
        second->SetSize(Uli(9 * kMiB)) != S_OK)
      _exit(1);
    limit.rlim_cur = RLIM_INFINITY;
    _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 && root->Commit(STGC_DEFAULT) == S_OK ? 0 : 2);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(GetStream(Open().get(), u"Second") ==
              big.substr(0, 5 * kMiB) + std::string(4 * kMiB, '\0'));
  EXPECT_TRUE(GetStream(Open().get(), u"Big") == expected);
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

// A commit that failed after its rename (the folder, which the writer may not
// read, is not flushed) leaves its file to no later write of a large stream.
// Random writes, cuts and regrowths of streams that cross the 4 MiB line
// both ways, with commits in between, against a model kept in memory.
TEST_F(Storage, LargeStreamsMatchAModelThroughRandomChangesAndCommits) {
  std::mt19937 random(12);
  auto below = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  std::string model[2];
  CkwComPtr<IStream> streams[2];
  for (int k = 0; k < 2; ++k)
    ASSERT_EQ(root_->CreateStream(k ? u"B" : u"A", kRW, 0, 0, streams[k].put()), S_OK);
  for (int step = 0; step < 60; ++step) {
    const int k = static_cast<int>(below(1));
    IStream* stream = streams[k].get();
    if (below(3) == 0) {
      model[k].resize(below(12 << 20), '\0');
      ASSERT_EQ(stream->SetSize(Uli(model[k].size())), S_OK);
    } else {
      const std::size_t at = below(model[k].size() + (1 << 20));
      const std::string bytes(below(3 << 20), static_cast<char>('a' + step % 26));
      if (model[k].size() < at + bytes.size()) model[k].resize(at + bytes.size(), '\0');
      model[k].replace(at, bytes.size(), bytes);
      ASSERT_EQ(stream->Seek(Li(static_cast<LONGLONG>(at)), STREAM_SEEK_SET, nullptr), S_OK);
      ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
    }
    if (step % 7 == 6) {
      ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
    }
    ASSERT_EQ(stream->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_TRUE(ReadRest(stream) == model[k]) << "step " << step;
  }
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  CkwComPtr<IStorage> reopened = Open();
  EXPECT_TRUE(GetStream(reopened.get(), u"A") == model[0] &&
              GetStream(reopened.get(), u"B") == model[1]);
}

TEST_F(Storage, AFileInPlaceAfterACommitThatFailedLateIsNotWrittenAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "taking another user's identity needs root";
  const std::string folder = dir_ / "folder", file = folder + "/f.kw";
  ASSERT_TRUE(chmod(dir_.path().c_str(), 0711) == 0 && mkdir(folder.c_str(), 0700) == 0 &&
              chown(folder.c_str(), 65534, 65534) == 0);
  int status = InChild([&] {
    CkwComPtr<IStorage> root;
    if (setgid(65534) != 0 || setuid(65534) != 0 ||
        StgCreateDocfile(file.c_str(), kRW, 0, root.put()) != S_OK ||
        PutStream(root.get(), u"Big", std::string(5 << 20, 'b')) != S_OK ||
        chmod(folder.c_str(), 0300) != 0 || root->Commit(STGC_DEFAULT) != STG_E_ACCESSDENIED)
      _exit(1);
    const std::string before = FileBytes(file);
    bool same = PutStream(root.get(), u"Big", std::string(5 << 20, 'c')) == S_OK &&
                FileBytes(file) == before;
    _exit(same && root->Commit(STGC_DEFAULT) == STG_E_ACCESSDENIED ? 0 : 2);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Storage, TemporariesOfDeadProcessesGoWhenTheFileIsOpenedForWritingOrCommitted) {
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  auto temp = [&](const char* file, pid_t pid, const char* rest) {
    char name[100];
    std::snprintf(name, sizeof name, ".%s.%x.%s", file, static_cast<unsigned>(pid), rest);
    return std::string(name);
  };
  const std::string stale = temp("project.kw", dead, "0.1f.tmp");
  std::vector<std::string> kept = {temp("project.kw", getpid(), "1.2.tmp"),
                                   temp("other.kw", dead, "3.4.tmp"),
                                   temp("project.kw", dead, "x.5.tmp")};
  const std::function<void()> triggers[] = {
      [&] { root_ = Open(kRW); },
      [&] { ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK); },
      [&] { ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root_.put()), S_OK); },
  };
  // A writer whose process this namespace cannot see holds its lock.
  const std::string locked = temp("project.kw", dead, "6.7.tmp");
  kwTest::WriteFile(dir_ / locked, "x");
  const int lockFd = open((dir_ / locked).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
  kept.push_back(locked);
  for (const auto& trigger : triggers) {
    for (const std::string& name : kept) kwTest::WriteFile(dir_ / name, "x");
    kwTest::WriteFile(dir_ / stale, "x");
    trigger();
    EXPECT_FALSE(std::filesystem::exists(dir_ / stale));
    for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(dir_ / name)) << name;
  }
  close(lockFd);
}

TEST_F(Storage, CreatingOverAFileKeepsItUntilTheFirstCommit) {
  ASSERT_EQ(PutStream(root_.get(), u"Gen", "good"), S_OK);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  root_.reset();
  const std::string before = FileBytes(path_);
  int status = InChild([&] {
    CkwComPtr<IStorage> root;
    if (StgCreateDocfile(path_.c_str(), kRW, 0, root.put()) != S_OK ||
        PutStream(root.get(), u"Gen", "new") != S_OK)
      _exit(1);
    raise(SIGKILL);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(FileBytes(path_), before);
  // Revert returns to the empty root created, not to the file still there.
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root_.put()), S_OK);
  ASSERT_EQ(PutStream(root_.get(), u"Gen", "new"), S_OK);
  ASSERT_EQ(root_->Revert(), S_OK);
  EXPECT_EQ(ChildNames(root_.get()), std::vector<std::u16string>{});
  EXPECT_EQ(FileBytes(path_), before);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(ChildNames(Open().get()), std::vector<std::u16string>{});
}

TEST_F(Storage, ReleasingAChangedRootWithoutCommitIsReported) {
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  const std::function<void(IStorage*)> nothing = [](IStorage*) {};
  const struct {
    DWORD mode;
    std::function<void(IStorage*)> change;
    bool commit, reported;
  } cases[] = {
      {kRW, [](IStorage* root) { PutStream(root, u"S", "x"); }, true, false},
      {kRW, [](IStorage* root) { PutStream(root, u"S", "x"); }, false, true},
      {kRW, [](IStorage* root) { root->SetClass(GUID_NULL); }, false, true},
      {kRW, [](IStorage* root) { root->DestroyElement(u"S"); }, false, true},
      {kRW, nothing, false, false},
      {kRO, [](IStorage* root) { PutStream(root, u"S", "x"); }, false, false},
  };
  for (const auto& c : cases) {
    kwTest::DiagnosticLog log;
    root_ = Open(c.mode);
    c.change(root_.get());
    if (c.commit) {
      ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
    }
    root_.reset();
    EXPECT_EQ(log.Contains("'" + path_ + "' released without Commit"), c.reported);
  }
  kwTest::DiagnosticLog log;  // created over an existing file: changed from the start
  ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root_.put()), S_OK);
  root_.reset();
  EXPECT_EQ(log.messages.size(), 1u);
}

TEST_F(Storage, OnlyCommitChangesTheFileReadOnlyRootsRefuseChangesAndRevertRetires) {
  ASSERT_EQ(PutStream(root_.get(), u"Kept", "old"), S_OK);
  ASSERT_EQ(root_->CreateStorage(u"Sub", kRW, 0, 0, sub_.put()), S_OK);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(PutStream(root_.get(), u"Kept", "new"), S_OK);  // never committed
  const std::string before = FileBytes(path_);
  EXPECT_EQ(sub_->Commit(STGC_DEFAULT), S_OK);  // only the root commits
  root_ = Open(kRO);
  ASSERT_EQ(root_->OpenStream(u"Kept", nullptr, kRO, 0, stream_.put()), S_OK);
  EXPECT_EQ(ReadRest(stream_.get()), "old");
  for (HRESULT hr :
       {stream_->Write("x", 1, nullptr), stream_->SetSize(Uli(0)),
        root_->OpenStream(u"Kept", nullptr, kRW, 0, stream_.put()),
        root_->OpenStorage(u"Sub", nullptr, kRW, nullptr, 0, sub_.put()),
        root_->CreateStream(u"N", kRW, 0, 0, stream_.put()),
        root_->CreateStorage(u"N", kRW, 0, 0, sub_.put()), root_->DestroyElement(u"Kept"),
        root_->RenameElement(u"Kept", u"T"), root_->SetClass(GUID_NULL)})
    EXPECT_EQ(hr, STG_E_ACCESSDENIED);
  EXPECT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(FileBytes(path_), before);
  root_ = Open(kRW);
  ASSERT_EQ(root_->OpenStream(u"Kept", nullptr, kRW, 0, stream_.put()), S_OK);
  ASSERT_EQ(PutStream(root_.get(), u"Later", "2"), S_OK);
  ASSERT_EQ(root_->Revert(), S_OK);
  EXPECT_EQ(stream_->Write("z", 1, nullptr), STG_E_REVERTED);
  ASSERT_EQ(PutStream(root_.get(), u"AfterRevert", "3"), S_OK);  // the root is still usable
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(ChildNames(Open().get()),
            (std::vector<std::u16string>{u"Sub", u"Kept", u"AfterRevert"}));
}

TEST_F(Storage, StreamsAtTheEdgesOutliveTheirRoot) {
  CkwComPtr<IStream> clone;
  ASSERT_EQ(root_->CreateStream(u"S", kRW, 0, 0, stream_.put()), S_OK);
  root_.reset();
  for (auto [to, from] :
       {std::pair(-1, STREAM_SEEK_SET), std::pair(0, 3u), std::pair(-1, STREAM_SEEK_END)})
    EXPECT_EQ(stream_->Seek(Li(to), from, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(stream_->Seek(Li(10), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream_->Write("ab", 2, nullptr), S_OK);  // the gap reads as zeros
  ASSERT_EQ(stream_->Seek(Li(-12), STREAM_SEEK_END, nullptr), S_OK);
  EXPECT_EQ(ReadRest(stream_.get()), std::string(10, '\0') + "ab");
  ASSERT_EQ(stream_->SetSize(Uli(5000)), S_OK);
  ASSERT_EQ(stream_->SetSize(Uli(11)), S_OK);
  ASSERT_EQ(stream_->Seek(Li(9), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream_->Clone(clone.put()), S_OK);
  EXPECT_EQ(ReadRest(clone.get()), std::string("\0a", 2));
  EXPECT_EQ(Tell(stream_.get()), 9u);  // a clone has its own seek pointer
  EXPECT_EQ(stream_->SetSize(Uli(0x80000000ull)), STG_E_MEDIUMFULL);
  ASSERT_EQ(stream_->Seek(Li(0x7FFFFFFF), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream_->Write("x", 1, nullptr), STG_E_MEDIUMFULL);
}

TEST_F(Storage, NamesAreCheckedFoldedToUpperCaseAndRenamedAndDestroyedAnyCase) {
  for (const std::u16string name :
       {u"", u"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", u"a/b", u"a\\b", u"a:b", u"a!b"}) {
    EXPECT_EQ(root_->CreateStream(name.c_str(), kRW, 0, 0, stream_.put()), STG_E_INVALIDNAME);
    EXPECT_EQ(root_->RenameElement(u"x", name.c_str()), STG_E_INVALIDNAME);
  }
  EXPECT_EQ(root_->CreateStream(nullptr, kRW, 0, 0, stream_.put()), STG_E_INVALIDPOINTER);
  // Simple upper-casing, the ends of each range included, and three that do not fold.
  const std::u16string lower =
      u"az\u00e0\u00fe\u00ff\u0101\u0137\u013a\u0148\u014b\u0177\u017a\u017e\u03b1\u03c9\u0430"
      u"\u044f\u0450\u045f";
  const std::u16string upper =
      u"AZ\u00c0\u00de\u0178\u0100\u0136\u0139\u0147\u014a\u0176\u0179\u017d\u0391\u03a9\u0410"
      u"\u042f\u0400\u040f";
  ASSERT_EQ(PutStream(root_.get(), lower, "x"), S_OK);
  EXPECT_EQ(GetStream(root_.get(), upper), "x");
  const std::u16string same = u"\u0131\u03c2\u00f7", notUpper = u"\u0130\u03a2\u00d7";
  for (int i : {0, 1, 2}) {
    ASSERT_EQ(PutStream(root_.get(), same.substr(i, 1), "x"), S_OK);
    EXPECT_EQ(GetStream(root_.get(), notUpper.substr(i, 1)), "<STG_E_FILENOTFOUND (0x80030002)>")
        << i;
  }
  EXPECT_EQ(root_->CreateStream(upper.c_str(), kRW, 0, 0, stream_.put()), STG_E_FILEALREADYEXISTS);
  ASSERT_EQ(root_->RenameElement(upper.c_str(), u"Az"), S_OK);
  EXPECT_EQ(root_->RenameElement(u"aZ", u"\u0131"), STG_E_FILEALREADYEXISTS);
  ASSERT_EQ(root_->RenameElement(u"aZ", u"aZ"), S_OK);  // a change of case only
  ASSERT_EQ(root_->DestroyElement(u"AZ"), S_OK);
  EXPECT_EQ(root_->DestroyElement(u"aZ"), STG_E_FILENOTFOUND);
  EXPECT_EQ(root_->RenameElement(u"aZ", u"B"), STG_E_FILENOTFOUND);
}

TEST_F(Storage, OpenCreateAndStatTellFilesApart) {
  kwTest::WriteFile(dir_ / "text", "not a compound file at all, just some words");
  kwTest::WriteFile(dir_ / "empty", "");
  auto open = [&](const std::string& path, DWORD mode = kRO) {
    return StgOpenStorage(path.empty() ? nullptr : path.c_str(), nullptr, mode, nullptr, 0,
                          root_.put());
  };
  LPOLESTR excluded[] = {nullptr};
  const std::pair<HRESULT, HRESULT> cases[] = {
      {root_->OpenStorage(u"S", nullptr, kRO, excluded, 0, sub_.put()), STG_E_INVALIDPARAMETER},
      {open(dir_ / "missing"), STG_E_FILENOTFOUND},
      {open(dir_ / "text"), STG_E_INVALIDHEADER},
      {open(dir_ / "empty"), STG_E_INVALIDHEADER},
      {open(dir_.path()), STG_E_ACCESSDENIED},
      {open(""), STG_E_INVALIDPOINTER},
      {open(path_, 3), STG_E_INVALIDFLAG},
      {StgCreateDocfile((dir_ / "no/such/dir").c_str(), kRW, 0, root_.put()), STG_E_PATHNOTFOUND},
      {StgCreateDocfile(dir_.path().c_str(), kRW, 0, root_.put()), STG_E_ACCESSDENIED},
      {StgIsStorageFile((dir_ / "text").c_str()), S_FALSE},
      {StgIsStorageFile((dir_ / "missing").c_str()), STG_E_FILENOTFOUND},
      {StgIsStorageFile(path_.c_str()), S_OK},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  // Stat names a root by its path and an element by its name.
  ASSERT_EQ(StgOpenStorage(path_.c_str(), nullptr, kRW, nullptr, 0, root_.put()), S_OK);
  ASSERT_EQ(root_->CreateStream(u"Named", kRW, 0, 0, stream_.put()), S_OK);
  auto nameOf = [](auto* object) {
    STATSTG stat;
    if (object->Stat(&stat, STATFLAG_DEFAULT) != S_OK) return std::u16string(u"<failed>");
    std::u16string name(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
    return name;
  };
  EXPECT_EQ(nameOf(root_.get()), U16(path_));
  EXPECT_EQ(nameOf(stream_.get()), u"Named");
  void* other = nullptr;
  EXPECT_EQ(stream_->QueryInterface(IID_IStorage, &other), E_NOINTERFACE);
}

// Each generation's bytes derive from its number, so that a file mixing two commits shows.
TEST_F(Storage, KillsDuringRepeatedCommitsLeaveOneWholeGenerationAndTheModeAndOwner) {
  auto payload = [](int generation) { return std::string(60000, static_cast<char>(generation)); };
  ASSERT_EQ(PutStream(root_.get(), u"Gen", "0"), S_OK);
  ASSERT_EQ(root_->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const bool givenAway = chown(path_.c_str(), 4242, 4343) == 0;  // where the run may
  for (unsigned kill = 0, seed = 7; kill < 30; ++kill) {
    int progress[2], status = 0;
    ASSERT_EQ(pipe(progress), 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {  // commits until killed, writing a byte after each commit
      root_ = Open(kRW);
      for (int g = std::stoi(GetStream(root_.get(), u"Gen")) + 1;; ++g)
        if (PutStream(root_.get(), u"Gen", std::to_string(g)) != S_OK ||
            PutStream(root_.get(), u"Data", payload(g)) != S_OK ||
            root_->Commit(STGC_DEFAULT) != S_OK || write(progress[1], "c", 1) != 1)
          _exit(1);
    }
    close(progress[1]);
    char byte;
    ASSERT_EQ(read(progress[0], &byte, 1), 1) << "the child failed before a first commit";
    seed = seed * 1103515245u + 12345u;  // then a random moment within about two more
    std::this_thread::sleep_for((std::chrono::steady_clock::now() - start) * 2 *
                                ((seed >> 8) % 1000) / 1000);
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(progress[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself";
    CkwComPtr<IStorage> root = Open();
    int generation = std::stoi(GetStream(root.get(), u"Gen"));
    EXPECT_EQ(GetStream(root.get(), u"Data"), payload(generation)) << generation;
  }
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (givenAway) {
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(4242u, 4343u));
  }
  root_ = Open(kRW);  // sweeps what a kill between link and rename left
  EXPECT_EQ(Temporaries(), std::vector<std::string>{});
}

}  // namespace
