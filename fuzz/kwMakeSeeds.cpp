// Writes the fuzzers' seed corpus with kwcore's own writer, one file of each
// shape, so that a clone fuzzes from valid inputs whatever else it has:
//
//   build/default/tests/kwmakeseeds fuzz/seeds <persistent items module>
//
// cfb/           compound files: an empty root, a small stream (mini stream),
//                a large stream (regular sectors), nested storages, many
//                entries (a directory of several sectors);
// list/          persistent object lists of the test item module: empty, and
//                items of both persistent classes;
// registration/  registration files in the forms the profile reader accepts.
// The writer makes version-3 files only; the damaged inputs in
// fuzz/regressions hold version-4 headers.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

#include "../tests/components/persistent_items.h"

namespace {

constexpr DWORD kWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

bool Stream(IStorage* storage, const char16_t* name, std::size_t size, char fill) {
  CkwComPtr<IStream> stream;
  std::string bytes(size, fill);
  return SUCCEEDED(storage->CreateStream(name, kWrite | STGM_CREATE, 0, 0, stream.put())) &&
         SUCCEEDED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr));
}

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Builds a memory root with `fill`, writes its image to `path` and checks
// that the image opens again.
bool Seed(const std::string& path, const std::function<bool(IStorage*)>& fill) {
  CkwComPtr<IStorage> root;
  void* image = nullptr;
  std::size_t size = 0;
  if (FAILED(StgCreateMemoryDocfile(kWrite, root.put())) || !fill(root.get()) ||
      FAILED(StgSaveToMemory(root.get(), &image, &size)))
    return false;
  std::string bytes(static_cast<const char*>(image), size);
  CoTaskMemFree(image);
  CkwComPtr<IStorage> again;
  return SUCCEEDED(StgOpenMemoryDocfile(bytes.data(), bytes.size(), STGM_READ, again.put())) &&
         Write(path, bytes);
}

bool List(IStorage* root, int count) {
  CkwPersistentObjectList list;
  for (int i = 0; i < count; ++i) {
    CkwServiceObject* item = nullptr;
    const GUID& clsid = i % 2 ? CLSID_TestPersistentItemB : CLSID_TestPersistentItem;
    if (!CkwObjectFactory::kwCreateObject(&clsid, &item, nullptr)) return false;
    void* service = nullptr;
    item->kwQueryService(&IID_SkwPersistentObject_Method, &service, nullptr);
    auto* persistent = static_cast<SkwPersistentObject_Method*>(service);
    // Fixed IDs and names: the same seeds every time they are made.
    GUID id = {0x5EED0000u + static_cast<unsigned>(i), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    std::string name = "item " + std::to_string(i);
    if (persistent == nullptr || !persistent->kwSetObjectID(&id, nullptr) ||
        !persistent->kwSetObjectName(name.data(), nullptr) ||
        !list.kwAddServiceObject(item, nullptr))
      return false;
  }
  return list.kwSave(root, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <seed directory> <persistent items module>\n", argv[0]);
    return 2;
  }
  const std::string top = argv[1];
  for (const char* sub : {"", "/cfb", "/list", "/registration"}) mkdir((top + sub).c_str(), 0755);

  const std::string registration = top + "/registration/";
  const std::string key = "7E570001-0001-4000-8000-000000000001";
  const std::string keyB = "7E570001-0001-4000-8000-000000000002";
  bool ok = Write(registration + "plain.ini",
                  "[COMPONENT]\n" + key + "=" + argv[2] + "\n" + keyB + "=" + argv[2] + "\n") &&
            Write(registration + "forms.ini",
                  "\xEF\xBB\xBF; comment\r\n[Other]\r\nA=1\r\n[ component ]\r\n  " + key +
                      "  =  \"/opt/lib/comp.so\"  \r\n{" + key + "}=braces.so\r\n" + key +
                      "=second-wins-not.so\r\nno equals sign\r\n=empty key\r\n[COMPONENT]\r\n" +
                      key + "=repeated-section.so\r\n");
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  ok = ok &&
       CkwObjectFactory::kwSetComponentRegistrationFile(registration.c_str(), "plain.ini", nullptr);

  const std::string cfb = top + "/cfb/", list = top + "/list/";
  ok =
      ok && Seed(cfb + "empty-root.cfb", [](IStorage*) { return true; }) &&
      Seed(cfb + "small-stream.cfb", [](IStorage* r) { return Stream(r, u"Small", 100, 's'); }) &&
      Seed(cfb + "large-stream.cfb", [](IStorage* r) { return Stream(r, u"Large", 20000, 'L'); }) &&
      Seed(cfb + "nested-storages.cfb",
           [](IStorage* r) {
             CkwComPtr<IStorage> a, b;
             return SUCCEEDED(r->CreateStorage(u"A", kWrite, 0, 0, a.put())) &&
                    SUCCEEDED(a->CreateStorage(u"B", kWrite, 0, 0, b.put())) &&
                    Stream(b.get(), u"Deep", 300, 'd') && Stream(a.get(), u"Mid", 5000, 'm');
           }) &&
      Seed(cfb + "many-entries.cfb",
           [](IStorage* r) {
             for (int i = 0; i < 40; ++i) {
               std::u16string name = u"Entry";
               for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
               if (!Stream(r, name.c_str(), static_cast<std::size_t>(i) * 7, 'e')) return false;
             }
             return true;
           }) &&
      Seed(list + "empty-list.kwp", [](IStorage* r) { return List(r, 0); }) &&
      Seed(list + "five-items.kwp", [](IStorage* r) { return List(r, 5); });
  // The plain registration file names this build's module; the seed names a
  // path of no machine, which reads as a module that does not load.
  ok = ok && Write(registration + "plain.ini", "[COMPONENT]\n" + key + "=/opt/lib/items.so\n");
  if (!ok) std::fprintf(stderr, "%s: could not write every seed\n", argv[0]);
  return ok ? 0 : 1;
}
