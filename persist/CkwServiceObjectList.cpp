#include <kwcore/CkwServiceObjectList.h>

#include <cstddef>
#include <new>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwLazyBinding.h>

#include "core/CkwWorkingRecord.h"

const GUID kwGUID_SourceServiceObjectList = {
    0xDCBB4C4A, 0x770E, 0x41E2, {0xB4, 0xF2, 0xF6, 0x92, 0xDB, 0x31, 0x5B, 0xDD}};

namespace {

const GUID& kSource = kwGUID_SourceServiceObjectList;

}  // namespace

struct CkwServiceObjectList::Node {
  Node* next;
  Node* prev;
  CkwServiceObject* object;
};

// The node pool and the address index. Both are released together whenever
// the list becomes empty, so an emptied list holds no memory.
struct CkwServiceObjectList::Storage {
  struct Block {
    Block* next;
    Node nodes[kNodeBlockSize];
  };
  struct Slot {
    CkwServiceObject* key;  // null marks a free slot: no listed object is null
    Node* node;
  };

  Block* blocks = nullptr;
  Node* freeNodes = nullptr;  // chained through Node::next

  // Open addressing with linear probing; capacity is a power of two and at
  // least twice the number of keys, so probes stay short.
  Slot* slots = nullptr;
  std::size_t capacity = 0;
  std::size_t size = 0;
  int shift = 64;
  // Entries whose object is listed in an earlier entry as well: only a
  // derived list whose find lets an object in twice makes any. While there
  // are none, an object's entry is its only node.
  std::size_t duplicates = 0;

  ~Storage() {
    while (blocks != nullptr) {
      Block* next = blocks->next;
      delete blocks;
      blocks = next;
    }
    delete[] slots;
  }

