// CkwObjectFactory: creates service objects by CLSID from component modules
// and frees them, and keeps the list of registration files that say which
// module serves which CLSID.
//
// Creating an object:
//
//     CkwServiceObject* object = nullptr;
//     CkwErrorInfo error;
//     if (!CkwObjectFactory::kwCreateObject(&CLSID_Thing, &object, &error)) { ... }
//     ...
//     CkwObjectFactory::kwFreeObject(&object, &error);
//
// The factory looks the CLSID up in its table of recently used CLSIDs and,
// on a miss, in the registration files: each file given with Set/Add, the
// file added last first, then (unless switched off) the default file
// "kw<executable name without extension>.ini" in the executable's
// directory. A registration file is an INI file:
//
//     [COMPONENT]
//     5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13=libmycomponents.so
//
// A module named without a directory is looked for in the executable's
// directory, never through the loader's search path; one with a directory is
// used as written. The module is loaded once and never unloaded, and its
// exported entry gkw_CreateComponent (kwComponent.h) creates the object.
//
// Threads: every operation may be called from any thread. Creations are
// serialised by one process-wide lock, held also while the component's
// entry runs; it is re-entrant, so a component may create further objects
// through the factory from its entry. The locks are always taken in the
// order search table, registration files, default-file switch.
//
// Failures (general category, source CLSID_CkwObjectFactory, method numbers
// below): null argument, code 2 severity 2; CLSID not registered, module not
// loaded, module without entry, or the component answered with a warning:
// code 7 severity 1; executable path not obtained: code 5 severity 2; out of
// memory anywhere in a creation, the registration files' reading included:
// code 1 severity 2; a component's error (severity 2) is passed on as the
// component wrote it.
//
// Why a CLSID was not found (which files were searched, what each held, a
// key written with braces, the loader's message) is told through the
// diagnostic callback and, with KWCORE_DEBUG=1, on standard error
// (kwDiagnostics.h).
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// Source GUID of CkwObjectFactory in error records:
/// {A89D94E3-84BD-4325-BBB6-A0C22FB4C693}.
extern KWCORE_API const GUID CLSID_CkwObjectFactory;

