// IStorage, IStream and IEnumSTATSTG over the in-memory tree of a compound
// file, the entry points that create and open roots, and the atomic commit
// that replaces a file on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

#include "CkwCompoundFile.h"
#include "kwAtomicFile.h"
#include "kwModule.h"
#include "kwPosixFile.h"
#include "kwUtf8.h"

using kwcfb::Guarded;
using kwcfb::Node;

// The helpers here may throw std::bad_alloc: every method and entry point
// that allocates runs its body under Guarded, which turns that into
// STG_E_INSUFFICIENTMEMORY in one place.
namespace {

/// Asks a storage of ours for its implementation (AddRef'd), so that entry
/// points taking an IStorage* can tell our objects from others.
constexpr IID kIID_CkwStorageImpl = {
    0x6B2F61E4, 0x3C0D, 0x4E8A, {0x9A, 0x57, 0x21, 0xC4, 0x8E, 0x0B, 0x73, 0xD6}};

// ---------------------------------------------------------------------------
// Files

// The table lives with the file mechanics, which need it too.
HRESULT FromErrno(int error, HRESULT fallback) { return kwStorageResultFromErrno(error, fallback); }

HRESULT ReadWholeFile(const std::string& path, std::vector<BYTE>* bytes) {
  struct stat st;
  CkwFd fd(kwOpenWithoutBlocking(path.c_str(), &st));
  if (fd.get() < 0) {
    int error = errno;
    return error == ENOENT ? STG_E_FILENOTFOUND : FromErrno(error, STG_E_READFAULT);
  }
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? STG_E_ACCESSDENIED : STG_E_INVALIDHEADER;
  bytes->resize(static_cast<std::size_t>(st.st_size));
  ssize_t done = kwReadFull(fd.get(), bytes->data(), bytes->size());
  if (done < 0) return FromErrno(errno, STG_E_READFAULT);
  bytes->resize(static_cast<std::size_t>(done));  // less when the file shrank under us
  return S_OK;
}

/// Replaces the file at `target` (from kwResolveReplaceTarget) by `image`
/// so that a failure or a crash at any moment leaves the old file or the new
/// one.
HRESULT WriteFileAtomically(const std::string& target, const std::vector<BYTE>& image) {
  CkwAtomicFile file;
  HRESULT hr = file.Begin(target);
  if (FAILED(hr)) return hr;
  if (!kwWriteAll(file.Fd(), image.data(), image.size())) return FromErrno(errno, STG_E_WRITEFAULT);
  return file.Commit();
}

// ---------------------------------------------------------------------------
// Shared state of one root and everything opened from it.

std::shared_ptr<Node> EmptyRoot() {
  auto root = std::make_shared<Node>();
  root->name = u"Root Entry";
  return root;
}

struct Tree {
  std::shared_ptr<Node> root;
  bool writable = false;
  bool inMemory = false;
  std::string path;             // file roots: as the caller named the file
  std::string target;           // file roots: the file Commit replaces, links resolved
  bool changed = false;         // since the open or the last Commit or Revert
  bool replacePending = false;  // created over a file that the first Commit replaces
  std::vector<BYTE> committed;  // memory roots: the image Revert returns to
};

HRESULT AccessFromMode(DWORD grfMode, bool* wantsWrite) {
  DWORD access = grfMode & 3;
  if (access == 3) return STG_E_INVALIDFLAG;
  *wantsWrite = access != STGM_READ;
  return S_OK;
}

/// Reads a caller's element name: NUL-terminated, at most 31 units, none of
/// the reserved characters.
HRESULT NameFrom(const OLECHAR* text, std::u16string* name) {
  if (!text) return STG_E_INVALIDPOINTER;
  name->clear();
  for (std::size_t i = 0; text[i] != 0; ++i) {
    if (i == 31) return STG_E_INVALIDNAME;
    name->push_back(text[i]);
  }
  return kwcfb::IsValidName(*name) ? S_OK : STG_E_INVALIDNAME;
}

/// A file root's Stat name: its path, decoded from UTF-8 where it is valid
/// (other bytes become U+FFFD).
std::u16string PathName(const std::string& path) {
  std::u16string name;
  const auto* bytes = reinterpret_cast<const unsigned char*>(path.data());
  for (std::size_t i = 0; i < path.size();) {
    char32_t code;
    int used = kwDecodeUtf8(bytes + i, path.size() - i, &code);
    if (used == 0) code = u'\uFFFD', used = 1;
    char16_t units[2];
    name.append(units, static_cast<std::size_t>(kwEncodeUtf16(code, units)));
    i += static_cast<std::size_t>(used);
  }
  return name;
}

/// A NUL-terminated copy of `name` that the caller frees with CoTaskMemFree,
/// or null when memory runs out.
OLECHAR* CopyName(const std::u16string& name) {
  auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
  if (copy) std::memcpy(copy, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
  return copy;
}

HRESULT FillStat(const Node& node, const std::u16string& name, DWORD grfMode, DWORD flag,
                 STATSTG* stat) {
  if (!stat) return STG_E_INVALIDPOINTER;
  if (flag > (STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
  std::memset(stat, 0, sizeof *stat);
  if (!(flag & STATFLAG_NONAME)) {
    stat->pwcsName = CopyName(name);
    if (!stat->pwcsName) return STG_E_INSUFFICIENTMEMORY;
  }
  stat->type = node.type;
  stat->cbSize.QuadPart = node.type == STGTY_STREAM ? node.data.size() : 0;
  stat->mtime = node.mtime;
  stat->ctime = node.ctime;
  stat->grfMode = grfMode;
  stat->clsid = node.clsid;
  stat->grfStateBits = node.stateBits;
  return S_OK;
}

// ---------------------------------------------------------------------------

// COM identity and reference counting, shared by the storage, stream and
// enumerator objects: the object answers for IUnknown and every IID listed,
// and deletes itself when the last reference goes.
template <class Interface, const IID&... kAnswered>
class CkwComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || ((riid == kAnswered) || ...)) {
      *ppv = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

 protected:
  virtual ~CkwComObject() = default;

 private:
  std::atomic<ULONG> m_refs{1};
};

class CkwStream final : public CkwComObject<IStream, IID_ISequentialStream, IID_IStream> {
 public:
  CkwStream(std::shared_ptr<Tree> tree, std::shared_ptr<Node> node, DWORD grfMode, bool writable)
      : m_tree(std::move(tree)), m_node(std::move(node)), m_mode(grfMode), m_writable(writable) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!m_node->live) return STG_E_REVERTED;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    const std::vector<BYTE>& data = m_node->data;
    ULONG n = 0;
    if (m_position < data.size())
      n = static_cast<ULONG>(std::min<std::uint64_t>(cb, data.size() - m_position));
    if (n) std::memcpy(pv, data.data() + m_position, n);
    m_position += n;
    if (pcbRead) *pcbRead = n;
    return S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!m_node->live) return STG_E_REVERTED;
    if (!m_writable) return STG_E_ACCESSDENIED;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (cb == 0) return S_OK;
    std::uint64_t end = m_position + cb;
    if (end > kwcfb::kMaxStreamSize) return STG_E_MEDIUMFULL;
    std::vector<BYTE>& data = m_node->data;
    if (end > data.size()) {
      HRESULT hr = Guarded([&] {
        data.resize(static_cast<std::size_t>(end));
        return S_OK;
      });
      if (FAILED(hr)) return hr;
    }
    std::memcpy(data.data() + m_position, pv, cb);
    m_position = end;
    m_tree->changed = true;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    if (!m_node->live) return STG_E_REVERTED;
    std::int64_t base;
    switch (dwOrigin) {
      case STREAM_SEEK_SET:
        base = 0;
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<std::int64_t>(m_position);
        break;
      case STREAM_SEEK_END:
        base = static_cast<std::int64_t>(m_node->data.size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    std::int64_t move = dlibMove.QuadPart;
    std::int64_t target;
    if (__builtin_add_overflow(base, move, &target) || target < 0) return STG_E_INVALIDFUNCTION;
    m_position = static_cast<std::uint64_t>(target);
    if (plibNewPosition) plibNewPosition->QuadPart = m_position;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
    if (!m_node->live) return STG_E_REVERTED;
    if (!m_writable) return STG_E_ACCESSDENIED;
    if (libNewSize.QuadPart > kwcfb::kMaxStreamSize) return STG_E_MEDIUMFULL;
    return Guarded([&] {
      m_node->data.resize(static_cast<std::size_t>(libNewSize.QuadPart));
      m_tree->changed = true;
      return S_OK;
    });
  }

  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return STG_E_UNIMPLEMENTEDFUNCTION;
  }
  HRESULT Commit(DWORD) override { return m_node->live ? S_OK : STG_E_REVERTED; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_UNIMPLEMENTEDFUNCTION;
  }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_UNIMPLEMENTEDFUNCTION;
  }
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (!m_node->live) return STG_E_REVERTED;
    return FillStat(*m_node, m_node->name, m_mode, grfStatFlag, pstatstg);
  }
  HRESULT Clone(IStream** ppstm) override {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (!m_node->live) return STG_E_REVERTED;
    auto* clone = new (std::nothrow) CkwStream(m_tree, m_node, m_mode, m_writable);
    if (!clone) return STG_E_INSUFFICIENTMEMORY;
    clone->m_position = m_position;
    *ppstm = clone;
    return S_OK;
  }

 private:
  ~CkwStream() = default;

  std::shared_ptr<Tree> m_tree;  // keeps the tree's state alive while the stream is
  std::shared_ptr<Node> m_node;
  DWORD m_mode;
  bool m_writable;
  std::uint64_t m_position = 0;
};

