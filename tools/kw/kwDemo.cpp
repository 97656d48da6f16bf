// kw demo: the library's typical requests from end to end, through the
// installed pieces only. It registers the sample modules (the host masters
// and the chapters example), creates objects by CLSID through the factory,
// builds a DVD project, saves it, reopens it, re-creates every item through
// the factory and checks what it reads against what it wrote.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kwChapters.h"
#include "kwHostMasters.h"
#include "kwTool.h"

namespace kwtool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kMastersModule = "libkwhostmasters.so";
constexpr const char* kChaptersModule = "libkwchapters.so";

/// Where the sample modules are: installed below the prefix kw runs from, or
/// in the build tree kw was built in.
std::string FindModule(const char* file, std::string* looked) {
  std::vector<fs::path> folders;
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) folders.push_back(self.parent_path() / ".." / KWTOOL_INSTALL_MODULE_DIR);
  const std::string built = KWTOOL_BUILD_MODULE_DIRS;
  for (std::size_t start = 0; start <= built.size();) {
    const std::size_t colon = std::min(built.find(':', start), built.size());
    if (colon > start) folders.emplace_back(built.substr(start, colon - start));
    start = colon + 1;
  }
  for (const fs::path& folder : folders) {
    const fs::path candidate = (folder / file).lexically_normal();
    if (fs::is_regular_file(candidate, error)) return candidate.string();
    *looked += (looked->empty() ? "" : ", ") + folder.lexically_normal().string();
  }
  return {};
}

/// One proxy class: how to make one, link it and what its master is.
struct SProxyClass {
  const char* kind;
  const GUID* master;
  bool (*create)(CkwServiceObject**, CkwErrorInfo*);
  bool (*link)(CkwServiceObject*, CkwErrorInfo*);
  bool (*save)(CkwServiceObject*, IStorage*, CkwErrorInfo*);
  bool (*load)(CkwServiceObject*, IStorage*, CkwErrorInfo*);
};

template <class P>
constexpr SProxyClass Proxy(const char* kind, const GUID& master) {
  return {kind,
          &master,
          &P::kwCreateObject,
          [](CkwServiceObject* p, CkwErrorInfo* e) {
            return static_cast<P*>(p)->kwLinkToMasterObject(e);
          },
          [](CkwServiceObject* p, IStorage* s, CkwErrorInfo* e) {
            return static_cast<P*>(p)->kwSave(s, e);
          },
          [](CkwServiceObject* p, IStorage* s, CkwErrorInfo* e) {
            return static_cast<P*>(p)->kwLoad(s, e);
          }};
}

const SProxyClass kProxies[] = {
    Proxy<CkwVrelAudioMediaFileProxy>("audio", CLSID_CkwVrelAudioMediaFileProxyMaster),
    Proxy<CkwVrelImageMediaFileProxy>("image", CLSID_CkwVrelImageMediaFileProxyMaster),
    Proxy<CkwVrelVideoMediaFileProxy>("video", CLSID_CkwVrelVideoMediaFileProxyMaster),
    Proxy<CkwVrelQMXMediaFileProxy>("QMX", CLSID_CkwVrelQMXMediaFileProxyMaster),
    Proxy<CkwVrelImageSlideshowProxy>("image slideshow", CLSID_CkwVrelImageSlideshowProxyMaster),
    Proxy<CkwVrelVideoSlideshowProxy>("video slideshow", CLSID_CkwVrelVideoSlideshowProxyMaster),
    Proxy<CkwVrelJRVSlideshowProxy>("JRV slideshow", CLSID_CkwVrelJRVSlideshowProxyMaster),
};
constexpr std::size_t kProxyCount = std::size(kProxies);

/// What was written for one item, to be found again after the reload.
struct SItem {
  GUID id;
  std::string name;
  std::int64_t start;
};

