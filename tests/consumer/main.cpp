// A host program built against the installed package only.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <kwcore/kwcore.h>

#include "consumer.h"
#include "kwHostMasters.h"

namespace {

const GUID CLSID_ConsumerThing = {
    0x0C0FFEE0, 0x1234, 0x4321, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

class CConsumerThing : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP()
};

// clang-format off
kwBEGIN_OBJECT_MAP(CConsumerThing, CkwServiceObject, CLSID_ConsumerThing)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 42)
kwEND_OBJECT_MAP(CConsumerThing)
// clang-format on

}  // namespace

int main() {
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  if (!CConsumerThing::kwCreateObject(&object, &error)) return 1;
  bool isKind = false;
  GUID clsid{};
  bool ok = object->kwIsKindOf(&kwGUID_ObjectType, 42, &isKind, &error) && isKind &&
            object->kwGetCLSID(&clsid, &error) && clsid == CLSID_ConsumerThing;
  char text[kwGUID_STRING_LENGTH + 1];
  ok = ok && kwGUIDToString(clsid, text, sizeof text) &&
       std::strcmp(text, "{0C0FFEE0-1234-4321-8001-020304050607}") == 0;
  // Objects are freed through the factory, which deletes them through their
  // virtual destructor.
  ok = CkwObjectFactory::kwFreeObject(&object, &error) && object == nullptr && ok;

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
