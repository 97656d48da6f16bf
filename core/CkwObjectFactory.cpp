#include <kwcore/CkwObjectFactory.h>

#include <sys/stat.h>

#include <unordered_map>
#include <utility>

#include <kwcore/kwComponent.h>

#include "CkwWorkingRecord.h"
#include "platform/kwModule.h"
#include "platform/kwPath.h"
#include "platform/kwProfile.h"

const GUID CLSID_CkwObjectFactory = {
    0xA89D94E3, 0x84BD, 0x4325, {0xBB, 0xB6, 0xA0, 0xC2, 0x2F, 0xB4, 0xC6, 0x93}};

namespace {

const GUID& kSource = CLSID_CkwObjectFactory;

constexpr const char* kRegistrationSection = "COMPONENT";
// Room for the executable's path; /proc/self/exe can name any path the
// kernel accepts.
constexpr std::size_t kExecutablePathSize = 4096;
// A registration value is cut to 1023 characters.
constexpr std::size_t kRegistrationValueSize = 1024;

struct GUIDHash {
  std::size_t operator()(const GUID& guid) const noexcept {
    // From the fields, not the bytes: the layout is platform business.
    std::uint64_t high =
        (std::uint64_t{guid.Data1} << 32) | (std::uint64_t{guid.Data2} << 16) | guid.Data3;
    std::uint64_t low = 0;
    for (BYTE b : guid.Data4) low = (low << 8) | b;
    return static_cast<std::size_t>((high * 0x9E3779B97F4A7C15ull) ^ low);
  }
};

// The CLSID in registry form, for diagnostics.
struct CLSIDText {
  explicit CLSIDText(const GUID& clsid) noexcept { kwGUIDToString(clsid, text, sizeof text); }
  char text[kwGUID_STRING_LENGTH + 1];
};

// Says how a creation ended, when somebody listens. `how` completes
// "create: {CLSID}: ".
void DiagnoseCreation(const GUID* pCLSID, const char* how, const CkwErrorInfo* pRecord) noexcept {
  if (!kwDiagnosticsEnabled() || pCLSID == nullptr) return;
  CLSIDText clsid(*pCLSID);
  if (pRecord == nullptr)
    kwDiagnoseF("create: %s: %s", clsid.text, how);
  else
    kwDiagnoseF("create: %s: %s (code %d, severity %d)", clsid.text, how,
                static_cast<int>(pRecord->m_nErrorCode), static_cast<int>(pRecord->m_nSeverity));
}

}  // namespace

// The index beside the two lists: for each CLSID in the table, its position
// in both lists, and its module's entry once looked up. Caching the entry is
// sound because a module is never unloaded and its exports cannot change;
// a pair dropped from the table drops its cached entry with it.
struct CkwObjectFactory::SearchTableIndex {
  struct Position {
    std::list<GUID>::iterator clsid;
    std::list<void*>::iterator module;
    kwCreateComponentFunction entry = nullptr;
    bool entryLooked = false;
  };
  // Node-based: a Position stays where it is while others come and go.
  std::unordered_map<GUID, Position, GUIDHash> positions;
  // The Position of the table's head; null while the table is empty. The
  // head is never the pair evicted, so this never dangles.
  Position* head = nullptr;

  /// The pair of `clsid` moved to the head of both lists (most recently used
  /// first), or null when the table does not hold it.
  Position* MoveToHead(const GUID& clsid, std::list<GUID>& clsids,
                       std::list<void*>& modules) noexcept {
    auto found = positions.find(clsid);
    if (found == positions.end()) return nullptr;
    Position* position = &found->second;
    clsids.splice(clsids.begin(), clsids, position->clsid);
    modules.splice(modules.begin(), modules, position->module);
    head = position;
    return position;
  }