  std::size_t Home(const CkwServiceObject* key) const noexcept {
    // Fibonacci hashing spreads aligned addresses over the table.
    return static_cast<std::size_t>(
        (reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift);
  }

  Node* Find(const CkwServiceObject* key) const noexcept {
    if (capacity == 0) return nullptr;
    for (std::size_t i = Home(key);; i = (i + 1) & (capacity - 1)) {
      if (slots[i].key == key) return slots[i].node;
      if (slots[i].key == nullptr) return nullptr;
    }
  }

  // Makes room for one more key; false (nothing changed) when memory is short.
  bool ReserveOne() noexcept {
    if ((size + 1) * 2 <= capacity) return true;
    std::size_t newCapacity = capacity == 0 ? 16 : capacity * 2;
    Slot* newSlots = new (std::nothrow) Slot[newCapacity]();
    if (newSlots == nullptr) return false;
    Slot* oldSlots = slots;
    std::size_t oldCapacity = capacity;
    slots = newSlots;
    capacity = newCapacity;
    shift = 64 - __builtin_ctzll(newCapacity);
    size = 0;
    for (std::size_t i = 0; i < oldCapacity; ++i)
      if (oldSlots[i].key != nullptr) Insert(oldSlots[i].key, oldSlots[i].node);
    delete[] oldSlots;
    return true;
  }

  // Room must have been reserved.
  void Insert(CkwServiceObject* key, Node* node) noexcept {
    std::size_t i = Home(key);
    while (slots[i].key != nullptr) i = (i + 1) & (capacity - 1);
    slots[i] = {key, node};
    ++size;
  }

  // Room must have been reserved.
  void Add(CkwServiceObject* key, Node* node) noexcept {
    if (Find(key) != nullptr) ++duplicates;
    Insert(key, node);
  }

  void Remove(const CkwServiceObject* key, const Node* node) noexcept {
    Erase(key, node);
    if (Find(key) != nullptr) --duplicates;
  }

  // Removes the entry of `node`, not merely the first entry of `key`: a
  // derived list whose find override lets an object in twice holds two
  // entries for it, and the node being unlinked may be either of them.
  void Erase(const CkwServiceObject* key, const Node* node) noexcept {
    std::size_t mask = capacity - 1;
    std::size_t i = Home(key);
    while (slots[i].key != key || slots[i].node != node) i = (i + 1) & mask;
    // Backward-shift deletion: move later members of the probe run into the
    // gap so that lookups never need tombstones.
    std::size_t gap = i;
    for (std::size_t j = (i + 1) & mask; slots[j].key != nullptr; j = (j + 1) & mask) {
      std::size_t home = Home(slots[j].key);
      bool movable = gap <= j ? (home <= gap || home > j) : (home <= gap && home > j);
      if (movable) {
        slots[gap] = slots[j];
        gap = j;
      }
    }
    slots[gap] = {nullptr, nullptr};
    --size;
  }

  Node* TakeNode() noexcept {
    if (freeNodes == nullptr) {
      Block* block = new (std::nothrow) Block;
      if (block == nullptr) return nullptr;
      block->next = blocks;
      blocks = block;
      // Threaded from the last node down, so that nodes go out in address
      // order: a list filled in order then walks memory forwards, which the
      // processor fetches ahead of the walk.
      for (std::size_t i = kNodeBlockSize; i-- > 0;) {
        block->nodes[i].next = freeNodes;
        freeNodes = &block->nodes[i];
      }
    }
    Node* node = freeNodes;
    freeNodes = node->next;
    return node;
  }

  void ReturnNode(Node* node) noexcept {
    node->next = freeNodes;
    freeNodes = node;
  }
};

CkwServiceObjectList::CkwServiceObjectList() noexcept = default;

CkwServiceObjectList::~CkwServiceObjectList() {
  // A destructor must not pass a binding failure on: it may run while that
  // very failure unwinds the stack. The only one here is kwErrorHandle's, met
  // before the first item is freed or after the last: the items left are
  // then freed without an error record.
  try {
    CkwServiceObjectList::kwDeleteAllServiceObject(nullptr);
  } catch (const CkwBindingException&) {
    for (Node* node = m_pHead; node != nullptr; node = node->next) {
      CkwServiceObject* object = node->object;
      CkwObjectFactory::kwFreeObject(&object, nullptr);
    }
  }
  ReleaseAll();
}

CkwServiceObjectList::Node* CkwServiceObjectList::FirstNodeOf(std::intptr_t nPosition) noexcept {
  auto* object = reinterpret_cast<CkwServiceObject*>(nPosition);
  if (nPosition == 0 || m_pStorage == nullptr) return nullptr;
  if (m_pStorage->duplicates == 0) return m_pStorage->Find(object);
  // An object listed twice: the index may name either node, and a position
  // means the first one.
  for (Node* node = m_pHead; node != nullptr; node = node->next)
    if (node->object == object) return node;
  return nullptr;
}

CkwServiceObjectList::Node* CkwServiceObjectList::NodeAt(std::intptr_t nPosition) noexcept {
  // An iteration goes on from the node the last step stopped at, even when
  // its object is listed again before it.
  if (m_pHint != nullptr && m_pHint->object == reinterpret_cast<CkwServiceObject*>(nPosition))
    return m_pHint;
  return FirstNodeOf(nPosition);
}

void CkwServiceObjectList::Unlink(Node* node) noexcept {
  (node->prev ? node->prev->next : m_pHead) = node->next;
  (node->next ? node->next->prev : m_pTail) = node->prev;
  m_pStorage->Remove(node->object, node);
  if (m_pHint == node) m_pHint = nullptr;
  m_pStorage->ReturnNode(node);
  if (--m_nCount == 0) ReleaseAll();
}

void CkwServiceObjectList::ReleaseAll() noexcept {
  delete m_pStorage;
  m_pStorage = nullptr;
  m_pHint = nullptr;
  m_pHead = m_pTail = nullptr;
  m_nCount = 0;
}

void CkwServiceObjectList::Notify() {
  if (m_pNotifyClient != nullptr) m_pNotifyClient->kwNotifyContentChange(this, nullptr);
}

bool CkwServiceObjectList::kwRemoveAllServiceObject(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  ReleaseAll();
  return true;
}

bool CkwServiceObjectList::kwGetServiceObjectByIndex(CkwServiceObject** ppObject, int nIndex,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_BY_INDEX);
  if (ppObject == nullptr || nIndex < 0) return kwFAIL(record, kwERROR_INVALID_POSITION);
  *ppObject = nullptr;
  int count = 0;
  if (!kwGetTotalCount(&count, record.get())) return false;
  if (count == 0 || nIndex > count - 1) return false;  // no failure entry, by contract
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  kwGetFirstServiceObject(&object, &position, record.get());
  for (int i = 0; i < nIndex && object != nullptr; ++i)
    kwGetNextServiceObject(&object, &position, record.get());
  if (object == nullptr) return false;
  *ppObject = object;
  return true;
}

