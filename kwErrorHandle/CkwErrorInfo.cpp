#include <kwcore/CkwErrorInfo.h>

#include <array>
#include <atomic>
#include <mutex>
#include <new>

CkwErrorInfo::CkwErrorInfo()
    : m_pCategory(nullptr),
      m_nErrorCode(0),
      m_nSeverity(0),
      m_pSource(nullptr),
      m_nMethod(0),
      m_nLine(0) {}

CkwErrorInfo::~CkwErrorInfo() = default;

namespace {

// A plain copy of the six fields: the manager's storage must not depend on
// the caller's dynamic type, and copying through a derived record's
// assignment would slice or, worse, run foreign code under our lock.
struct StoredRecord {
  const GUID* category;
  std::int32_t code;
  std::int32_t severity;
  const GUID* source;
  std::int32_t method;
  std::int32_t line;
};

std::atomic<bool> g_bEnabled{true};

}  // namespace

struct CkwGlobalErrorManager::State {
  mutable std::mutex lock;
  // Guarded by `lock`: a ring of the newest records.
  std::array<StoredRecord, kCapacity> ring{};
  std::size_t start = 0;
  std::size_t count = 0;
  std::uint64_t total = 0;
};

namespace {

// Caller holds the state's lock.
bool CopyOut(const CkwGlobalErrorManager::State& s, std::size_t index, CkwErrorInfo* pOut) {
  if (index >= s.count) return false;
  const StoredRecord& r = s.ring[(s.start + index) % CkwGlobalErrorManager::kCapacity];
  pOut->m_pCategory = r.category;
  pOut->m_nErrorCode = r.code;
  pOut->m_nSeverity = r.severity;
  pOut->m_pSource = r.source;
  pOut->m_nMethod = r.method;
  pOut->m_nLine = r.line;
  return true;
}

}  // namespace

CkwGlobalErrorManager::CkwGlobalErrorManager() : m_pState(new (std::nothrow) State) {}
CkwGlobalErrorManager::~CkwGlobalErrorManager() { delete m_pState; }

CkwGlobalErrorManager* CkwGlobalErrorManager::kwGetGlobalErrorManager() {
  // Constructed on first use and never destroyed, so reports made from other
  // libraries' static destructors at process exit still find it alive.
  // Without memory for it there is no manager, which reporters already
  // handle: nothing may throw out of here.
  static CkwGlobalErrorManager* const manager = [] {
    auto* created = new (std::nothrow) CkwGlobalErrorManager;
    if (created != nullptr && created->m_pState == nullptr) {
      delete created;
      created = nullptr;
    }
    return created;
  }();
  return g_bEnabled.load(std::memory_order_acquire) ? manager : nullptr;
}

void CkwGlobalErrorManager::kwEnableGlobalErrorManager(bool enable) {
  g_bEnabled.store(enable, std::memory_order_release);
}

void CkwGlobalErrorManager::kwSetErrorInfo(const CkwErrorInfo* pErrorInfo) {
  if (pErrorInfo == nullptr) return;
  const StoredRecord record{pErrorInfo->m_pCategory, pErrorInfo->m_nErrorCode,
                            pErrorInfo->m_nSeverity, pErrorInfo->m_pSource,
                            pErrorInfo->m_nMethod,   pErrorInfo->m_nLine};
  std::lock_guard guard(m_pState->lock);
  State& s = *m_pState;
  if (s.count < kCapacity) {
    s.ring[(s.start + s.count) % kCapacity] = record;
    ++s.count;
  } else {
    s.ring[s.start] = record;
    s.start = (s.start + 1) % kCapacity;
  }
  ++s.total;
}

std::size_t CkwGlobalErrorManager::kwGetErrorCount() const {
  std::lock_guard guard(m_pState->lock);
  return m_pState->count;
}

std::uint64_t CkwGlobalErrorManager::kwGetTotalErrorCount() const {
  std::lock_guard guard(m_pState->lock);
  return m_pState->total;
}

bool CkwGlobalErrorManager::kwGetErrorInfo(std::size_t index, CkwErrorInfo* pOut) const {
  if (pOut == nullptr) return false;
  std::lock_guard guard(m_pState->lock);
  return CopyOut(*m_pState, index, pOut);
}

bool CkwGlobalErrorManager::kwGetLastErrorInfo(CkwErrorInfo* pOut) const {
  if (pOut == nullptr) return false;
  std::lock_guard guard(m_pState->lock);
  return m_pState->count != 0 && CopyOut(*m_pState, m_pState->count - 1, pOut);
}

void CkwGlobalErrorManager::kwClearErrorInfo() {
  std::lock_guard guard(m_pState->lock);
  m_pState->start = 0;
  m_pState->count = 0;
  m_pState->total = 0;
}
