// A stand-in for Nubra's two SAVEDATA helpers, for tests of what libkwcore
// does when they fail. It is installed the way a host would redirect them:
// through the binding hook table named by GLOBAL_HOOK_ENVIRONMENT_STRING.
// Its notification hook answers "gfnClearVIO_SAVEDATA" and
// "gfnCopySAVEDATA" at the start of binding with the stand-ins, which
// libkwcore then calls every time; they count every call and fail on request
// before passing the rest on to libNubra. Linking the double installs it.
#pragma once

namespace kwTest {

/// Calls of the two helpers since the double was installed.
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