class KWCORE_API CkwObjectFactory {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_SEARCH_COMPONENT_PATH = 0,
    kwMETHOD_CREATE_OBJECT = 1,
    kwMETHOD_FREE_OBJECT = 2,
    kwMETHOD_GET_PROGRAM_PATH = 4,
    kwMETHOD_GET_DEFAULT_REGISTRATION_FILE_NAME = 5,
    kwMETHOD_COMBINE_REGISTRATION_FILE_NAME = 10,
    kwMETHOD_SEARCH_COMPONENT_PATH_WITHIN_REGISTRATION_FILE = 11,
    kwMETHOD_CONVERT_TO_STRING = 12,
  };

  /// The most CLSIDs the search table remembers; the least recently used
  /// one is forgotten first (its module stays loaded).
  static constexpr std::size_t kwMAX_SEARCH_TABLE_SIZE = 1000;

  /// Creates an object of class `*pCLSID` and stores it in `*ppObject`; the
  /// caller owns it and frees it with kwFreeObject. `*ppObject` is set to
  /// null first. A component may store an object and still fail: free a
  /// non-null `*ppObject` also after a failed creation.
  static bool kwCreateObject(const GUID* pCLSID, CkwServiceObject** ppObject,
                             CkwErrorInfo* pErrorInfo);

  /// Destroys `*ppObject` through its virtual destructor (so the module that
  /// made it frees its memory) and sets `*ppObject` to null.
  static bool kwFreeObject(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo);

  /// Replaces the list of registration files by the one file `pszFileName`
  /// in `pszDirectory`. A null or empty directory means the executable's
  /// directory. Names are kept as given: Linux file names are case-sensitive.
  static bool kwSetComponentRegistrationFile(const char* pszDirectory, const char* pszFileName,
                                             CkwErrorInfo* pErrorInfo);
  /// Puts the file at the head of the list (searched first) unless it is
  /// listed already, in which case nothing changes.
  static bool kwAddComponentRegistrationFile(const char* pszDirectory, const char* pszFileName,
                                             CkwErrorInfo* pErrorInfo);
  /// Removes the file from the list; succeeds without change when it is not
  /// listed.
  static bool kwRemoveComponentRegistrationFile(const char* pszDirectory, const char* pszFileName,
                                                CkwErrorInfo* pErrorInfo);
  /// Switches the search of the default registration file after the listed
  /// ones on (the initial state) or off. Always succeeds.
  static bool kwEnableDefaultRegistrationFileSearch(bool bEnable, CkwErrorInfo* pErrorInfo);

  // Copying a factory copies nothing: all its state is static.
  CkwObjectFactory(const CkwObjectFactory&) noexcept {}
  CkwObjectFactory& operator=(const CkwObjectFactory&) noexcept { return *this; }

 protected:
  CkwObjectFactory() noexcept = default;
  virtual ~CkwObjectFactory();

  /// Finds the module path of `*pCLSID` in the registration files into
  /// `path`. Severity afterwards: 0 found, 1 not registered (code 7),
  /// 2 error (code 2 or 5).
  static bool kwSearchComponentPath(const GUID* pCLSID, std::string& path,
                                    CkwErrorInfo* pErrorInfo);
  /// Looks `*pCLSID` up in the one file `pszFileName` (section COMPONENT).
  static bool kwSearchComponentPathWithinRegistrationFile(const char* pszFileName,
                                                          const GUID* pCLSID, std::string& path,
                                                          CkwErrorInfo* pErrorInfo);
  /// The stored form of a registration file name: the directory (the
  /// executable's when null or empty) with a "/" added unless it ends in
  /// "/" or "\", then the file name. `fullName` is untouched on failure.
  static bool kwCombineRegistrationFileName(const char* pszDirectory, const char* pszFileName,
                                            std::string& fullName, CkwErrorInfo* pErrorInfo);
  /// The executable's directory with its trailing "/".
  static bool kwGetProgramPath(std::string& programPath, CkwErrorInfo* pErrorInfo);
  /// "kw" + the executable's base name without extension + ".ini".
  static bool kwGetDefaultRegistrationFileName(std::string& fileName, CkwErrorInfo* pErrorInfo);
  /// The registration key of a CLSID: its registry form without braces,
  /// upper-case hexadecimal. Fails only when memory runs out: code 1,
  /// method 12.
  static bool kwConvertToString(const GUID& clsid, std::string& key, CkwErrorInfo* pErrorInfo);

 private:
  /// Trims the search table to kwMAX_SEARCH_TABLE_SIZE pairs, dropping the
  /// least recently used; the caller holds the search-table lock. Always
  /// succeeds.
  static bool kwEnsureComponentSearchTableSizeWithinLimitation(CkwErrorInfo* pErrorInfo);

  // Guarded by m_ofSyncObjectForComponentSearchTable. Position k of one list
  // belongs to position k of the other; most recently used first.
  static std::list<GUID> m_ofComponentCLSIDSearchTable;
  static std::list<void*> m_ofComponentModuleSearchTable;
  struct SearchTableIndex;  // finds a CLSID's position without walking the lists
  static SearchTableIndex m_ofComponentSearchTableIndex;
  static std::recursive_mutex m_ofSyncObjectForComponentSearchTable;

  // Guarded by m_ofSyncObjectForRegistrationFile; search order, head first.
  static std::list<std::string> m_ofRegistrationFileNameList;
  static std::mutex m_ofSyncObjectForRegistrationFile;

  // Guarded by m_ofSyncObjectForDefaultRegistrationFileSearch.
  static bool m_bEnableDefaultRegistrationFileSearch;
  static std::mutex m_ofSyncObjectForDefaultRegistrationFileSearch;
};
