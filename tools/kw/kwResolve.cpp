// kw resolve: what a component author runs when "not registered" or "cannot
// load" is all the application says. It follows the factory's own search file
// by file, lets the factory create the object with the library's diagnostics
// switched on, and then asks the loader about the module itself.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kwTool.h"

namespace kwtool {
namespace {

/// The factory's registration search is protected: a host derives from the
/// factory to follow it file by file, as the factory itself does.
class CResolver : public CkwObjectFactory {
 public:
  using CkwObjectFactory::kwCombineRegistrationFileName;
  using CkwObjectFactory::kwConvertToString;
  using CkwObjectFactory::kwGetDefaultRegistrationFileName;
  using CkwObjectFactory::kwGetProgramPath;
  using CkwObjectFactory::kwSearchComponentPathWithinRegistrationFile;
};

void PrintDiagnostic(void*, const char* pszMessage) {
  std::printf("  library: %s\n", pszMessage);
  std::fflush(stdout);
}

struct SFile {
  std::string directory;
  std::string name;
  std::string stored;  // as the factory keeps it in its list
};

}  // namespace

int RunResolve(const std::vector<std::string>& args) {
  std::string clsidText;
  std::vector<SFile> files;
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (args[k] == "--ini") {
      if (k + 1 == args.size()) return UsageError("resolve", "--ini needs a FILE");
      const std::filesystem::path path = std::filesystem::absolute(args[++k]);
      files.push_back({path.parent_path().string(), path.filename().string(), {}});
    } else if (args[k].size() > 1 && args[k][0] == '-' && args[k][1] == '-') {
      return UsageError("resolve", "unknown option '" + args[k] + "'");
    } else if (clsidText.empty()) {
      clsidText = args[k];
    } else {
      return UsageError("resolve", "give one CLSID");
    }
  }
  GUID clsid;
  if (clsidText.empty() || !kwGuidFromText(clsidText, &clsid))
    return UsageError("resolve", "give a CLSID such as {6E1F0A01-7E57-4C0D-9E57-000000000001}");

  CkwErrorInfo error;
  std::string key;
  if (!CResolver::kwConvertToString(clsid, key, &error))
    return Fail(kExitFailed, "out of memory: " + kwErrorText(error));
  std::printf("resolving %s (registration key %s)\n\nregistration files, in search order:\n",
              kwGuidText(clsid).c_str(), key.c_str());

  // The factory's list in the order given: Set puts the last file in, and
  // each Add puts a file before the ones already listed.
  for (std::size_t k = files.size(); k-- > 0;) {
    SFile& file = files[k];
    const bool ok = k + 1 == files.size() ? CkwObjectFactory::kwSetComponentRegistrationFile(
                                                file.directory.c_str(), file.name.c_str(), &error)
                                          : CkwObjectFactory::kwAddComponentRegistrationFile(
                                                file.directory.c_str(), file.name.c_str(), &error);
    if (!ok || !CResolver::kwCombineRegistrationFileName(file.directory.c_str(), file.name.c_str(),
                                                         file.stored, &error))
      return Fail(kExitFailed, "the factory refuses the registration file " + file.name + ": " +
                                   kwErrorText(error) + "; check the name");
  }
  if (!files.empty()) CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, &error);
  std::string programPath;
  std::string defaultName;
  if (files.empty()) {
    if (!CResolver::kwGetProgramPath(programPath, &error) ||
        !CResolver::kwGetDefaultRegistrationFileName(defaultName, &error))
      return Fail(kExitFailed, "the factory cannot name its default registration file: " +
                                   kwErrorText(error) + "; give one with --ini FILE");
    files.push_back({programPath, defaultName, programPath + defaultName});
  }

  std::string registeredIn;
  std::string modulePath;
  for (std::size_t k = 0; k < files.size(); ++k) {
    const SFile& file = files[k];
    std::string path;
    std::string found;
    if (access(file.stored.c_str(), R_OK) != 0) {
      found = "cannot be read, skipped";
    } else if (!CResolver::kwSearchComponentPathWithinRegistrationFile(file.stored.c_str(), &clsid,
                                                                       path, nullptr)) {
      found = "no entry for it";
    } else {
      found = "maps it to " + path;
      if (modulePath.empty()) {
        registeredIn = file.stored;
        modulePath = path;
        found += "  <- the factory takes this one";
      }
    }
    std::printf("  %zu. %s%s: %s\n", k + 1, file.stored.c_str(),
                defaultName.empty() ? "" : " (the default file beside kw)", found.c_str());
  }
  if (defaultName.empty())
    std::printf("  (the default file beside kw is not searched with --ini)\n");

  std::printf("\ncreating an object through the factory:\n");
  std::fflush(stdout);
  kwSetDiagnosticCallback(&PrintDiagnostic, nullptr);
  CkwServiceObject* object = nullptr;
  const bool created = CkwObjectFactory::kwCreateObject(&clsid, &object, &error);
  kwSetDiagnosticCallback(nullptr, nullptr);
  GUID objectClass{};
  const bool hasClass = object != nullptr && object->kwGetCLSID(&objectClass, nullptr);
  const bool freed = object != nullptr && CkwObjectFactory::kwFreeObject(&object, nullptr);
  if (created)
    std::printf("  created an object%s%s, then %s\n", hasClass ? " of class " : "",
                hasClass ? kwGuidText(objectClass).c_str() : "",
                freed ? "freed it" : "could not free it");
  else
    std::printf("  failed: %s%s\n", kwErrorText(error).c_str(),
                freed ? " (the module stored an object all the same; freed)" : "");

  bool loads = false;
  bool exports = false;
  std::string loaderMessage;
  if (!modulePath.empty()) {
    std::printf("\nmodule %s:\n", modulePath.c_str());
    // The factory loaded it already if it could; this only asks again.
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    loads = module != nullptr;
    if (!loads) loaderMessage = dlerror();
    exports = loads && dlsym(module, kwCOMPONENT_ENTRY_NAME) != nullptr;
    std::printf("  loads: %s\n", loads ? "yes" : ("no: " + loaderMessage).c_str());
    if (loads) std::printf("  exports %s: %s\n", kwCOMPONENT_ENTRY_NAME, exports ? "yes" : "no");
  }
  std::printf("\n");

  if (created) {
    std::printf("verdict: %s creates %s\n", modulePath.empty() ? "the factory" : modulePath.c_str(),
                kwGuidText(clsid).c_str());
    return 0;
  }
  if (modulePath.empty())
    return Fail(kExitFailed, "not registered: no file searched has " + key +
                                 " in its [COMPONENT] section; add '" + key +
                                 "=/path/to/module.so' there");
  if (!loads)
    return Fail(kExitFailed, "cannot load " + modulePath + ": " + loaderMessage +
                                 "; install what it needs or fix its path in " + registeredIn);
  if (!exports)
    return Fail(kExitFailed, modulePath +
                                 " exports no " kwCOMPONENT_ENTRY_NAME
                                 "; build it with the component map of <kwcore/kwComponent.h>");
  return Fail(kExitFailed, "the module refused to create it (" + kwErrorText(error) +
                               "); see what the component's author says of that code");
}

}  // namespace kwtool