bool CkwServiceObjectList::kwDeleteAllServiceObject(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  kwGetFirstServiceObject(&object, &position, record.get());
  while (object != nullptr) {
    // Stepping on after freeing is sound: positions are compared as
    // addresses and never followed.
    if (!CkwObjectFactory::kwFreeObject(&object, record.get())) return false;
    kwGetNextServiceObject(&object, &position, record.get());
  }
  ReleaseAll();
  return true;
}

bool CkwServiceObjectList::kwRegisterContentChangeNotifyClient(SkwServiceObjectList_Notify* pClient,
                                                               CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_pNotifyClient = pClient;
  return true;
}

bool CkwServiceObjectList::kwUnregisterContentChangeNotifyClient(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_pNotifyClient = nullptr;
  return true;
}

bool CkwServiceObjectList::LinkAfter(CkwServiceObject* pObject, Node* after) noexcept {
  if (m_pStorage == nullptr) {
    m_pStorage = new (std::nothrow) Storage;
    if (m_pStorage == nullptr) return false;
  }
  Node* node = m_pStorage->TakeNode();
  if (node == nullptr || !m_pStorage->ReserveOne()) {
    if (node != nullptr) m_pStorage->ReturnNode(node);
    if (m_nCount == 0) ReleaseAll();
    return false;
  }
  m_pStorage->Add(pObject, node);
  node->object = pObject;
  node->prev = after;
  node->next = after ? after->next : m_pHead;
  (node->next ? node->next->prev : m_pTail) = node;
  (after ? after->next : m_pHead) = node;
  ++m_nCount;
  return true;
}

bool CkwServiceObjectList::kwAddServiceObject(CkwServiceObject* pObject, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_ADD);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  std::intptr_t found = 0;
  if (kwFindServiceObject(pObject, &found, nullptr)) return kwFAIL(record, kwERROR_ALREADY_PRESENT);
  if (!LinkAfter(pObject, m_pTail)) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  Notify();
  return true;
}

bool CkwServiceObjectList::kwRemoveServiceObject(CkwServiceObject* pObject,
                                                 CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_REMOVE);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  Node* node = FirstNodeOf(reinterpret_cast<std::intptr_t>(pObject));
  if (node == nullptr) return kwFAIL(record, kwERROR_NOT_FOUND);
  Unlink(node);
  Notify();
  return true;
}

bool CkwServiceObjectList::kwInsertServiceObject(CkwServiceObject* pObject, std::intptr_t nPosition,
                                                 CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_INSERT);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  std::intptr_t found = 0;
  if (kwFindServiceObject(pObject, &found, nullptr)) return kwFAIL(record, kwERROR_ALREADY_PRESENT);
  Node* after = nullptr;
  if (nPosition != 0 && (after = FirstNodeOf(nPosition)) == nullptr)
    return kwFAIL(record, kwERROR_INVALID_POSITION);
  if (!LinkAfter(pObject, after)) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  Notify();
  return true;
}

bool CkwServiceObjectList::kwReplaceServiceObject(std::intptr_t nPosition,
                                                  CkwServiceObject* pObject,
                                                  CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_REPLACE);
  if (nPosition == 0 || pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  std::intptr_t found = 0;
  if (kwFindServiceObject(pObject, &found, nullptr) && found != nPosition)
    return kwFAIL(record, kwERROR_ALREADY_PRESENT);
  Node* node = FirstNodeOf(nPosition);
  if (node == nullptr) return kwFAIL(record, kwERROR_INVALID_POSITION);
  CkwServiceObject* replaced = node->object;
  if (replaced != pObject) {
    // Removing first leaves room, so the add below cannot need memory.
    m_pStorage->Remove(replaced, node);
    m_pStorage->Add(pObject, node);
    node->object = pObject;
    if (!CkwObjectFactory::kwFreeObject(&replaced, pErrorInfo)) return false;
  }
  Notify();
  return true;
}