/// Counts the items a loading list announces, for the progress line.
struct CLoadCounter : SkwServiceObjectList_Notify {
  std::atomic<std::uint64_t> count{0};
  bool kwNotifyContentChange(CkwServiceObjectList*, CkwErrorInfo*) override {
    ++count;
    return true;
  }
};

/// The account: one line a step, with its timing; the first failed check
/// ends the demo.
class CAccount {
 public:
  void Begin() { m_start = Clock::now(); }
  void Done(const char* step, const std::string& text) {
    std::printf("%2d. %-9s %8.2f ms  %s\n", ++m_step, step, MillisecondsSince(m_start),
                text.c_str());
    std::fflush(stdout);
  }
  int Failed(const char* step, const std::string& what) {
    std::printf("%2d. %-9s   FAILED     %s\n", ++m_step, step, what.c_str());
    return Fail(kExitFailed, std::string("the demo failed at step '") + step +
                                 "'; the line above says which check did not hold");
  }

 private:
  int m_step = 0;
  Clock::time_point m_start;
};

std::string Error(const CkwErrorInfo& error) { return kwErrorText(error); }

bool SameBytes(const SAVEDATA* a, const SAVEDATA* b) {
  return a != nullptr && b != nullptr && std::memcmp(a, b, sizeof(SAVEDATA)) == 0;
}

}  // namespace