  /// Records a new pair at the head of both lists. Everything it needs is
  /// allocated before the table changes, so when memory runs out (bad_alloc)
  /// the table is as it was: the two nodes are made in lists of their own
  /// and spliced in, which cannot fail, once the index holds their position.
  Position* AddAtHead(const GUID& clsid, void* module, std::list<GUID>& clsids,
                      std::list<void*>& modules) {
    std::list<GUID> clsidNode{clsid};
    std::list<void*> moduleNode{module};
    head = &positions.try_emplace(clsid, Position{clsidNode.begin(), moduleNode.begin()})
                .first->second;
    clsids.splice(clsids.begin(), clsidNode);
    modules.splice(modules.begin(), moduleNode);
    return head;
  }
};

std::list<GUID> CkwObjectFactory::m_ofComponentCLSIDSearchTable;
std::list<void*> CkwObjectFactory::m_ofComponentModuleSearchTable;
CkwObjectFactory::SearchTableIndex CkwObjectFactory::m_ofComponentSearchTableIndex;
std::recursive_mutex CkwObjectFactory::m_ofSyncObjectForComponentSearchTable;
std::list<std::string> CkwObjectFactory::m_ofRegistrationFileNameList;
std::mutex CkwObjectFactory::m_ofSyncObjectForRegistrationFile;
bool CkwObjectFactory::m_bEnableDefaultRegistrationFileSearch = true;
std::mutex CkwObjectFactory::m_ofSyncObjectForDefaultRegistrationFileSearch;

CkwObjectFactory::~CkwObjectFactory() = default;

// ---------------------------------------------------------------------------
// Creating and freeing

bool CkwObjectFactory::kwCreateObject(const GUID* pCLSID, CkwServiceObject** ppObject,
                                      CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwObjectFactory::kwMETHOD_CREATE_OBJECT);
  // Held for the whole creation, the component's entry included; recursive,
  // so that the entry may create further objects on this thread.
  std::lock_guard<std::recursive_mutex> lock(m_ofSyncObjectForComponentSearchTable);
  if (pCLSID == nullptr || ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *ppObject = nullptr;

  SearchTableIndex& index = m_ofComponentSearchTableIndex;
  SearchTableIndex::Position* position = nullptr;
  if (index.head != nullptr && IsEqualGUID(*index.head->clsid, *pCLSID)) {
    // The CLSID heads the table already: the common case of one class
    // created over and over, found without hashing.
    position = index.head;
  } else {
    position =
        index.MoveToHead(*pCLSID, m_ofComponentCLSIDSearchTable, m_ofComponentModuleSearchTable);
  }
  if (position == nullptr) {
    std::string path;
    kwSearchComponentPath(pCLSID, path, record.get());
    if (record.Severity() == kwSEVERITY_ERROR) {
      DiagnoseCreation(pCLSID, "the registration search failed", record.get());
      return false;
    }
    if (record.Severity() == kwSEVERITY_WARNING) {
      DiagnoseCreation(pCLSID, "not registered in any registration file searched", nullptr);
      return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
    }
    HMODULE module = kwLoadModule(path.c_str());
    if (module == nullptr) {
      DiagnoseCreation(pCLSID, "its module did not load", nullptr);
      return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
    }
    // Loading ran the module's initialisers, which may have created objects
    // through the factory on this thread and so recorded this very CLSID
    // already: the pair is then used as it stands, never added twice.
    position =
        index.MoveToHead(*pCLSID, m_ofComponentCLSIDSearchTable, m_ofComponentModuleSearchTable);
    if (position == nullptr) {
      if (!record.Guard([&] {
            position = index.AddAtHead(*pCLSID, module, m_ofComponentCLSIDSearchTable,
                                       m_ofComponentModuleSearchTable);
            return true;
          })) {
        DiagnoseCreation(pCLSID, "out of memory", record.get());
        return false;
      }
      kwEnsureComponentSearchTableSizeWithinLimitation(nullptr);
    }
  }

  if (!position->entryLooked) {
    position->entry = reinterpret_cast<kwCreateComponentFunction>(
        kwGetModuleSymbol(*position->module, kwCOMPONENT_ENTRY_NAME));
    position->entryLooked = true;
  }
  // Copied out: a creation nested in the entry may move or drop this pair.
  kwCreateComponentFunction entry = position->entry;
  if (entry == nullptr) {
    DiagnoseCreation(pCLSID, "its module has no entry " kwCOMPONENT_ENTRY_NAME, nullptr);
    return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
  }

  entry(pCLSID, ppObject, record.get());  // its verdict is the severity alone
  switch (record.Severity()) {
    case kwSEVERITY_NONE:
      DiagnoseCreation(pCLSID, "created", nullptr);
      return true;
    case kwSEVERITY_WARNING:
      DiagnoseCreation(pCLSID, "the component declined with a warning", record.get());
      return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
    default:
      DiagnoseCreation(pCLSID, "the component failed", record.get());
      return false;  // the component's error stands as it wrote it
  }
}

