#include "kwPath.h"

#include <unistd.h>

std::size_t kwGetExecutablePath(char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size < 2) return 0;
  ssize_t length = readlink("/proc/self/exe", buffer, size);
  // readlink fills the buffer when the path is too long, without saying so,
  // and never writes the NUL: a full buffer means no room for it.
  if (length <= 0 || static_cast<std::size_t>(length) >= size) return 0;
  buffer[length] = '\0';
  return static_cast<std::size_t>(length);
}

kwPathParts kwSplitPath(std::string_view path, std::string_view separators) noexcept {
  kwPathParts parts;
  std::size_t nameStart = path.find_last_of(separators);
  nameStart = nameStart == std::string_view::npos ? 0 : nameStart + 1;
  parts.directory = path.substr(0, nameStart);
  std::string_view name = path.substr(nameStart);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  parts.baseName = name.substr(0, dot);
  parts.extension = name.substr(dot);
  return parts;
}
