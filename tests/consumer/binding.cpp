// A host that calls nothing of libkwErrorHandle or libNubra itself and does
// not link them (check-consumer.sh makes sure): whatever of them is loaded
// after its calls, libkwcore bound, and must have found beside itself.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <kwcore/kwcore.h>

int main() {
  bool ok = false;
  {
    CkwPersistentObjectList list;  // CoCreateGuid; kwErrorHandle's record when it goes
    CkwDiscTemplateSettings settings;
    SAVEDATA data{};
    data.abData[100] = 7;
    SAVEDATA* held = nullptr;
    ok = settings.kwSetVIOSaveData(&data, nullptr);  // Nubra
    CkwDiscTemplateSettings copy(settings);
    ok = ok && copy.kwGetVIOSaveData(&held, nullptr) && held != nullptr && held->abData[100] == 7;
  }
  Dl_info self{};
  dladdr(reinterpret_cast<void*>(&CkwObjectFactory::kwFreeObject), &self);
  std::string home = self.dli_fname != nullptr ? self.dli_fname : "";
  home.resize(home.rfind('/') + 1);
  for (const char* library : {"libkwErrorHandle.so.0", "libNubra.so.0"}) {
    bool beside = dlopen((home + library).c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
    if (!beside) std::printf("binding: %s is not loaded from %s\n", library, home.c_str());
    ok = ok && beside;
  }
  std::printf("binding: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