bool CkwObjectFactory::kwFreeObject(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwObjectFactory::kwMETHOD_FREE_OBJECT);
  if (ppObject == nullptr || *ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // Through the virtual destructor, so the module that made the object
  // frees it. No lock: the object belongs to the caller alone.
  delete *ppObject;
  *ppObject = nullptr;
  return true;
}

bool CkwObjectFactory::kwEnsureComponentSearchTableSizeWithinLimitation(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  // Evicted modules stay loaded; a later request resolves the CLSID again
  // and gets the same module back.
  while (m_ofComponentCLSIDSearchTable.size() > kwMAX_SEARCH_TABLE_SIZE) {
    m_ofComponentSearchTableIndex.positions.erase(m_ofComponentCLSIDSearchTable.back());
    m_ofComponentCLSIDSearchTable.pop_back();
    m_ofComponentModuleSearchTable.pop_back();
  }
  return true;
}

// ---------------------------------------------------------------------------
// The registration file list

bool CkwObjectFactory::kwSetComponentRegistrationFile(const char* pszDirectory,
                                                      const char* pszFileName,
                                                      CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwObjectFactory::kwMETHOD_COMBINE_REGISTRATION_FILE_NAME);
  std::lock_guard<std::mutex> lock(m_ofSyncObjectForRegistrationFile);
  std::string fullName;
  if (!kwCombineRegistrationFileName(pszDirectory, pszFileName, fullName, record.get()))
    return false;
  // Accepted all the same: the file may be written later, and a search
  // reads whatever is there then.
  struct stat status;
  if (kwDiagnosticsEnabled() && stat(fullName.c_str(), &status) != 0)
    kwDiagnoseF("registration: %s: set, but there is no such file", fullName.c_str());
  return record.Guard([&] {
    std::list<std::string> replacement;
    replacement.push_back(std::move(fullName));
    m_ofRegistrationFileNameList.swap(replacement);
    return true;
  });
}

bool CkwObjectFactory::kwAddComponentRegistrationFile(const char* pszDirectory,
                                                      const char* pszFileName,
                                                      CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwObjectFactory::kwMETHOD_COMBINE_REGISTRATION_FILE_NAME);
  std::lock_guard<std::mutex> lock(m_ofSyncObjectForRegistrationFile);
  std::string fullName;
  if (!kwCombineRegistrationFileName(pszDirectory, pszFileName, fullName, record.get()))
    return false;
  for (const std::string& listed : m_ofRegistrationFileNameList)
    if (listed == fullName) return true;
  return record.Guard([&] {
    // The file added last is searched first.
    m_ofRegistrationFileNameList.push_front(std::move(fullName));
    return true;
  });
}

bool CkwObjectFactory::kwRemoveComponentRegistrationFile(const char* pszDirectory,
                                                         const char* pszFileName,
                                                         CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  std::lock_guard<std::mutex> lock(m_ofSyncObjectForRegistrationFile);
  std::string fullName;
  if (!kwCombineRegistrationFileName(pszDirectory, pszFileName, fullName, record.get()))
    return false;
  for (auto it = m_ofRegistrationFileNameList.begin(); it != m_ofRegistrationFileNameList.end();
       ++it) {
    if (*it == fullName) {
      m_ofRegistrationFileNameList.erase(it);
      break;
    }
  }
  return true;
}

