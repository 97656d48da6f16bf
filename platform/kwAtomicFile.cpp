// Atomic replacement of files, reading opens that cannot block, and the
// clean-up of temporaries that a crashed process left behind.
#include "kwAtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include <kwcore/kwStorage.h>

#include "kwPath.h"
#include "kwPosixFile.h"

namespace {

// Links followed before a path is given up as a loop, as the kernel does.
constexpr int kMaxLinks = 40;
// Keeps a temporary's name within the 255 bytes of a file name.
constexpr std::size_t kTempBaseLength = 180;

using CPath = std::unique_ptr<char, decltype(&std::free)>;

/// What every temporary beside `base` starts with; the rest is
/// "pid.n.rand.tmp" in hexadecimal.
std::string TempPrefix(const std::string& base) {
  // Built by appending: GCC's -O3 warns wrongly about `"." + std::string&&`.
  std::string prefix(1, '.');
  prefix.append(base, 0, kTempBaseLength);
  prefix.push_back('.');
  return prefix;
}

/// Tries `create` with fresh temporary names in `directory` until one is
/// new. `create` returns 0 or an errno, EEXIST meaning the name is taken.
/// On success `*temp` holds the name used; on failure it is empty.
template <typename Create>
int WithNewTempName(const std::string& directory, const std::string& base, std::string* temp,
                    Create create) {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "%x.%x.%x.tmp", static_cast<unsigned>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(entropy()));
    *temp = directory + TempPrefix(base) + suffix;
    int error = create(temp->c_str());
    if (error != EEXIST) {
      if (error != 0) temp->clear();
      return error;
    }
  }
  temp->clear();
  return EEXIST;
}

/// The process that made a temporary, from the part of its name after the
/// prefix; 0 when that part is not of our pattern.
pid_t TempOwner(const char* suffix) noexcept {
  unsigned long fields[3];
  for (unsigned long& field : fields) {
    if (!std::isxdigit(static_cast<unsigned char>(*suffix))) return 0;
    char* end = nullptr;
    field = std::strtoul(suffix, &end, 16);
    if (*end != '.') return 0;
    suffix = end + 1;
  }
  if (std::strcmp(suffix, "tmp") != 0 || fields[0] == 0 || fields[0] > INT_MAX) return 0;
  return static_cast<pid_t>(fields[0]);
}

/// The absolute name, without links, of the file at `path`, which the kernel
/// opens (following links under its own rules); STG_E_FILENOTFOUND when
/// nothing is there. The name is checked against the file opened, so a
/// rename in between cannot make it name another.
HRESULT RealName(const char* path, std::string* real) {
  CkwFd fd(::open(path, O_PATH | O_CLOEXEC));
  if (fd.get() < 0)
    return errno == ENOENT ? STG_E_FILENOTFOUND
                           : kwStorageResultFromErrno(errno, STG_E_PATHNOTFOUND);
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get());
  char name[PATH_MAX];
  ssize_t length = ::readlink(self, name, sizeof name);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof name && name[0] == '/') {
    real->assign(name, static_cast<std::size_t>(length));
  } else {  // no /proc
    CPath resolved(::realpath(path, nullptr), &std::free);
    if (!resolved) return kwStorageResultFromErrno(errno, STG_E_PATHNOTFOUND);
    real->assign(resolved.get());
  }
  struct stat opened, named;
  if (::fstat(fd.get(), &opened) != 0 || ::stat(real->c_str(), &named) != 0 ||
      opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
    return STG_E_ACCESSDENIED;
  return S_OK;
}

/// The kernel's rule for links in shared directories, for the dangling links
/// it never gets to follow: in a sticky, world-writable directory only a link
/// of the caller's or of the directory's owner is followed. Otherwise anyone
/// could have a file created wherever the victim may write.
bool MayFollow(const std::string& directory, const struct stat& link) {
  struct stat dir;
  if (::stat(directory.empty() ? "." : directory.c_str(), &dir) != 0) return false;
  const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
  return !shared || link.st_uid == ::geteuid() || link.st_uid == dir.st_uid;
}

}  // namespace

HRESULT kwStorageResultFromErrno(int error, HRESULT fallback) noexcept {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
      return STG_E_ACCESSDENIED;
    case EROFS:
      return STG_E_DISKISWRITEPROTECTED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return STG_E_MEDIUMFULL;
    case EMFILE:
    case ENFILE:
      return STG_E_TOOMANYOPENFILES;
    case ENOMEM:
      return STG_E_INSUFFICIENTMEMORY;
    default:
      return fallback;
  }
}