// ---------------------------------------------------------------------------

/// What an enumerator hands out: a snapshot taken when it was made, so that
/// changes to the storage during enumeration cannot invalidate it.
struct EnumItem {
  std::u16string name;
  STATSTG stat;
};

class CkwEnumSTATSTG final : public CkwComObject<IEnumSTATSTG, IID_IEnumSTATSTG> {
 public:
  explicit CkwEnumSTATSTG(std::shared_ptr<const std::vector<EnumItem>> items)
      : m_items(std::move(items)) {}

  HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt && celt) return STG_E_INVALIDPOINTER;
    if (!pceltFetched && celt > 1) return STG_E_INVALIDPARAMETER;
    ULONG fetched = 0;
    while (fetched < celt && m_next < m_items->size()) {
      const EnumItem& item = (*m_items)[m_next];
      STATSTG& out = rgelt[fetched];
      out = item.stat;
      out.pwcsName = CopyName(item.name);
      if (!out.pwcsName) {
        for (ULONG i = 0; i < fetched; ++i) {
          CoTaskMemFree(rgelt[i].pwcsName);
          rgelt[i].pwcsName = nullptr;
        }
        m_next -= fetched;
        return STG_E_INSUFFICIENTMEMORY;
      }
      ++fetched;
      ++m_next;
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    std::size_t left = m_items->size() - m_next;
    if (celt > left) {
      m_next = m_items->size();
      return S_FALSE;
    }
    m_next += celt;
    return S_OK;
  }
  HRESULT Reset() override {
    m_next = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumSTATSTG** ppenum) override {
    if (!ppenum) return STG_E_INVALIDPOINTER;
    auto* clone = new (std::nothrow) CkwEnumSTATSTG(m_items);
    *ppenum = clone;
    if (!clone) return STG_E_INSUFFICIENTMEMORY;
    clone->m_next = m_next;
    return S_OK;
  }

 private:
  ~CkwEnumSTATSTG() = default;

  std::shared_ptr<const std::vector<EnumItem>> m_items;
  std::size_t m_next = 0;
};