bool CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(bool bEnable,
                                                             CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  std::lock_guard<std::mutex> lock(m_ofSyncObjectForDefaultRegistrationFileSearch);
  m_bEnableDefaultRegistrationFileSearch = bEnable;
  return true;
}

// ---------------------------------------------------------------------------
// Searching the registration files

bool CkwObjectFactory::kwSearchComponentPath(const GUID* pCLSID, std::string& path,
                                             CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwObjectFactory::kwMETHOD_SEARCH_COMPONENT_PATH);
  // Held across the file reads, so that the list cannot change mid-search.
  std::lock_guard<std::mutex> lock(m_ofSyncObjectForRegistrationFile);
  if (pCLSID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);

  // A listed file without the CLSID is expected and skipped; running out of
  // memory while reading one is not, and must not read as "not registered".
  for (const std::string& fileName : m_ofRegistrationFileNameList) {
    CkwWorkingRecord fileRecord(nullptr, kSource, kwMETHOD_NONE);
    if (kwSearchComponentPathWithinRegistrationFile(fileName.c_str(), pCLSID, path,
                                                    fileRecord.get()))
      return true;
    if (fileRecord.get()->m_nErrorCode == kwERROR_OUT_OF_MEMORY &&
        fileRecord.Severity() == kwSEVERITY_ERROR)
      return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  }

  bool searchDefault;
  {
    std::lock_guard<std::mutex> switchLock(m_ofSyncObjectForDefaultRegistrationFileSearch);
    searchDefault = m_bEnableDefaultRegistrationFileSearch;
  }
  if (!searchDefault) {
    kwDiagnoseF("registration: the default registration file is not searched (switched off)");
    return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);
  }

  std::string directory, fileName;
  if (!kwGetProgramPath(directory, record.get())) return false;
  if (!kwGetDefaultRegistrationFileName(fileName, record.get())) return false;
  return record.Guard([&] {
    directory += fileName;
    return kwSearchComponentPathWithinRegistrationFile(directory.c_str(), pCLSID, path,
                                                       record.get());
  });
}

namespace {

// Says what one registration file held for a key, when somebody listens.
void DiagnoseLookUp(const char* file, const char* key, kwProfileStatus status, const char* similar,
                    const char* value) noexcept {
  switch (status) {
    case kwPROFILE_FOUND:
      if (*value == '\0')
        kwDiagnoseF("registration: %s: empty value for key %s in section [%s]", file, key,
                    kRegistrationSection);
      else
        kwDiagnoseF("registration: %s: key %s in section [%s] names %s", file, key,
                    kRegistrationSection, value);
      return;
    case kwPROFILE_NO_FILE:
      kwDiagnoseF("registration: %s: no such file", file);
      return;
    case kwPROFILE_UNREADABLE:
      kwDiagnoseF("registration: %s: cannot be read (not a readable regular file)", file);
      return;
    case kwPROFILE_NO_SECTION:
      kwDiagnoseF("registration: %s: no section [%s]", file, kRegistrationSection);
      return;
    case kwPROFILE_NO_KEY:
      if (*similar == '\0')
        kwDiagnoseF("registration: %s: no key %s in section [%s]", file, key, kRegistrationSection);
      else if (*similar == '{')
        kwDiagnoseF(
            "registration: %s: no key %s in section [%s]; key %s is written with braces, "
            "write it without them",
            file, key, kRegistrationSection, similar);
      else
        kwDiagnoseF(
            "registration: %s: no key %s in section [%s]; key %s names the same CLSID "
            "in another form, write it as %s",
            file, key, kRegistrationSection, similar, key);
      return;
    case kwPROFILE_OUT_OF_MEMORY:
      kwDiagnoseF("registration: %s: out of memory while reading", file);
      return;
  }
}

}  // namespace