int RunDemo(const std::vector<std::string>& args) {
  long items = 8;
  std::string file;
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (args[k] == "--items") {
      char* end = nullptr;
      items = k + 1 < args.size() ? std::strtol(args[k + 1].c_str(), &end, 10) : -1;
      if (end == nullptr || *end != '\0' || items < 1 || items > 10000000)
        return UsageError("demo", "--items needs a count from 1 to 10000000");
      ++k;
    } else if (args[k].size() > 1 && args[k][0] == '-') {
      return UsageError("demo", "unknown option '" + args[k] + "'");
    } else if (file.empty()) {
      file = args[k];
    } else {
      return UsageError("demo", "give at most one FILE");
    }
  }
  if (file.empty()) file = "demo.kwp";
  const fs::path path = fs::absolute(file);
  fs::path ini = path;
  ini.replace_extension(path.extension() == ".ini" ? ".kw.ini" : ".ini");

  std::string looked;
  const std::string masters = FindModule(kMastersModule, &looked);
  const std::string chapters = FindModule(kChaptersModule, &looked);
  if (masters.empty() || chapters.empty())
    return Fail(kExitFailed,
                std::string("cannot find ") + (masters.empty() ? kMastersModule : kChaptersModule) +
                    " (looked in " + looked +
                    "); install kwcore with 'make install' or run kw from its build tree");

  std::printf("kw demo: a DVD project of %ld chapters and %zu proxies in %s\n", items, kProxyCount,
              path.c_str());
  CAccount account;
  CkwErrorInfo error;
  const Clock::time_point total = Clock::now();

  // 1. The registration file: the seven master CLSIDs to the host masters,
  // the chapters example's two classes to its module.
  account.Begin();
  {
    std::FILE* out = std::fopen(ini.c_str(), "w");
    if (out == nullptr)
      return Fail(kExitFailed, "cannot write " + ini.string() + ": " + std::strerror(errno) +
                                   "; give a FILE in a folder you can write to");
    std::fprintf(out, "; written by kw demo\n[COMPONENT]\n");
    for (const SProxyClass& proxy : kProxies)
      std::fprintf(out, "%s=%s\n", kwGuidText(*proxy.master).substr(1, 36).c_str(),
                   masters.c_str());
    for (const GUID* clsid : {&CLSID_kwExampleChapter, &CLSID_kwExampleTimecode})
      std::fprintf(out, "%s=%s\n", kwGuidText(*clsid).substr(1, 36).c_str(), chapters.c_str());
    if (std::fclose(out) != 0)
      return Fail(kExitFailed, "cannot write " + ini.string() + ": " + std::strerror(errno) +
                                   "; free some space or choose another folder");
  }
  if (!CkwObjectFactory::kwSetComponentRegistrationFile(ini.parent_path().c_str(),
                                                        ini.filename().c_str(), &error) ||
      !CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, &error))
    return account.Failed("register", "the factory refuses " + ini.string() + ": " + Error(error));
  account.Done("register", ini.filename().string() + ": 7 master CLSIDs -> " + kMastersModule +
                               ", 2 chapter classes -> " + kChaptersModule);

  // 2. Objects by CLSID through the factory: the chapters of the list and a
  // timecode service to print their start times.
  account.Begin();
  auto timecode = kwMakeObject(CLSID_kwExampleTimecode, &error);
  auto* format = timecode ? kwQueryService<SkwExampleTimecode_Method>(
                                *timecode, IID_SkwExampleTimecode_Method, &error)
                          : nullptr;
  if (format == nullptr) return account.Failed("create", "the timecode service: " + Error(error));
  auto Timecode = [&](std::int64_t milliseconds) {
    char text[32] = "?";
    format->kwFormatTimecode(milliseconds, text, sizeof text, nullptr);
    return std::string(text);
  };
  CkwPersistentObjectList list;
  std::vector<SItem> written;
  written.reserve(static_cast<std::size_t>(items));
  {
    CProgress progress("creating chapters", static_cast<std::uint64_t>(items));
    for (long k = 0; k < items; ++k) {
      auto chapter = kwMakeObject(CLSID_kwExampleChapter, &error);
      auto* persistent = chapter ? kwQueryService<SkwPersistentObject_Method>(
                                       *chapter, IID_SkwPersistentObject_Method, &error)
                                 : nullptr;
      auto* timing = chapter ? kwQueryService<SkwExampleChapter_Method>(
                                   *chapter, IID_SkwExampleChapter_Method, &error)
                             : nullptr;
      SItem item{GUID{}, "Chapter " + std::to_string(k + 1), k * 90500};
      if (persistent == nullptr || timing == nullptr ||
          !kwSetObjectName(*chapter, item.name, &error) ||
          !timing->kwSetStart(item.start, &error) || !persistent->kwGetObjectID(&item.id, &error) ||
          !list.kwAddServiceObject(chapter.get(), &error))
        return account.Failed("create", "chapter " + std::to_string(k + 1) + ": " + Error(error));
      (void)chapter.release();  // the list owns it now
      written.push_back(item);
      progress.Update(static_cast<std::uint64_t>(k + 1));
    }
  }
  account.Done("create", std::to_string(items) + " chapters by CLSID " +
                             kwGuidText(CLSID_kwExampleChapter) + ", \"" + written.front().name +
                             "\" at " + Timecode(written.front().start) + " to \"" +
                             written.back().name + "\" at " + Timecode(written.back().start));

  // 3. Proxies linked to masters that the factory creates from the host
  // module; each master records what its proxy tells it.
  account.Begin();
  kwHostMastersReadCallsFunction readCalls = nullptr;  // once the factory has loaded the module
  std::vector<CkwObjectPtr<>> masterObjects;           // ours: the proxies never free them
  std::vector<CkwObjectPtr<>> proxies;                 // freed before the masters they tell
  for (const SProxyClass& proxy : kProxies) {
    CkwServiceObject* created = nullptr;
    if (!proxy.create(&created, &error))
      return account.Failed("link", std::string("the ") + proxy.kind + " proxy: " + Error(error));
    proxies.emplace_back(created);
    CkwServiceObject* master = nullptr;
    GUID masterClass{};
    auto* base = static_cast<CkwVrelProxyBase*>(created);
    if (!proxy.link(created, &error) || !base->kwGetMasterObject(&master, &error) ||
        master == nullptr)
      return account.Failed("link", std::string("the ") + proxy.kind + " proxy: " + Error(error));
    masterObjects.emplace_back(master);
    if (void* module = dlopen(masters.c_str(), RTLD_NOW | RTLD_NOLOAD); module != nullptr) {
      readCalls = reinterpret_cast<kwHostMastersReadCallsFunction>(
          dlsym(module, kwHOST_MASTERS_READ_CALLS));
      dlclose(module);  // the factory keeps it loaded
    }
    kwHostMasterCall calls[4];
    base->kwNotifyMasterObjectContentChange(nullptr);
    const int heard = readCalls != nullptr ? readCalls(master, calls, 4) : -1;
    if (!master->kwGetCLSID(&masterClass, nullptr) || masterClass != *proxy.master || heard != 2 ||
        calls[0].eKind != kwHOST_MASTER_ATTACH || calls[1].nEvent != kwPROXY_EVENT_CONTENT_CHANGED)
      return account.Failed("link", std::string("the ") + proxy.kind +
                                        " proxy's master did not hear attach and content change");
  }
  account.Done("link", std::to_string(kProxyCount) +
                           " proxies (audio, image, video, QMX, 3 slideshows) linked; each master "
                           "heard attach and content change");

  // 4. Records of the DVD project: the files to check and to update per
  // chapter, keyed by the chapter's object ID, and a disc template.
  account.Begin();
  CkwCheckLinkFileList checks;
  CkwUpdateLinkFileList updates;
  for (const SItem& item : written) {
    auto check = std::make_unique<CkwCheckLinkInfo>();
    auto update = std::make_unique<CkwUpdateLinkInfo>();
    const std::string clip = "media/" + item.name + ".mpg";
    if (!check->kwSetDVDItemID(&item.id, &error) ||
        !check->kwAddFileName(clip.c_str(), CkwCheckLinkInfo::kwFILE_TYPE_VIDEO, &error) ||
        !check->kwAddFileName("media/menu.wav", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, &error) ||
        !checks.kwAddCheckLinkInfo(check.get(), &error))
      return account.Failed("records", "check-link record: " + Error(error));
    (void)check.release();
    if (!update->kwSetDVDItemID(&item.id, &error) ||
        !update->kwAddFilePair(clip.c_str(), ("archive/" + item.name + ".mpg").c_str(), &error) ||
        !updates.kwAddUpdateLinkInfo(update.get(), &error))
      return account.Failed("records", "update-link record: " + Error(error));
    (void)update.release();
  }
  CkwCheckLinkFileList merged;
  std::int32_t mergedCount = 0;
  if (!merged.kwMergeFileList(&checks, &error) || !merged.kwGetCount(&mergedCount, &error) ||
      mergedCount != items)
    return account.Failed("records", "merging the check-link list: " + Error(error));
  CkwDiscTemplateSettings disc;
  SAVEDATA settings{};
  for (std::size_t k = 0; k < sizeof settings.abData; ++k)
    settings.abData[k] = static_cast<BYTE>(k * 7 + 1);
  if (!disc.kwSetDiscFormat(CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER, &error) ||
      !disc.kwSetVIOSaveData(&settings, &error) || !disc.kwEnableVCDCompliantMode(false, &error))
    return account.Failed("records", "disc template: " + Error(error));
  CkwDiscTemplateSettings copy(disc);
  CkwDiscFormat::kwDiscFormat copiedFormat{};
  bool vcd = true;
  SAVEDATA* copiedSettings = nullptr;
  if (!copy.kwGetDiscFormat(&copiedFormat, &error) ||
      !copy.kwIsVCDCompliantModeEnabled(&vcd, &error) ||
      !copy.kwGetVIOSaveData(&copiedSettings, &error) ||
      copiedFormat != CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER || vcd ||
      !SameBytes(copiedSettings, &settings))
    return account.Failed("records", "the disc template's copy differs from it");
  account.Done("records", std::to_string(items) + " check-link and " + std::to_string(items) +
                              " update-link records keyed by chapter ID (merged copy: " +
                              std::to_string(mergedCount) +
                              "); disc template DVD-9, VCD mode off, 444-byte settings copied");

  // 5. Save: the list into "Items", each proxy's stream into "Proxies",
  // then one commit writes the file.
  account.Begin();
  {
    CkwComPtr<IStorage> root;
    CkwComPtr<IStorage> itemStorage;
    CkwComPtr<IStorage> proxyStorage;
    constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    HRESULT hr = StgCreateDocfile(path.c_str(), kCreate, 0, root.put());
    if (FAILED(hr))
      return Fail(kExitFailed, "cannot create " + path.string() + ": " + kwHResultText(hr) +
                                   "; give a FILE in a folder you can write to");
    bool saved = SUCCEEDED(root->CreateStorage(u"Items", kCreate, 0, 0, itemStorage.put()));
    if (saved)
      RunWithProgress("saving chapters", 0, nullptr,
                      [&] { saved = list.kwSave(itemStorage.get(), &error); });
    if (!saved) return account.Failed("save", "the list: " + Error(error));
    if (FAILED(root->CreateStorage(u"Proxies", kCreate, 0, 0, proxyStorage.put())))
      return account.Failed("save", "cannot create the storage \"Proxies\"");
    for (std::size_t k = 0; k < kProxyCount; ++k)
      if (!kProxies[k].save(proxies[k].get(), proxyStorage.get(), &error))
        return account.Failed("save",
                              std::string("the ") + kProxies[k].kind + " proxy: " + Error(error));
    hr = root->Commit(STGC_DEFAULT);
    if (FAILED(hr))
      return Fail(kExitFailed, "cannot write " + path.string() + ": " + kwHResultText(hr) +
                                   "; free some space or choose another folder");
  }
  std::error_code sizeError;
  const auto bytes = fs::file_size(path, sizeError);
  account.Done("save", path.filename().string() + ": " + std::to_string(items) +
                           " chapters in \"Items\", " + std::to_string(kProxyCount) +
                           " proxy streams in \"Proxies\", " + std::to_string(bytes) +
                           " bytes committed");

  // 6. Reopen: a new list re-creates every chapter through the factory from
  // its stored CLSID and lets it load itself.
  account.Begin();
  CkwPersistentObjectList reloaded;
  CLoadCounter counter;
  CkwComPtr<IStorage> reopened;
  CkwComPtr<IStorage> itemStorage;
  CkwComPtr<IStorage> proxyStorage;
  HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READ, nullptr, 0, reopened.put());
  if (FAILED(hr)) return account.Failed("reopen", OpenFailure(path.string(), hr));
  if (FAILED(reopened->OpenStorage(u"Items", nullptr, STGM_READ, nullptr, 0, itemStorage.put())) ||
      FAILED(reopened->OpenStorage(u"Proxies", nullptr, STGM_READ, nullptr, 0, proxyStorage.put())))
    return account.Failed("reopen", "the file lacks \"Items\" or \"Proxies\"");
  reloaded.kwRegisterContentChangeNotifyClient(&counter, nullptr);
  bool loaded = false;
  RunWithProgress("loading chapters", static_cast<std::uint64_t>(items), &counter.count,
                  [&] { loaded = reloaded.kwLoad(itemStorage.get(), &error); });
  reloaded.kwUnregisterContentChangeNotifyClient(nullptr);
  if (!loaded) return account.Failed("reopen", "loading the list: " + Error(error));
  account.Done("reopen", "read back: " + std::to_string(counter.count.load()) +
                             " chapters re-created through the factory by CLSID and loaded");

  // 7. Verify: every chapter as written, in order, clean; its records found
  // by its ID; every proxy finds its stream.
  account.Begin();
  int count = 0;
  reloaded.kwGetTotalCount(&count, nullptr);
  const std::size_t recordStride = written.size() / 2000 + 1;
  std::size_t recordsFound = 0;
  if (count != items)
    return account.Failed(
        "verify", std::to_string(count) + " chapters read, " + std::to_string(items) + " written");
  {
    CProgress progress("verifying chapters", static_cast<std::uint64_t>(items));
    std::intptr_t position = 0;
    CkwServiceObject* object = nullptr;
    reloaded.kwGetFirstServiceObject(&object, &position, nullptr);
    for (std::size_t k = 0; k < written.size(); ++k) {
      const SItem& item = written[k];
      const std::string which = "chapter " + std::to_string(k + 1);
      auto* persistent = object != nullptr ? kwQueryService<SkwPersistentObject_Method>(
                                                 *object, IID_SkwPersistentObject_Method)
                                           : nullptr;
      auto* timing = object != nullptr ? kwQueryService<SkwExampleChapter_Method>(
                                             *object, IID_SkwExampleChapter_Method)
                                       : nullptr;
      GUID clsid{};
      GUID id{};
      std::int64_t start = -1;
      bool dirty = true;
      if (persistent == nullptr || timing == nullptr || !object->kwGetCLSID(&clsid, nullptr) ||
          !persistent->kwGetObjectID(&id, nullptr) || !timing->kwGetStart(&start, nullptr) ||
          !persistent->kwIsObjectDirty(&dirty, nullptr))
        return account.Failed("verify", which + " does not answer as a chapter");
      if (clsid != CLSID_kwExampleChapter || id != item.id || kwObjectName(*object) != item.name ||
          start != item.start || dirty)
        return account.Failed("verify", which + " differs from what was written");
      CkwCheckLinkInfo* check = nullptr;
      CkwUpdateLinkInfo* update = nullptr;
      std::int32_t files = 0;
      // Finding a record walks its list, so a large project is sampled.
      if (k % recordStride == 0 && ++recordsFound > 0 &&
          (!checks.kwFindCheckLinkInfoByDVDItemID(&id, &check, nullptr) ||
           !check->kwGetItemCount(&files, nullptr) || files != 2 ||
           !updates.kwFindUpdateLinkInfoByDVDItemID(&id, &update, nullptr)))
        return account.Failed("verify", which + "'s link records are not found by its ID");
      reloaded.kwGetNextServiceObject(&object, &position, nullptr);
      progress.Update(k + 1);
    }
  }
  for (const SProxyClass& proxy : kProxies) {
    CkwServiceObject* created = nullptr;
    if (!proxy.create(&created, &error))
      return account.Failed("verify", std::string("the ") + proxy.kind + " proxy: " + Error(error));
    CkwObjectPtr<> fresh(created);
    if (!proxy.load(created, proxyStorage.get(), &error))
      return account.Failed("verify", std::string("the ") + proxy.kind +
                                          " proxy does not find its stream: " + Error(error));
  }
  account.Done("verify",
               std::to_string(items) + " of " + std::to_string(items) +
                   " chapters match in class, ID, name and start, all clean; link records "
                   "of " +
                   std::to_string(recordsFound) + " found by ID; " + std::to_string(kProxyCount) +
                   " proxies load their streams");

  // 8. Release: lists free their items through the factory; each proxy
  // tells its master of its end before the master is freed.
  account.Begin();
  reloaded.kwDeleteAllServiceObject(nullptr);
  list.kwDeleteAllServiceObject(nullptr);
  for (std::size_t k = 0; k < kProxyCount; ++k) {
    proxies[k].reset();
    kwHostMasterCall calls[4];
    const int heard = readCalls != nullptr ? readCalls(masterObjects[k].get(), calls, 4) : -1;
    if (heard != 3 || calls[2].nEvent != kwPROXY_EVENT_DESTROYED)
      return account.Failed("release", std::string("the ") + kProxies[k].kind +
                                           " proxy's master did not hear of its end");
    masterObjects[k].reset();
  }
  account.Done("release",
               "chapters freed by their lists; each master heard its proxy's end, then "
               "was freed");
  std::printf("every check held in %.1f ms. The project: %s (kw tree %s)\n",
              MillisecondsSince(total), path.c_str(), path.c_str());
  return 0;
}

}  // namespace kwtool