int kwOpenWithoutBlocking(const char* path, struct stat* status) noexcept {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::fstat(fd, status) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

HRESULT kwResolveReplaceTarget(const char* path, std::string* target) {
  std::string current = path;
  for (int links = 0;; ++links) {
    // An existing file: the kernel follows the links, with its own rules for
    // links that others planted in shared directories (EACCES).
    HRESULT hr = RealName(current.c_str(), target);
    if (hr != STG_E_FILENOTFOUND) return hr;
    // Nothing there yet, or a dangling link: the file is the name that a
    // create makes, in a directory that must exist.
    std::string directory(kwSplitPath(current, "/").directory);
    std::string name = current.substr(directory.size());
    struct stat status;
    if (::lstat(current.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      if (links == kMaxLinks) return STG_E_PATHNOTFOUND;
      if (!MayFollow(directory, status)) return STG_E_ACCESSDENIED;
      char link[PATH_MAX];
      ssize_t length = ::readlink(current.c_str(), link, sizeof link);
      if (length < 0) return kwStorageResultFromErrno(errno, STG_E_PATHNOTFOUND);
      if (static_cast<std::size_t>(length) == sizeof link) return STG_E_PATHNOTFOUND;
      std::string next(link, static_cast<std::size_t>(length));
      current = !next.empty() && next.front() == '/' ? next : directory + next;
      continue;
    }
    if (name.empty()) return STG_E_PATHNOTFOUND;
    hr = RealName(directory.empty() ? "." : directory.c_str(), target);
    if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_PATHNOTFOUND : hr;
    if (target->back() != '/') target->push_back('/');
    target->append(name);
    return S_OK;
  }
}

void kwRemoveStaleTemporaries(const std::string& target) {
  std::string directory(kwSplitPath(target, "/").directory);
  if (directory.size() == target.size()) return;
  std::string prefix = TempPrefix(target.substr(directory.size()));
  std::unique_ptr<DIR, int (*)(DIR*)> listing(
      ::opendir(directory.empty() ? "." : directory.c_str()), &::closedir);
  if (!listing) return;
  const int dir = ::dirfd(listing.get());
  pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(listing.get())) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    pid_t owner = TempOwner(entry->d_name + prefix.size());
    // A live owner may be writing it; EPERM also means it lives.
    if (owner == 0 || owner == self || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
    // The process may live in another PID namespace or on another host: the
    // lock its writer holds for as long as the temporary has a name decides.
    CkwFd fd(
        ::openat(dir, entry->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat opened, named;
    if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
      continue;
    // Unlinked only while it is still the file locked.
    if (::fstatat(dir, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
      ::unlinkat(dir, entry->d_name, 0);
  }
}

CkwAtomicFile::~CkwAtomicFile() {
  if (!m_temp.empty()) ::unlink(m_temp.c_str());
  if (m_fd >= 0) ::close(m_fd);
  if (m_lockFd >= 0) ::close(m_lockFd);
}

HRESULT CkwAtomicFile::Begin(const std::string& target) {
  m_target = target;
  m_directory.assign(kwSplitPath(target, "/").directory);
  if (m_directory.size() == target.size()) return STG_E_PATHNOTFOUND;

  mode_t mode = 0666;  // narrowed by the umask when the file is new
  struct stat existing;
  m_replaces = ::stat(target.c_str(), &existing) == 0;
  if (m_replaces) {
    // A directory, a FIFO or a device is never what a compound file replaces.
    if (!S_ISREG(existing.st_mode)) return STG_E_ACCESSDENIED;
    mode = existing.st_mode & 07777;
  } else if (errno != ENOENT) {
    return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  }
  kwRemoveStaleTemporaries(target);

  // Unnamed, the new file gets a name only when Commit links it into place,
  // so a crash before then leaves nothing. Linking it needs /proc.
  const char* directory = m_directory.empty() ? "." : m_directory.c_str();
  bool canLink = ::access("/proc/self/fd", X_OK) == 0;
  if (canLink) m_fd = ::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (m_fd < 0) {
    // Kernels and file systems without O_TMPFILE answer with one of these.
    if (canLink && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
      return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
    int error = WithNewTempName(m_directory, target.substr(m_directory.size()), &m_temp,
                                [&](const char* name) {
                                  m_fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
                                  return m_fd < 0 ? errno : 0;
                                });
    if (error != 0) return kwStorageResultFromErrno(error, STG_E_WRITEFAULT);
  }
  // Held for as long as the file has a name, so that no other process takes
  // it for a crashed writer's. Where the file system has no locks, sweepers
  // cannot lock it either and leave it alone.
  (void)::flock(m_fd, LOCK_EX | LOCK_NB);

  if (m_replaces) {
    // Owner and group before the mode: a change of owner clears set-ID bits.
    // Only a privileged process may give a file away; others keep at least
    // the group where they belong to it, and otherwise their own.
    if (::fchown(m_fd, existing.st_uid, existing.st_gid) != 0 &&
        ::fchown(m_fd, static_cast<uid_t>(-1), existing.st_gid) != 0) {
    }
    if (::fchmod(m_fd, mode) != 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  }
  return S_OK;
}

HRESULT CkwAtomicFile::LinkUnnamed() {
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
  // linkat cannot replace a name: the file is linked under a new temporary
  // name and renamed over the target. A crash between the two leaves a named
  // temporary, which the next Begin beside the target removes.
  int error = WithNewTempName(
      m_directory, m_target.substr(m_directory.size()), &m_temp, [&](const char* name) {
        return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
      });
  return error == 0 ? S_OK : kwStorageResultFromErrno(error, STG_E_WRITEFAULT);
}

HRESULT CkwAtomicFile::Commit() {
  if (m_fd < 0) return STG_E_INVALIDHANDLE;
  if (::fsync(m_fd) != 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  if (m_temp.empty()) {
    HRESULT hr = LinkUnnamed();
    if (FAILED(hr)) return hr;
  }
  // Close reports late write errors of network file systems; the duplicate
  // keeps the lock of the open file until the rename has taken the name.
  m_lockFd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
  if (m_lockFd < 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  if (::rename(m_temp.c_str(), m_target.c_str()) != 0)
    return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  m_temp.clear();
  ::close(m_lockFd);
  m_lockFd = -1;

  // The rename is durable only once the directory is flushed. A failure here
  // still leaves one whole file in place, so it is reported as a write fault.
  CkwFd directory(
      ::open(m_directory.empty() ? "." : m_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  if (::fsync(directory.get()) != 0 && errno != EINVAL)
    return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  return S_OK;
}
