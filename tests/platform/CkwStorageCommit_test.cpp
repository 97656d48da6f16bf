// Commit replaces a file atomically: failures and crashes at any moment leave
// the old file or the new one, never a mix. Each scenario runs in a child
// process, which the parent limits, breaks or kills.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <kwcore/kwStorage.h>

#include "support/kwStorageTestUtil.h"

using namespace kwtest;

namespace {

std::ptrdiff_t EntriesIn(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), {});
}

CkwComPtr<IStorage> Open(const std::string& path, DWORD mode) {
  CkwComPtr<IStorage> root;
  StgOpenStorage(path.c_str(), nullptr, mode, nullptr, 0, root.put());
  return root;
}

/// Runs `body` in a child process and returns its exit status (its return
/// value), or -signal when it died of a signal.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class CommitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CkwComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path_.c_str(), kRW, 0, root.put()), S_OK);
    ASSERT_EQ(PutStream(root.get(), u"Old", std::string(1000, 'o')), S_OK);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    before_ = FileBytes(path_);
  }

  kwtest::TempDir dir_;
  std::string path_ = dir_.File("project.kw");
  std::string before_;
};

TEST_F(CommitTest, FileSizeLimitFailsTheCommitAndKeepsTheOldFile) {
  // Exit codes say which step went wrong in the child.
  int result = InChild([&] {
    signal(SIGXFSZ, SIG_IGN);  // report EFBIG instead of dying
    CkwComPtr<IStorage> root = Open(path_, kRW);
    if (!root) return 10;
    if (PutStream(root.get(), u"Big", std::string(200000, 'b')) != S_OK) return 11;
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const struct rlimit small = {64 * 1024, limit.rlim_max};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 12;
    if (root->Commit(STGC_DEFAULT) != STG_E_MEDIUMFULL) return 13;
    if (FileBytes(path_) != before_) return 14;
    if (EntriesIn(dir_.path()) != 1) return 15;  // the temporary is gone
    // The changes are still in memory: lifting the limit lets them through.
    if (GetStream(root.get(), u"Big").size() != 200000) return 16;
    setrlimit(RLIMIT_FSIZE, &limit);
    if (root->Commit(STGC_DEFAULT) != S_OK) return 17;
    return 0;
  });
  ASSERT_EQ(result, 0);
  CkwComPtr<IStorage> root = Open(path_, kRO);
  ASSERT_TRUE(root);
  EXPECT_EQ(GetStream(root.get(), u"Big"), std::string(200000, 'b'));
  EXPECT_EQ(GetStream(root.get(), u"Old"), std::string(1000, 'o'));
}

TEST_F(CommitTest, DirectoryThatRefusesWritesFailsTheCommit) {
  // The directory is read-only for the committing process, which runs as an
  // ordinary user: root would write into it regardless of its mode.
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  int result = InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 30;
    CkwComPtr<IStorage> root = Open(path_, kRW);
    if (!root) return 31;
    if (PutStream(root.get(), u"New", "n") != S_OK) return 32;
    if (root->Commit(STGC_DEFAULT) != STG_E_ACCESSDENIED) return 33;
    if (GetStream(root.get(), u"New") != "n") return 34;  // still in memory
    return 0;
  });
  chmod(dir_.path().c_str(), 0755);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(FileBytes(path_), before_);
  EXPECT_EQ(EntriesIn(dir_.path()), 1);
}

TEST_F(CommitTest, CommittingKeepsTheFilesPermissions) {
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  CkwComPtr<IStorage> root = Open(path_, kRW);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A generation g of the file holds "Gen" = g and streams whose bytes derive
// from g: a file mixing two commits shows up as a mismatch.
std::string PayloadFor(int generation, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 131 + generation * 17) >> 3);
  return bytes;
}

HRESULT PutGeneration(IStorage* root, int generation) {
  HRESULT hr = PutStream(root, u"Gen", std::to_string(generation));
  if (SUCCEEDED(hr)) hr = PutStream(root, u"Large", PayloadFor(generation, 60000));
  if (SUCCEEDED(hr)) hr = PutStream(root, u"Small", PayloadFor(generation, 300));
  return FAILED(hr) ? hr : root->Commit(STGC_DEFAULT);
}

/// Commits new generations until killed, writing a byte to `progress` after
/// each commit.
int CommitForever(const std::string& path, int progress) {
  CkwComPtr<IStorage> root = Open(path, kRW);
  if (!root) return 20;
  for (int generation = std::stoi(GetStream(root.get(), u"Gen")) + 1;; ++generation) {
    if (PutGeneration(root.get(), generation) != S_OK) return 21;
    if (write(progress, "c", 1) != 1) return 22;
  }
}

TEST_F(CommitTest, KillsDuringRepeatedCommitsLeaveOneWholeState) {
  {
    CkwComPtr<IStorage> root = Open(path_, kRW);
    ASSERT_TRUE(root);
    ASSERT_EQ(PutGeneration(root.get(), 0), S_OK);
  }
  int last = 0;
  unsigned seed = 7;
  for (int kill = 0; kill < 30; ++kill) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      close(progress[0]);
      _exit(CommitForever(path_, progress[1]));
    }
    close(progress[1]);
    // Once a first commit is through, kill at a random moment within about
    // two more, whatever the machine's speed: the kill lands anywhere in the
    // write, flush, rename and directory flush.
    char byte;
    ASSERT_EQ(read(progress[0], &byte, 1), 1) << "the child failed before committing";
    seed = seed * 1103515245u + 12345u;
    std::this_thread::sleep_for((std::chrono::steady_clock::now() - start) * 2 *
                                ((seed >> 8) % 1000) / 1000);
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(progress[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child stopped by itself: " << WEXITSTATUS(status);

    CkwComPtr<IStorage> root = Open(path_, kRO);
    ASSERT_TRUE(root) << kill;
    int generation = std::stoi(GetStream(root.get(), u"Gen"));
    EXPECT_GT(generation, last);
    EXPECT_EQ(GetStream(root.get(), u"Large"), PayloadFor(generation, 60000)) << generation;
    EXPECT_EQ(GetStream(root.get(), u"Small"), PayloadFor(generation, 300)) << generation;
    last = generation;
  }
}

}  // namespace
