// File descriptors and whole reads and writes over POSIX. Private to
// libkwplatform.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

/// Owns one file descriptor and closes it when destroyed.
class CkwFd {
 public:
  explicit CkwFd(int fd) noexcept : m_fd(fd) {}
  ~CkwFd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  CkwFd(const CkwFd&) = delete;
  CkwFd& operator=(const CkwFd&) = delete;
  int get() const noexcept { return m_fd; }
  /// Closes now and reports the result: close can be where a write error
  /// of a network file system surfaces.
  /// Gives the descriptor up without closing it.
  int Release() noexcept {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  int Close() noexcept {
    int fd = m_fd;
    m_fd = -1;
    return ::close(fd);
  }

 private:
  int m_fd;
};

/// Repeats `transfer(done)`, one read(2)-like call that moves bytes from
/// offset `done` on, until `size` bytes have moved or a call moves none (the
/// end of a file). Calls interrupted by a signal are repeated. Returns the
/// bytes moved, or -1 with errno set by the call that failed.
template <typename Transfer>
ssize_t kwTransferFull(std::size_t size, Transfer transfer) noexcept {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = transfer(done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

/// Reads `size` bytes, fewer only at the end of the file. Returns the count
/// read, or -1 with errno set.
inline ssize_t kwReadFull(int fd, void* buffer, std::size_t size) noexcept {
  auto* bytes = static_cast<char*>(buffer);
  return kwTransferFull(size,
                        [&](std::size_t done) { return ::read(fd, bytes + done, size - done); });
}

/// Writes all `size` bytes. False with errno set when a write fails, or
/// EIO when one writes nothing.
inline bool kwWriteAll(int fd, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  ssize_t written = kwTransferFull(
      size, [&](std::size_t done) { return ::write(fd, bytes + done, size - done); });
  if (written == static_cast<ssize_t>(size)) return true;
  if (written >= 0) errno = EIO;
  return false;
}
