// CkwServiceObjectList: an ordered, duplicate-free list of service objects
// that owns them, frees them through the object factory and tells one
// registered client after each change of its content.
//
// Positions. A position is an `intptr_t` holding the address of a listed
// object (the one the next iteration step delivers); 0 means none. It is not
// an index: it stays valid exactly as long as that object stays listed,
// whatever is added or removed elsewhere.
//
// Ownership. Add, insert and replace hand the object to the list; remove and
// remove-all give it back to the caller unfreed; replace frees the replaced
// object, and delete-all and destruction free every listed object, through
// CkwObjectFactory::kwFreeObject.
//
// Virtual slots. The virtual destructor comes first, then the list's
// operations in the order declared below; a derived class appends its own
// slots after them. Operations call their siblings through these slots (add,
// insert and replace call kwFindServiceObject; get-by-index calls the count,
// first and next operations; delete-all calls first and next; the position
// getters call the head and tail getters), so a derived override applies.
//
// Every lookup by object or position takes constant time: an index from
// object address to node sits beside the chain, so walking a whole list step
// by step is linear.
//
// Threads: no lock. One thread at a time, as the owner arranges; the client
// is called synchronously inside the changing call.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>

class CkwServiceObjectList;

/// Source GUID of CkwServiceObjectList in error records:
/// {DCBB4C4A-770E-41E2-B4F2-F692DB315BDD}.
extern KWCORE_API const GUID kwGUID_SourceServiceObjectList;

/// Implemented by whoever wants to hear of a list's content changes. The list
/// calls only the first slot, with itself and a null record, and ignores the
/// result. The list never owns or frees its client.
struct SkwServiceObjectList_Notify {
  virtual bool kwNotifyContentChange(CkwServiceObjectList* pList, CkwErrorInfo* pErrorInfo) = 0;
};

class KWCORE_API CkwServiceObjectList {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_REMOVE = 2,
    kwMETHOD_ADD = 3,
    kwMETHOD_INSERT = 4,
    kwMETHOD_REPLACE = 5,
    kwMETHOD_GET_FIRST = 6,
    kwMETHOD_GET_NEXT = 7,
    kwMETHOD_GET_PREVIOUS = 8,
    kwMETHOD_GET_HEAD = 9,
    kwMETHOD_GET_TAIL = 10,
    kwMETHOD_FIND = 11,
    kwMETHOD_GET_TOTAL_COUNT = 13,
    kwMETHOD_GET_BY_INDEX = 14,
    kwMETHOD_GET_HEAD_POS = 15,
    kwMETHOD_GET_TAIL_POS = 16,
  };

  /// Nodes are pooled in blocks of this many.
  static constexpr int kNodeBlockSize = 10;

  CkwServiceObjectList() noexcept;
  /// Frees every listed object through the factory (this class's own
  /// delete-all, not an override) and releases the node pool. No notification.
  virtual ~CkwServiceObjectList();

  CkwServiceObjectList(const CkwServiceObjectList&) = delete;
  CkwServiceObjectList& operator=(const CkwServiceObjectList&) = delete;

  /// Unlinks every object without freeing it; the caller owns them again.
  /// Never fails; the client is not told.
  virtual bool kwRemoveAllServiceObject(CkwErrorInfo* pErrorInfo);
  /// Delivers the object at a zero-based index (linear in the index). An
  /// index at or beyond the count returns false without a failure entry.
  virtual bool kwGetServiceObjectByIndex(CkwServiceObject** ppObject, int nIndex,
                                         CkwErrorInfo* pErrorInfo);
  /// Frees every object through the factory, then unlinks all. No
  /// notification. On success the record keeps the end-of-list warning of the
  /// last iteration step: judge success by the result.
  virtual bool kwDeleteAllServiceObject(CkwErrorInfo* pErrorInfo);
  /// Stores the client, replacing any earlier one. Never fails.
  virtual bool kwRegisterContentChangeNotifyClient(SkwServiceObjectList_Notify* pClient,
                                                   CkwErrorInfo* pErrorInfo);
  virtual bool kwUnregisterContentChangeNotifyClient(CkwErrorInfo* pErrorInfo);
  /// Appends at the tail; the list owns the object.
  virtual bool kwAddServiceObject(CkwServiceObject* pObject, CkwErrorInfo* pErrorInfo);
  /// Unlinks the object without freeing it.
  virtual bool kwRemoveServiceObject(CkwServiceObject* pObject, CkwErrorInfo* pErrorInfo);
  /// Position 0: new head. Otherwise right after the object at the position.
  virtual bool kwInsertServiceObject(CkwServiceObject* pObject, std::intptr_t nPosition,
                                     CkwErrorInfo* pErrorInfo);
  /// Puts the object in place of the one at the position and frees that one.
  /// Replacing an object by itself keeps it, unfreed.
  virtual bool kwReplaceServiceObject(std::intptr_t nPosition, CkwServiceObject* pObject,
                                      CkwErrorInfo* pErrorInfo);
  /// Delivers the head object; the position becomes that of the second.
  virtual bool kwGetFirstServiceObject(CkwServiceObject** ppObject, std::intptr_t* pnPosition,
                                       CkwErrorInfo* pErrorInfo);
  /// Delivers the object at the position and moves it to the next object.
  virtual bool kwGetNextServiceObject(CkwServiceObject** ppObject, std::intptr_t* pnPosition,
                                      CkwErrorInfo* pErrorInfo);
  /// Delivers the object at the position and moves it to the previous object.
  virtual bool kwGetPreviousServiceObject(CkwServiceObject** ppObject, std::intptr_t* pnPosition,
                                          CkwErrorInfo* pErrorInfo);
  virtual bool kwGetHeadServiceObject(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo);
  virtual bool kwGetTailServiceObject(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo);
  /// The position of a listed object (its address); 0 and a warning if absent.
  virtual bool kwFindServiceObject(CkwServiceObject* pObject, std::intptr_t* pnPosition,
                                   CkwErrorInfo* pErrorInfo);
  virtual bool kwGetTotalCount(int* pnCount, CkwErrorInfo* pErrorInfo);
  /// Position of the first / last object; 0 (and success) on an empty list.
  virtual bool kwGetHeadServiceObjectPos(std::intptr_t* pnPosition, CkwErrorInfo* pErrorInfo);
  virtual bool kwGetTailServiceObjectPos(std::intptr_t* pnPosition, CkwErrorInfo* pErrorInfo);

 private:
  struct Node;
  struct Storage;

  // The first node whose object is at `nPosition`: what remove, insert and
  // replace act on.
  Node* FirstNodeOf(std::intptr_t nPosition) noexcept;
  // The node an iteration step delivers: the hint when it matches.
  Node* NodeAt(std::intptr_t nPosition) noexcept;
  bool LinkAfter(CkwServiceObject* pObject, Node* after) noexcept;
  bool Step(CkwServiceObject** ppObject, std::intptr_t* pnPosition, bool forward,
            CkwErrorInfo* pErrorInfo) noexcept;
  void Unlink(Node* node) noexcept;
  void ReleaseAll() noexcept;
  void Notify();

  Node* m_pHead = nullptr;
  Node* m_pTail = nullptr;
  int m_nCount = 0;
  SkwServiceObjectList_Notify* m_pNotifyClient = nullptr;
  // Node pool and address index; made on the first insertion and released
  // whenever the list becomes empty.
  Storage* m_pStorage = nullptr;
  // The node after (or before) the one an iteration step delivered last: the
  // next step usually asks for exactly it, which saves the hash probe. Never
  // a node outside the chain.
  Node* m_pHint = nullptr;
};
