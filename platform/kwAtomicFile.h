// Replacing a file on disk so that a failure or a crash at any moment leaves
// the old file or the new one, never a mix and never a stray temporary; and
// opening files for reading without ever blocking on something that is not
// a regular file. Private to libkwplatform.
#pragma once

#include <sys/stat.h>

#include <string>

#include <kwcore/kwWinTypes.h>

/// The one place where errno becomes a storage result; `fallback` for the
/// errors that have no better one.
HRESULT kwStorageResultFromErrno(int error, HRESULT fallback) noexcept;

/// Opens `path` read-only without waiting: a FIFO without a writer or a
/// device that would block on open is opened (O_NONBLOCK) and its type left
/// to the caller, who must refuse what `*status` does not show to be a
/// regular file before reading. The descriptor is back in blocking mode.
/// Returns -1 with errno set when the file cannot be opened.
int kwOpenWithoutBlocking(const char* path, struct stat* status) noexcept;

/// The file that a replacement of `path` has to replace: symbolic links are
/// followed to the file they name (a dangling one to the file that creating
/// through it makes), so that the link stays a link, and the result is
/// absolute, so that a later change of the working directory cannot send a
/// commit elsewhere. Links are followed as the kernel's protected_symlinks
/// rule allows (also for dangling ones): a link in a sticky world-writable
/// directory owned by neither the caller nor the directory's owner gives
/// STG_E_ACCESSDENIED. May throw std::bad_alloc.
HRESULT kwResolveReplaceTarget(const char* path, std::string* target);

/// Removes the temporaries of this library's pattern (".name.pid.n.rand.tmp")
/// that lie beside `target`, left behind by a crash: those whose process does
/// not exist here and whose lock (which a writer holds while the temporary
/// has a name, from any PID namespace or host) is free. Best effort: failures
/// to list, open, lock or remove leave the file. May throw std::bad_alloc.
void kwRemoveStaleTemporaries(const std::string& target);

/// One replacement of a file. Begin makes the new file in the target's
/// directory, unnamed where the file system allows it (O_TMPFILE), so that a
/// crash leaves nothing behind; the caller writes the new content through
/// Fd(); Commit flushes it and puts it in place of the target. Destroying
/// the object without a successful Commit leaves the target as it was and
/// removes the temporary.
///
/// The new file keeps the target's mode and, where the process may, its
/// owner and group. It is a new file: other hard links to the target keep
/// the old content.
class CkwAtomicFile {
 public:
  CkwAtomicFile() = default;
  ~CkwAtomicFile();
  CkwAtomicFile(const CkwAtomicFile&) = delete;
  CkwAtomicFile& operator=(const CkwAtomicFile&) = delete;

  /// Starts replacing `target`, a path from kwResolveReplaceTarget. An
  /// existing target must be a regular file (STG_E_ACCESSDENIED otherwise).
  /// Stale temporaries beside it are removed first. May throw std::bad_alloc.
  HRESULT Begin(const std::string& target);
  /// The new file, open for reading and writing; -1 before Begin and after
  /// Commit has closed it.
  int Fd() const noexcept { return m_fd; }
  /// Whether the target existed when Begin ran.
  bool Replaces() const noexcept { return m_replaces; }
  /// Flushes the new file, moves it over the target and flushes the
  /// directory. A failure before the move leaves the target as it was.
  HRESULT Commit();

 private:
  HRESULT LinkUnnamed();

  std::string m_target;
  std::string m_directory;  // with its trailing "/"
  std::string m_temp;       // the temporary's name once it has one
  int m_fd = -1;
  int m_lockFd = -1;  // the new file's lock, held from the close to the rename
  bool m_replaces = false;
};