bool CkwServiceObjectList::kwGetFirstServiceObject(CkwServiceObject** ppObject,
                                                   std::intptr_t* pnPosition,
                                                   CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_FIRST);
  if (ppObject == nullptr || pnPosition == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (m_pHead == nullptr) {
    *ppObject = nullptr;
    *pnPosition = 0;
    return kwWARN(record, kwERROR_NOT_FOUND);
  }
  *ppObject = m_pHead->object;
  Node* next = m_pHead->next;
  m_pHint = next;
  *pnPosition = next ? reinterpret_cast<std::intptr_t>(next->object) : 0;
  return true;
}

inline bool CkwServiceObjectList::Step(CkwServiceObject** ppObject, std::intptr_t* pnPosition,
                                       bool forward, CkwErrorInfo* pErrorInfo) noexcept {
  std::int32_t method = forward ? CkwServiceObjectList::kwMETHOD_GET_NEXT
                                : CkwServiceObjectList::kwMETHOD_GET_PREVIOUS;
  CkwWorkingRecord record(pErrorInfo, kSource, method);
  if (ppObject == nullptr || pnPosition == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  Node* node = NodeAt(*pnPosition);
  if (node == nullptr) {
    *ppObject = nullptr;
    return kwWARN(record, kwERROR_NOT_FOUND);
  }
  *ppObject = node->object;
  Node* following = forward ? node->next : node->prev;
  m_pHint = following;
  *pnPosition = following ? reinterpret_cast<std::intptr_t>(following->object) : 0;
  return true;
}

bool CkwServiceObjectList::kwGetNextServiceObject(CkwServiceObject** ppObject,
                                                  std::intptr_t* pnPosition,
                                                  CkwErrorInfo* pErrorInfo) {
  return Step(ppObject, pnPosition, true, pErrorInfo);
}

bool CkwServiceObjectList::kwGetPreviousServiceObject(CkwServiceObject** ppObject,
                                                      std::intptr_t* pnPosition,
                                                      CkwErrorInfo* pErrorInfo) {
  return Step(ppObject, pnPosition, false, pErrorInfo);
}

bool CkwServiceObjectList::kwGetHeadServiceObject(CkwServiceObject** ppObject,
                                                  CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_HEAD);
  if (ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (m_pHead == nullptr) return kwWARN(record, kwERROR_NOT_FOUND);
  *ppObject = m_pHead->object;
  return true;
}

bool CkwServiceObjectList::kwGetTailServiceObject(CkwServiceObject** ppObject,
                                                  CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_TAIL);
  if (ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (m_pTail == nullptr) return kwWARN(record, kwERROR_NOT_FOUND);
  *ppObject = m_pTail->object;
  return true;
}

bool CkwServiceObjectList::kwFindServiceObject(CkwServiceObject* pObject, std::intptr_t* pnPosition,
                                               CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_FIND);
  if (pObject == nullptr || pnPosition == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (FirstNodeOf(reinterpret_cast<std::intptr_t>(pObject)) == nullptr) {
    *pnPosition = 0;
    return kwWARN(record, kwERROR_NOT_FOUND);
  }
  *pnPosition = reinterpret_cast<std::intptr_t>(pObject);
  return true;
}

bool CkwServiceObjectList::kwGetTotalCount(int* pnCount, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_TOTAL_COUNT);
  if (pnCount == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pnCount = m_nCount;
  return true;
}

bool CkwServiceObjectList::kwGetHeadServiceObjectPos(std::intptr_t* pnPosition,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_HEAD_POS);
  if (pnPosition == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  CkwServiceObject* head = nullptr;
  kwGetHeadServiceObject(&head, nullptr);
  *pnPosition = reinterpret_cast<std::intptr_t>(head);
  return true;
}

bool CkwServiceObjectList::kwGetTailServiceObjectPos(std::intptr_t* pnPosition,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObjectList::kwMETHOD_GET_TAIL_POS);
  if (pnPosition == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  CkwServiceObject* tail = nullptr;
  kwGetTailServiceObject(&tail, nullptr);
  *pnPosition = reinterpret_cast<std::intptr_t>(tail);
  return true;
}