// ---------------------------------------------------------------------------

/// Tells the host that the changes of a file root die with it: forgetting
/// Commit loses work silently otherwise.
void DiagnoseUncommitted(const std::string& path) noexcept {
  char message[2048];
  std::snprintf(message, sizeof message,
                "kwcore: root storage of '%s' released without Commit; its changes are lost",
                path.c_str());
  kwDiagnose(message);
}

class CkwStorage final : public CkwComObject<IStorage, IID_IStorage, kIID_CkwStorageImpl> {
 public:
  /// A root (node null: it follows the tree's root through Revert) or a
  /// sub-storage.
  CkwStorage(std::shared_ptr<Tree> tree, std::shared_ptr<Node> node, DWORD grfMode, bool writable)
      : m_tree(std::move(tree)), m_node(std::move(node)), m_mode(grfMode), m_writable(writable) {}

  Node& Self() const { return m_node ? *m_node : *m_tree->root; }
  bool IsRoot() const { return !m_node; }

  HRESULT CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD, DWORD,
                       IStream** ppstm) override {
    return Guarded([&]() -> HRESULT {
      if (!ppstm) return STG_E_INVALIDPOINTER;
      *ppstm = nullptr;
      std::shared_ptr<Node> node;
      HRESULT hr = CreateElement(pwcsName, grfMode, STGTY_STREAM, &node);
      if (FAILED(hr)) return hr;
      bool wantsWrite = false;
      AccessFromMode(grfMode, &wantsWrite);
      *ppstm = new (std::nothrow) CkwStream(m_tree, node, grfMode, wantsWrite);
      return *ppstm ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT OpenStream(const OLECHAR* pwcsName, void*, DWORD grfMode, DWORD,
                     IStream** ppstm) override {
    return Guarded([&]() -> HRESULT {
      if (!ppstm) return STG_E_INVALIDPOINTER;
      *ppstm = nullptr;
      std::shared_ptr<Node> node;
      bool wantsWrite = false;
      HRESULT hr = OpenElement(pwcsName, grfMode, STGTY_STREAM, &node, &wantsWrite);
      if (FAILED(hr)) return hr;
      *ppstm = new (std::nothrow) CkwStream(m_tree, node, grfMode, wantsWrite);
      return *ppstm ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD, DWORD,
                        IStorage** ppstg) override {
    return Guarded([&]() -> HRESULT {
      if (!ppstg) return STG_E_INVALIDPOINTER;
      *ppstg = nullptr;
      std::shared_ptr<Node> node;
      HRESULT hr = CreateElement(pwcsName, grfMode, STGTY_STORAGE, &node);
      if (FAILED(hr)) return hr;
      bool wantsWrite = false;
      AccessFromMode(grfMode, &wantsWrite);
      *ppstg = new (std::nothrow) CkwStorage(m_tree, node, grfMode, wantsWrite);
      return *ppstg ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                      SNB snbExclude, DWORD, IStorage** ppstg) override {
    return Guarded([&]() -> HRESULT {
      if (!ppstg) return STG_E_INVALIDPOINTER;
      *ppstg = nullptr;
      if (pstgPriority || snbExclude) return STG_E_INVALIDPARAMETER;
      std::shared_ptr<Node> node;
      bool wantsWrite = false;
      HRESULT hr = OpenElement(pwcsName, grfMode, STGTY_STORAGE, &node, &wantsWrite);
      if (FAILED(hr)) return hr;
      *ppstg = new (std::nothrow) CkwStorage(m_tree, node, grfMode, wantsWrite);
      return *ppstg ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT CopyTo(DWORD, const IID*, SNB, IStorage*) override { return STG_E_UNIMPLEMENTEDFUNCTION; }
  HRESULT MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override {
    return STG_E_UNIMPLEMENTEDFUNCTION;
  }

  HRESULT Commit(DWORD) override {
    return Guarded([&]() -> HRESULT {
      if (!Self().live) return STG_E_REVERTED;
      if (!IsRoot() || !m_tree->writable) return S_OK;
      std::vector<BYTE> image;
      HRESULT hr = kwcfb::Serialize(*m_tree->root, &image);
      if (FAILED(hr)) return hr;
      if (m_tree->inMemory) {
        m_tree->committed.swap(image);
      } else {
        hr = WriteFileAtomically(m_tree->target, image);
        if (FAILED(hr)) return hr;
      }
      m_tree->changed = m_tree->replacePending = false;
      return S_OK;
    });
  }

  HRESULT Revert() override {
    return Guarded([&]() -> HRESULT {
      if (!Self().live) return STG_E_REVERTED;
      if (!IsRoot() || !m_tree->writable) return S_OK;
      std::shared_ptr<Node> fresh;
      HRESULT hr;
      if (m_tree->replacePending) {
        // The file there is not the one created: return to the empty root.
        fresh = EmptyRoot();
        hr = S_OK;
      } else if (m_tree->inMemory) {
        if (m_tree->committed.empty()) {
          fresh = EmptyRoot();
          hr = S_OK;
        } else {
          hr = kwcfb::Parse(m_tree->committed.data(), m_tree->committed.size(), &fresh);
        }
      } else {
        std::vector<BYTE> bytes;
        hr = ReadWholeFile(m_tree->target, &bytes);
        if (SUCCEEDED(hr)) hr = kwcfb::Parse(bytes.data(), bytes.size(), &fresh);
      }
      if (FAILED(hr)) return hr;
      // The old root object stays usable; everything opened below it is gone.
      for (auto& [name, child] : m_tree->root->children) kwcfb::Retire(*child);
      m_tree->root = std::move(fresh);
      m_tree->changed = m_tree->replacePending;
      return S_OK;
    });
  }

  HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) override {
    return Guarded([&]() -> HRESULT {
      if (!ppenum) return STG_E_INVALIDPOINTER;
      *ppenum = nullptr;
      Node& self = Self();
      if (!self.live) return STG_E_REVERTED;
      auto items = std::make_shared<std::vector<EnumItem>>();
      items->reserve(self.children.size());
      for (const auto& [key, child] : self.children) {
        EnumItem item;
        item.name = child->name;
        FillStat(*child, child->name, 0, STATFLAG_NONAME, &item.stat);
        items->push_back(std::move(item));
      }
      *ppenum = new (std::nothrow) CkwEnumSTATSTG(std::move(items));
      return *ppenum ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT DestroyElement(const OLECHAR* pwcsName) override {
    return Guarded([&]() -> HRESULT {
      std::u16string name;
      HRESULT hr = CheckChange(pwcsName, &name);
      if (FAILED(hr)) return hr;
      auto it = Self().children.find(kwcfb::Key(name));
      if (it == Self().children.end()) return STG_E_FILENOTFOUND;
      kwcfb::Retire(*it->second);
      Self().children.erase(it);
      m_tree->changed = true;
      return S_OK;
    });
  }

  HRESULT RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) override {
    return Guarded([&]() -> HRESULT {
      std::u16string oldName, newName;
      HRESULT hr = CheckChange(pwcsOldName, &oldName);
      if (FAILED(hr)) return hr;
      hr = NameFrom(pwcsNewName, &newName);
      if (FAILED(hr)) return hr;
      auto& children = Self().children;
      auto it = children.find(kwcfb::Key(oldName));
      if (it == children.end()) return STG_E_FILENOTFOUND;
      auto clash = children.find(kwcfb::Key(newName));
      if (clash != children.end() && clash != it) return STG_E_FILEALREADYEXISTS;
      std::u16string newKey = kwcfb::Key(newName);  // before the element leaves the map
      auto handle = children.extract(it);
      handle.key() = std::move(newKey);
      handle.mapped()->name.swap(newName);  // cannot throw with the element outside
      children.insert(std::move(handle));
      m_tree->changed = true;
      return S_OK;
    });
  }

  HRESULT SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*,
                          const FILETIME*) override {
    return STG_E_UNIMPLEMENTEDFUNCTION;
  }

  HRESULT SetClass(REFCLSID clsid) override {
    if (!Self().live) return STG_E_REVERTED;
    if (!m_writable) return STG_E_ACCESSDENIED;
    Self().clsid = clsid;
    m_tree->changed = true;
    return S_OK;
  }

  HRESULT SetStateBits(DWORD, DWORD) override { return STG_E_UNIMPLEMENTEDFUNCTION; }

  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    return Guarded([&]() -> HRESULT {
      Node& self = Self();
      if (!self.live) return STG_E_REVERTED;
      std::u16string name = self.name;
      if (IsRoot() && !m_tree->inMemory) name = PathName(m_tree->path);
      return FillStat(self, name, m_mode, grfStatFlag, pstatstg);
    });
  }

 private:
  ~CkwStorage() {
    if (IsRoot() && m_tree->changed && !m_tree->inMemory) DiagnoseUncommitted(m_tree->path);
  }

  HRESULT CheckChange(const OLECHAR* pwcsName, std::u16string* name) {
    if (!Self().live) return STG_E_REVERTED;
    HRESULT hr = NameFrom(pwcsName, name);
    if (FAILED(hr)) return hr;
    return m_writable ? S_OK : STG_E_ACCESSDENIED;
  }

  HRESULT CreateElement(const OLECHAR* pwcsName, DWORD grfMode, DWORD type,
                        std::shared_ptr<Node>* out) {
    std::u16string name;
    HRESULT hr = CheckChange(pwcsName, &name);
    if (FAILED(hr)) return hr;
    bool wantsWrite = false;
    hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    auto node = std::make_shared<Node>();
    node->name = name;
    node->type = type;
    auto& children = Self().children;
    std::u16string key = kwcfb::Key(name);
    // One descent finds both a namesake and the place for the new element.
    auto it = children.lower_bound(key);
    if (it != children.end() && !kwcfb::KeyLess()(key, it->first)) {
      if (!(grfMode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
      kwcfb::Retire(*it->second);
      it = children.erase(it);
    }
    children.emplace_hint(it, std::move(key), node);
    m_tree->changed = true;
    *out = std::move(node);
    return S_OK;
  }

  HRESULT OpenElement(const OLECHAR* pwcsName, DWORD grfMode, DWORD type,
                      std::shared_ptr<Node>* out, bool* wantsWrite) {
    if (!Self().live) return STG_E_REVERTED;
    std::u16string name;
    HRESULT hr = NameFrom(pwcsName, &name);
    if (FAILED(hr)) return hr;
    hr = AccessFromMode(grfMode, wantsWrite);
    if (FAILED(hr)) return hr;
    if (*wantsWrite && !m_writable) return STG_E_ACCESSDENIED;
    auto it = Self().children.find(kwcfb::Key(name));
    if (it == Self().children.end() || it->second->type != type) return STG_E_FILENOTFOUND;
    *out = it->second;
    return S_OK;
  }

  std::shared_ptr<Tree> m_tree;
  std::shared_ptr<Node> m_node;
  DWORD m_mode;
  bool m_writable;
};

HRESULT MakeRoot(std::shared_ptr<Node> root, bool writable, bool inMemory, const char* path,
                 DWORD grfMode, IStorage** ppstg, std::string target = {},
                 bool replacePending = false) {
  auto tree = std::make_shared<Tree>();
  tree->root = std::move(root);
  tree->writable = writable;
  tree->inMemory = inMemory;
  if (path) tree->path = path;
  tree->target = target.empty() ? tree->path : std::move(target);
  tree->changed = tree->replacePending = replacePending;
  *ppstg = new (std::nothrow) CkwStorage(std::move(tree), nullptr, grfMode, writable);
  return *ppstg ? S_OK : STG_E_INSUFFICIENTMEMORY;
}

}  // namespace

KWPLATFORM_API void* CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb ? cb : 1); }
KWPLATFORM_API void CoTaskMemFree(void* pv) { std::free(pv); }

KWPLATFORM_API HRESULT StgCreateDocfile(const char* pszPath, DWORD grfMode, DWORD reserved,
                                        IStorage** ppstgOpen) {
  return Guarded([&]() -> HRESULT {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pszPath) return STG_E_INVALIDPOINTER;
    if (reserved != 0) return STG_E_INVALIDPARAMETER;
    bool wantsWrite = false;
    HRESULT hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    std::string target;
    hr = kwResolveReplaceTarget(pszPath, &target);
    if (FAILED(hr)) return hr;
    // Begun here so that a path that cannot be written fails now.
    CkwAtomicFile file;
    hr = file.Begin(target);
    if (FAILED(hr)) return hr;
    std::shared_ptr<Node> root = EmptyRoot();
    // An existing file is the last good save: it stays until the first Commit
    // replaces it. A new one is written empty at once.
    if (!file.Replaces()) {
      std::vector<BYTE> image;
      hr = kwcfb::Serialize(*root, &image);
      if (SUCCEEDED(hr) && !kwWriteAll(file.Fd(), image.data(), image.size()))
        hr = FromErrno(errno, STG_E_WRITEFAULT);
      if (SUCCEEDED(hr)) hr = file.Commit();
      if (FAILED(hr)) return hr;
    }
    return MakeRoot(std::move(root), true, false, pszPath, grfMode | STGM_READWRITE, ppstgOpen,
                    std::move(target), file.Replaces());
  });
}

KWPLATFORM_API HRESULT StgOpenStorage(const char* pszPath, IStorage* pstgPriority, DWORD grfMode,
                                      SNB snbExclude, DWORD reserved, IStorage** ppstgOpen) {
  return Guarded([&]() -> HRESULT {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pszPath) return STG_E_INVALIDPOINTER;
    if (pstgPriority || snbExclude || reserved != 0) return STG_E_INVALIDPARAMETER;
    bool wantsWrite = false;
    HRESULT hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    if (wantsWrite && ::access(pszPath, W_OK) != 0 && errno != ENOENT)
      return FromErrno(errno, STG_E_ACCESSDENIED);
    std::vector<BYTE> bytes;
    hr = ReadWholeFile(pszPath, &bytes);
    if (FAILED(hr)) return hr;
    std::shared_ptr<Node> root;
    hr = kwcfb::Parse(bytes.data(), bytes.size(), &root);
    if (FAILED(hr)) return hr;
    // Commit replaces the file a link names, never the link.
    std::string target;
    if (wantsWrite) {
      hr = kwResolveReplaceTarget(pszPath, &target);
      if (FAILED(hr)) return hr;
      kwRemoveStaleTemporaries(target);
    }
    return MakeRoot(std::move(root), wantsWrite, false, pszPath, grfMode, ppstgOpen,
                    std::move(target));
  });
}

KWPLATFORM_API HRESULT StgCreateMemoryDocfile(DWORD grfMode, IStorage** ppstgOpen) {
  return Guarded([&]() -> HRESULT {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    bool wantsWrite = false;
    HRESULT hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    return MakeRoot(EmptyRoot(), true, true, nullptr, grfMode | STGM_READWRITE, ppstgOpen);
  });
}

KWPLATFORM_API HRESULT StgOpenMemoryDocfile(const void* pv, std::size_t cb, DWORD grfMode,
                                            IStorage** ppstgOpen) {
  return Guarded([&]() -> HRESULT {
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    bool wantsWrite = false;
    HRESULT hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    std::shared_ptr<Node> root;
    hr = kwcfb::Parse(static_cast<const BYTE*>(pv), cb, &root);
    if (FAILED(hr)) return hr;
    CkwComPtr<IStorage> storage;
    hr = MakeRoot(std::move(root), wantsWrite, true, nullptr, grfMode, storage.put());
    // Revert returns to the bytes the root was opened from.
    if (SUCCEEDED(hr) && wantsWrite) hr = storage->Commit(STGC_DEFAULT);
    if (FAILED(hr)) return hr;
    *ppstgOpen = storage.release();
    return S_OK;
  });
}

KWPLATFORM_API HRESULT StgSaveToMemory(IStorage* pstg, void** ppv, std::size_t* pcb) {
  return Guarded([&]() -> HRESULT {
    if (!ppv || !pcb) return STG_E_INVALIDPOINTER;
    *ppv = nullptr;
    *pcb = 0;
    if (!pstg) return STG_E_INVALIDPOINTER;
    void* raw = nullptr;
    if (FAILED(pstg->QueryInterface(kIID_CkwStorageImpl, &raw))) return STG_E_INVALIDPARAMETER;
    CkwComPtr<IStorage> storage(static_cast<IStorage*>(raw));
    const Node& self = static_cast<CkwStorage*>(storage.get())->Self();
    if (!self.live) return STG_E_REVERTED;
    std::vector<BYTE> image;
    HRESULT hr = kwcfb::Serialize(self, &image);
    if (FAILED(hr)) return hr;
    void* copy = CoTaskMemAlloc(image.size());
    if (!copy) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(copy, image.data(), image.size());
    *ppv = copy;
    *pcb = image.size();
    return S_OK;
  });
}

KWPLATFORM_API HRESULT StgIsStorageFile(const char* pszPath) {
  if (!pszPath) return STG_E_INVALIDPOINTER;
  struct stat st;
  CkwFd fd(kwOpenWithoutBlocking(pszPath, &st));
  if (fd.get() < 0) return STG_E_FILENOTFOUND;
  if (!S_ISREG(st.st_mode)) return S_FALSE;
  BYTE head[sizeof kwcfb::kSignature];
  bool match = kwReadFull(fd.get(), head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
               std::memcmp(head, kwcfb::kSignature, sizeof head) == 0;
  return match ? S_OK : S_FALSE;
}
