// A stand-in for Nubra's two SAVEDATA helpers, for tests of what libkwcore
// does when they fail. A test program that links kwSaveDataDouble.cpp defines
// gfnClearVIO_SAVEDATA and gfnCopySAVEDATA itself: the dynamic linker binds
// libkwcore's calls to the executable's definitions, which count every call
// and fail on request before passing the rest on to libNubra.
#pragma once

namespace kwTest {

/// Calls of the two helpers since the program started.
struct SaveDataCalls {
  int clears;
  int copies;
};
SaveDataCalls SaveDataCallsMade() noexcept;

/// The next `count` calls of gfnClearVIO_SAVEDATA (gfnCopySAVEDATA) return 0
/// without reaching Nubra; 0 switches the failure off.
void FailNextSaveDataClears(int count) noexcept;
void FailNextSaveDataCopies(int count) noexcept;

}  // namespace kwTest