bool CkwObjectFactory::kwSearchComponentPathWithinRegistrationFile(const char* pszFileName,
                                                                   const GUID* pCLSID,
                                                                   std::string& path,
                                                                   CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(
      pErrorInfo, kSource,
      CkwObjectFactory::kwMETHOD_SEARCH_COMPONENT_PATH_WITHIN_REGISTRATION_FILE);
  if (pCLSID == nullptr || pszFileName == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return record.Guard([&] {
    std::string key;
    if (!kwConvertToString(*pCLSID, key, record.get())) return false;
    char value[kRegistrationValueSize];
    std::size_t length = 0;
    // The near miss is looked for only when somebody will read about it.
    const bool diagnose = kwDiagnosticsEnabled();
    char similar[kRegistrationValueSize];
    kwProfileStatus status =
        kwLookUpProfileString(kRegistrationSection, key.c_str(), value, sizeof value, &length,
                              pszFileName, diagnose ? similar : nullptr, sizeof similar);
    if (diagnose) DiagnoseLookUp(pszFileName, key.c_str(), status, similar, value);
    if (status == kwPROFILE_OUT_OF_MEMORY) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
    // No file, no key and an empty value all read as not registered.
    if (length == 0) return kwFAIL(record, kwERROR_COMPONENT_NOT_AVAILABLE);

    std::string_view written(value, length);
    if (kwSplitPath(written).directory.empty()) {
      // A bare module name lies in the executable's directory, never on the
      // loader's search path: the loader is always handed a directory.
      std::string programPath;
      if (!kwGetProgramPath(programPath, record.get())) return false;
      path = std::move(programPath);
      path.append(written);
    } else if (written.front() == '/') {
      path.assign(written);
    } else {
      // A relative directory is read from where the registration file lies,
      // never from the working directory, where anyone who can write there
      // could plant a module.
      std::string resolved(kwSplitPath(pszFileName, "/").directory);
      resolved.append(written);
      path = std::move(resolved);
    }
    return true;
  });
}

// ---------------------------------------------------------------------------
// Names

bool CkwObjectFactory::kwCombineRegistrationFileName(const char* pszDirectory,
                                                     const char* pszFileName, std::string& fullName,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwObjectFactory::kwMETHOD_COMBINE_REGISTRATION_FILE_NAME);
  if (pszFileName == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return record.Guard([&] {
    std::string combined;
    if (pszDirectory != nullptr && pszDirectory[0] != '\0') {
      combined = pszDirectory;
      char last = combined.back();
      if (last != '/' && last != '\\') combined += '/';
    } else {
      // An empty directory is taken as no directory: a name relative to the
      // current directory would change meaning whenever the host moves.
      if (!kwGetProgramPath(combined, record.get())) return false;
    }
    // No lower-casing: Linux file names are case-sensitive, and two names
    // that differ in case are two files.
    combined += pszFileName;
    fullName = std::move(combined);
    return true;
  });
}

bool CkwObjectFactory::kwGetProgramPath(std::string& programPath, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwObjectFactory::kwMETHOD_GET_PROGRAM_PATH);
  char executable[kExecutablePathSize];
  if (kwGetExecutablePath(executable, sizeof executable) == 0)
    return kwFAIL(record, kwERROR_PLATFORM_CALL_FAILED);
  return record.Guard([&] {
    programPath.assign(kwSplitPath(executable).directory);
    return true;
  });
}

bool CkwObjectFactory::kwGetDefaultRegistrationFileName(std::string& fileName,
                                                        CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwObjectFactory::kwMETHOD_GET_DEFAULT_REGISTRATION_FILE_NAME);
  char executable[kExecutablePathSize];
  if (kwGetExecutablePath(executable, sizeof executable) == 0)
    return kwFAIL(record, kwERROR_PLATFORM_CALL_FAILED);
  return record.Guard([&] {
    std::string name = "kw";
    name.append(kwSplitPath(executable).baseName);
    name += ".ini";
    fileName = std::move(name);
    return true;
  });
}

bool CkwObjectFactory::kwConvertToString(const GUID& clsid, std::string& key,
                                         CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwObjectFactory::kwMETHOD_CONVERT_TO_STRING);
  // The registry form without its braces.
  char text[kwGUID_STRING_LENGTH + 1];
  kwGUIDToString(clsid, text, sizeof text);
  return record.Guard([&] {
    key.assign(text + 1, kwGUID_STRING_LENGTH - 2);
    return true;
  });
}
