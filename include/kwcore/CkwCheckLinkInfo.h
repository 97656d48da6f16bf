// Check-link records: per DVD item, the media files whose links the
// authoring application will verify.
//
// CkwCheckLinkInfo is one record: a DVD item ID and an ordered list of items,
// each a file name with a file type. CkwCheckLinkFileList is an ordered list
// of records that owns them, finds one by DVD item ID and merges another list
// into itself by deep copy. Neither is a service object: create them with
// `new`, destroy them with `delete`. Neither can be copied by construction or
// assignment; kwClone copies a record, merging copies a list.
//
// Errors (general category, severity 2 unless noted), with the method
// numbers that each class declares:
//   CkwCheckLinkInfo      source {E4AD958A-9A9B-47C9-9C6D-B3B7C90BAD37}
//   CkwCheckLinkFileList  source {E74D26FB-0860-4CCD-A354-7A05E94C4A85}
// A method that calls another public method shares its record with it: a
// failure inside that call is reported by the inner method (its source GUID,
// number and code) and handed back unchanged, and after success the record's
// source names the class of the last inner method called.
//
// Thread safety: none; each object is used by one thread at a time.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwStrList.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

class KWCORE_API CkwCheckLinkInfo {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_GET_DVD_ITEM_ID = 0,
    kwMETHOD_SET_DVD_ITEM_ID = 1,
    kwMETHOD_CLONE = 2,
    kwMETHOD_ADD_FILE_NAME = 3,
    kwMETHOD_GET_FILE_NAME_BY_ITEM_INDEX = 4,
    kwMETHOD_GET_ITEM_COUNT = 5,
  };

  /// The kind of a file to check. The values belong to the application: the
  /// record stores any 32-bit value it is given and returns it unchanged,
  /// named here or not. The names below are the kinds of media a DVD project
  /// links to, offered as a common vocabulary.
  enum kwFileType : std::int32_t {
    kwFILE_TYPE_UNKNOWN = 0,
    kwFILE_TYPE_AUDIO = 1,
    kwFILE_TYPE_IMAGE = 2,
    kwFILE_TYPE_VIDEO = 3,
    kwFILE_TYPE_IMAGE_SLIDESHOW = 4,
    kwFILE_TYPE_VIDEO_SLIDESHOW = 5,
    kwFILE_TYPE_SUBTITLE = 6,
  };

  /// An all-zero DVD item ID and no items.
  CkwCheckLinkInfo() noexcept;
  /// Frees the record's copies of the names and its type list.
  virtual ~CkwCheckLinkInfo();

  CkwCheckLinkInfo(const CkwCheckLinkInfo&) = delete;
  CkwCheckLinkInfo& operator=(const CkwCheckLinkInfo&) = delete;

  /// Copies the 16-byte DVD item ID into `*pID`. Null `pID`: code 2.
  bool kwGetDVDItemID(GUID* pID, CkwErrorInfo* pErrorInfo) const;
  /// Copies `*pID` into the record. Null `pID`: code 2.
  bool kwSetDVDItemID(const GUID* pID, CkwErrorInfo* pErrorInfo);

  /// Stores in `*ppClone` a new record with this one's ID and copies of all
  /// its items; the caller owns it (until it is added to a list). Null
  /// `ppClone`: code 2. No memory for the record: code 1 and `*ppClone` null.
  /// When copying an item fails, the partial clone is destroyed, `*ppClone`
  /// is set to null and the copying call's report is handed back.
  bool kwClone(CkwCheckLinkInfo** ppClone, CkwErrorInfo* pErrorInfo) const;

  /// Appends a copy of `pszName` with `eType` as the last item. Empty and
  /// duplicate names and any type value are accepted. Null name: code 2.
  bool kwAddFileName(const char* pszName, kwFileType eType, CkwErrorInfo* pErrorInfo);

  /// Returns item `nIndex`: a pointer to the record's own copy of the name
  /// (valid while the record lives; never change or free it) and the type.
  /// Tested in this order: `nIndex` outside [0, item count) is code 10, even
  /// with null out pointers; then null `ppszName`, then null `peType`, code 2.
  bool kwGetFileNameByItemIndex(std::int32_t nIndex, const char** ppszName, kwFileType* peType,
                                CkwErrorInfo* pErrorInfo) const;

  /// Stores the number of items in `*pnCount`. Null `pnCount`: code 2.
  bool kwGetItemCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const;

 private:
  GUID m_guidDVDItemID;
  CkwStrList m_oFileNames;
  kwFileType* m_peFileTypes = nullptr;  ///< one per name, same order
  std::int32_t m_nFileTypeCount = 0;
  std::int32_t m_nFileTypeCapacity = 0;
};

class KWCORE_API CkwCheckLinkFileList {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_ADD_CHECK_LINK_INFO = 0,
    kwMETHOD_FIND_CHECK_LINK_INFO_BY_DVD_ITEM_ID = 1,
    kwMETHOD_MERGE_FILE_LIST = 2,
    kwMETHOD_GET_COUNT = 3,
    kwMETHOD_GET_CHECK_LINK_INFO = 4,
  };

  /// An empty list.
  CkwCheckLinkFileList() noexcept = default;
  /// Destroys every record in the list, first to last.
  virtual ~CkwCheckLinkFileList();

  CkwCheckLinkFileList(const CkwCheckLinkFileList&) = delete;
  CkwCheckLinkFileList& operator=(const CkwCheckLinkFileList&) = delete;

  /// Appends `pRecord`; the list owns it from then on and destroys it with
  /// itself. Add a record to one list only, and only once. Nothing is tested
  /// for duplicates. Null `pRecord`: code 2. No memory to grow: code 1, and
  /// the record stays the caller's.
  bool kwAddCheckLinkInfo(CkwCheckLinkInfo* pRecord, CkwErrorInfo* pErrorInfo);

  /// Stores in `*ppRecord` the first record (in the order added) whose DVD
  /// item ID equals `*pID`. The record stays the list's. Null `pID`, then null
  /// `ppRecord`: code 2. No match (an empty list included): `*ppRecord` null,
  /// code 12 at severity 1.
  bool kwFindCheckLinkInfoByDVDItemID(const GUID* pID, CkwCheckLinkInfo** ppRecord,
                                      CkwErrorInfo* pErrorInfo);

  /// Appends clones of all records of `pOther`, in order; `pOther` is not
  /// changed. The count is read once, so merging a list into itself appends
  /// one copy of each record it held. The first failing call ends the merge
  /// with that call's report; clones appended before it stay. Null `pOther`:
  /// code 2.
  bool kwMergeFileList(CkwCheckLinkFileList* pOther, CkwErrorInfo* pErrorInfo);

  /// Stores the number of records in `*pnCount`. Null `pnCount`: code 2.
  bool kwGetCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const;

  /// Stores in `*ppRecord` the record at `nIndex` (0 is the first added); it
  /// stays the list's. Null `ppRecord` is code 2 whatever the index; then an
  /// index outside [0, count) is code 10.
  bool kwGetCheckLinkInfo(std::int32_t nIndex, CkwCheckLinkInfo** ppRecord,
                          CkwErrorInfo* pErrorInfo);

 private:
  CkwCheckLinkInfo** m_ppRecords = nullptr;
  std::int32_t m_nCount = 0;
  std::int32_t m_nCapacity = 0;
};
