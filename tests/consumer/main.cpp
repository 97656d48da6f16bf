// A host program built against the installed package only.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <kwcore/kwcore.h>

#include "consumer.h"
#include "kwHostMasters.h"

int main() {
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  bool isKind = false, ok = true;
  char text[kwGUID_STRING_LENGTH + 1];

  // The component module, registered in a file of our own.
  char dir[] = "/tmp/kwconsumer.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string file = std::string(dir) + "/components.ini";
  if (FILE* out = std::fopen(file.c_str(), "w")) {
    kwGUIDToString(CLSID_ConsumerComponentThing, text, sizeof text);
    text[kwGUID_STRING_LENGTH - 1] = '\0';  // the key has no braces
    std::fprintf(out, "[COMPONENT]\n%s=%s\n", text + 1, CONSUMER_COMPONENT);
    kwGUIDToString(CLSID_CkwVrelAudioMediaFileProxyMaster, text, sizeof text);
    std::fprintf(out, "%.36s=%s\n", text + 1, HOST_MASTERS);
    std::fclose(out);
  }
  ok = CkwObjectFactory::kwSetComponentRegistrationFile(dir, "components.ini", &error) && ok;
  ok = CkwObjectFactory::kwCreateObject(&CLSID_ConsumerComponentThing, &object, &error) &&
       object->kwIsKindOf(&kwGUID_ObjectType, 43, &isKind, &error) && isKind && ok;
  if (object != nullptr) ok = CkwObjectFactory::kwFreeObject(&object, &error) && ok;

  // A proxy linked to a master of the installed sample module: attach, then goodbye.
  CkwServiceObject* master = nullptr;
  ok = CkwVrelAudioMediaFileProxy::kwCreateObject(&object, &error) &&
       static_cast<CkwVrelAudioMediaFileProxy*>(object)->kwLinkToMasterObject(&error) &&
       static_cast<CkwVrelProxyBase*>(object)->kwGetMasterObject(&master, &error) && ok;
  if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, &error);
  auto read = reinterpret_cast<kwHostMastersReadCallsFunction>(
      dlsym(dlopen(HOST_MASTERS, RTLD_NOW | RTLD_NOLOAD), kwHOST_MASTERS_READ_CALLS));
  kwHostMasterCall calls[2];
  ok = master != nullptr && read != nullptr && read(master, calls, 2) == 2 &&
       calls[1].nEvent == kwPROXY_EVENT_DESTROYED && ok;
  if (master != nullptr) CkwObjectFactory::kwFreeObject(&master, &error);
  std::remove(file.c_str());
  rmdir(dir);

  std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
