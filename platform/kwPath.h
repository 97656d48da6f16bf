// The running executable's path and the splitting of file paths. Internal to
// kwcore.
#pragma once

#include <cstddef>
#include <string_view>

#include <kwcore/kwExport.h>

/// Writes the absolute path of the running executable (from /proc/self/exe)
/// with a terminating NUL and returns its length. Returns 0 when the path
/// cannot be read or does not fit in `size` characters: a cut path would
/// name another file.
KWPLATFORM_API std::size_t kwGetExecutablePath(char* buffer, std::size_t size) noexcept;

/// A path cut into its parts; concatenated they give the path again. Linux
/// has no drives, so there is no drive part.
struct kwPathParts {
  std::string_view directory;  ///< up to and including the last separator; may be empty
  std::string_view baseName;   ///< the file name without its extension
  std::string_view extension;  ///< from the file name's last "." on; may be empty
};

/// Splits `path` at the last of the `separators`. By default both "/" and
/// "\" separate directories, so that names written on Windows split the same
/// way; a file's own path on Linux is split at "/" alone. A leading "." of a
/// file name (".profile") is part of the base name, not an extension.
KWPLATFORM_API kwPathParts kwSplitPath(std::string_view path,
                                       std::string_view separators = "/\\") noexcept;
