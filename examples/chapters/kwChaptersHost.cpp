// A host of the chapters module: registers it, creates a project (a
// persistent object list) of chapters, saves it to a compound file, loads it
// into a second project and checks that every chapter came back.
//
//   kwchapters_host [project file]      (default: chapters.kwp here)
//
// Exit status 0 when the reloaded project matches, 1 otherwise, with the
// reason on standard error.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

#include "kwChapters.h"

namespace {

struct Chapter {
  const char* name;
  std::int64_t start;
};
constexpr Chapter kChapters[] = {{"Opening", 0}, {"The crossing", 754250}, {"Home", 3723004}};
constexpr int kCount = static_cast<int>(std::size(kChapters));

bool Report(const char* what, const CkwErrorInfo& error) {
  std::fprintf(stderr, "%s: %s\n", what, kwErrorText(error).c_str());
  return false;
}
bool Report(const char* what, HRESULT hr) {
  std::fprintf(stderr, "%s: %s\n", what, kwHResultText(hr).c_str());
  return false;
}

/// Fills `project` with one new chapter per entry of kChapters, keeping
/// their object IDs in `ids`.
bool Build(CkwPersistentObjectList& project, GUID (&ids)[kCount], CkwErrorInfo& error) {
  for (int i = 0; i < kCount; ++i) {
    CkwObjectPtr<> item = kwMakeObject(CLSID_kwExampleChapter, &error);
    if (!item) return Report("create a chapter", error);
    auto* chapter =
        kwQueryService<SkwExampleChapter_Method>(*item, IID_SkwExampleChapter_Method, &error);
    auto* persistent =
        kwQueryService<SkwPersistentObject_Method>(*item, IID_SkwPersistentObject_Method, &error);
    if (chapter == nullptr || persistent == nullptr) return Report("ask for a service", error);
    if (!chapter->kwSetStart(kChapters[i].start, &error) ||
        !kwSetObjectName(*persistent, kChapters[i].name, &error) ||
        !persistent->kwGetObjectID(&ids[i], &error))
      return Report("set up a chapter", error);
    // On success the list owns the item and frees it through the factory.
    if (!project.kwAddServiceObject(item.get(), &error)) return Report("add a chapter", error);
    (void)item.release();
  }
  return true;
}

bool Save(CkwPersistentObjectList& project, const char* path, CkwErrorInfo& error) {
  CkwComPtr<IStorage> root;
  if (HRESULT hr = StgCreateDocfile(path, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                    root.put());
      FAILED(hr))
    return Report(path, hr);
  if (!project.kwSave(root.get(), &error)) return Report("save the project", error);
  // Nothing reaches the file before the root's Commit.
  if (HRESULT hr = root->Commit(STGC_DEFAULT); FAILED(hr)) return Report("commit", hr);
  return true;
}

/// Loads the file into `project` and compares every chapter with kChapters.
bool Check(CkwPersistentObjectList& project, const char* path, const GUID (&ids)[kCount],
           SkwExampleTimecode_Method& timecode, CkwErrorInfo& error) {
  CkwComPtr<IStorage> root;
  if (HRESULT hr =
          StgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, root.put());
      FAILED(hr))
    return Report(path, hr);
  if (!project.kwLoad(root.get(), &error)) return Report("load the project", error);
  int count = 0;
  if (!project.kwGetTotalCount(&count, &error)) return Report("count", error);
  if (count != kCount) {
    std::fprintf(stderr, "%d chapters came back, not %d\n", count, kCount);
    return false;
  }
  for (int i = 0; i < kCount; ++i) {
    CkwServiceObject* item = nullptr;  // still the list's
    if (!project.kwGetServiceObjectByIndex(&item, i, &error)) return Report("get a chapter", error);
    auto* chapter =
        kwQueryService<SkwExampleChapter_Method>(*item, IID_SkwExampleChapter_Method, &error);
    auto* persistent =
        kwQueryService<SkwPersistentObject_Method>(*item, IID_SkwPersistentObject_Method, &error);
    if (chapter == nullptr || persistent == nullptr) return Report("ask for a service", error);
    std::int64_t start = -1;
    GUID id = GUID_NULL;
    bool dirty = true;
    if (!chapter->kwGetStart(&start, &error) || !persistent->kwGetObjectID(&id, &error) ||
        !persistent->kwIsObjectDirty(&dirty, &error))
      return Report("read a chapter", error);
    const std::string name = kwObjectName(*persistent, &error);
    char text[32];
    if (!timecode.kwFormatTimecode(start, text, sizeof text, &error))
      return Report("format a time", error);
    std::printf("%d  %s  %-14s %s\n", i + 1, text, name.c_str(), kwGuidText(id).c_str());
    if (name != kChapters[i].name || start != kChapters[i].start || id != ids[i] || dirty) {
      std::fprintf(stderr, "chapter %d came back changed\n", i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "chapters.kwp";
  CkwErrorInfo error;

  // The registration file beside the executable (a null directory means
  // the executable's), which names the module beside it too.
  if (!CkwObjectFactory::kwSetComponentRegistrationFile(nullptr, "chapters.ini", &error))
    return Report("register", error), 1;

  CkwObjectPtr<> timecodeObject = kwMakeObject(CLSID_kwExampleTimecode, &error);
  if (!timecodeObject) return Report("create the timecode service", error), 1;
  auto* timecode = kwQueryService<SkwExampleTimecode_Method>(*timecodeObject,
                                                             IID_SkwExampleTimecode_Method, &error);
  if (timecode == nullptr) return Report("ask for the timecode service", error), 1;

  GUID ids[kCount];
  {
    CkwPersistentObjectList project;
    if (!Build(project, ids, error) || !Save(project, path, error)) return 1;
  }  // the list frees its chapters here
  CkwPersistentObjectList reloaded;
  if (!Check(reloaded, path, ids, *timecode, error)) return 1;
  std::printf("saved and reloaded %d chapters in %s\n", kCount, path);
  return 0;
}
