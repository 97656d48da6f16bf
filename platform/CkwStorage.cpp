// IStorage, IStream and IEnumSTATSTG over the tree of a compound file (stream
// bytes stay in the file until changed), the entry points that create and open
// roots, and the atomic commit that replaces a file on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

#include "CkwCompoundFile.h"
#include "kwAtomicFile.h"
#include "kwModule.h"
#include "kwPosixFile.h"
#include "kwUtf8.h"

using kwcfb::Arena;
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

/// Opens `path` for reading positionally from then on. Anything but a regular
/// file is refused, without blocking on a FIFO.
HRESULT OpenSource(const std::string& path, std::shared_ptr<const kwcfb::Source>* source) {
  struct stat st;
  CkwFd fd(kwOpenWithoutBlocking(path.c_str(), &st));
  if (fd.get() < 0) {
    int error = errno;
    return error == ENOENT ? STG_E_FILENOTFOUND : FromErrno(error, STG_E_READFAULT);
  }
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? STG_E_ACCESSDENIED : STG_E_INVALIDHEADER;
  *source = std::make_shared<kwcfb::Source>(fd.get(), static_cast<std::uint64_t>(st.st_size));
  fd.Release();
  return S_OK;
}

// ---------------------------------------------------------------------------
// Shared state of one root and everything opened from it.

struct Tree {
  std::shared_ptr<Arena> arena;  // the nodes of the tree as it is now
  Node* root = nullptr;
  /// Where unchanged stream bytes are read from: the file (or image) last
  /// opened or committed; null while no stream has unchanged bytes.
  std::shared_ptr<const kwcfb::Tables> tables;
  bool writable = false;
  bool inMemory = false;
  std::string path;             // file roots: as the caller named the file
  std::string target;           // file roots: the file Commit replaces, links resolved
  bool changed = false;         // since the open or the last Commit or Revert
  bool replacePending = false;  // created over a file that the first Commit replaces
  /// The file the next Commit puts in place, once a large stream went there.
  std::shared_ptr<kwcfb::Spill> spill;

  /// Where changed streams of this tree go once large: nowhere for roots in
  /// memory, which keep everything there.
  std::shared_ptr<kwcfb::Spill> SpillForStreams() {
    if (inMemory || !writable) return nullptr;
    if (!spill) spill = std::make_shared<kwcfb::Spill>(target);
    return spill;
  }
};

void EmptyRoot(kwcfb::Parsed* parsed) {
  parsed->arena = std::make_shared<Arena>();
  parsed->root = parsed->arena->New();
  parsed->root->SetName(u"Root Entry");
  parsed->tables = nullptr;
}

HRESULT OpenFile(const std::string& path, kwcfb::Parsed* parsed) {
  std::shared_ptr<const kwcfb::Source> source;
  HRESULT hr = OpenSource(path, &source);
  return SUCCEEDED(hr) ? kwcfb::Open(std::move(source), parsed) : hr;
}

HRESULT AccessFromMode(DWORD grfMode, bool* wantsWrite) {
  DWORD access = grfMode & 3;
  if (access == 3) return STG_E_INVALIDFLAG;
  *wantsWrite = access != STGM_READ;
  return S_OK;
}

/// Reads a caller's element name: NUL-terminated, at most 31 units. A name
/// for a new element (`strict`) may not hold the reserved characters; one
/// that looks an element up may, since files from elsewhere carry such
/// names and every element that enumerates must open by its name.
/// A caller's element name and its folded form (as children are ordered
/// and looked up by), without allocating.
struct ElementName {
  char16_t text[31];
  char16_t key[31];
  std::size_t length = 0;
  std::u16string_view Text() const { return {text, length}; }
  std::u16string_view Key() const { return {key, length}; }
};

HRESULT NameFrom(const OLECHAR* text, ElementName* name, bool strict = true) {
  if (!text) return STG_E_INVALIDPOINTER;
  name->length = 0;
  for (std::size_t i = 0; text[i] != 0; ++i) {
    if (i == 31) return STG_E_INVALIDNAME;
    name->text[name->length++] = text[i];
  }
  if (name->length == 0) return STG_E_INVALIDNAME;
  kwcfb::FoldName(name->Text(), name->key);
  return !strict || kwcfb::IsValidName(name->Text()) ? S_OK : STG_E_INVALIDNAME;
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
OLECHAR* CopyName(std::u16string_view name) {
  auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
  if (copy) {
    std::memcpy(copy, name.data(), name.size() * sizeof(OLECHAR));
    copy[name.size()] = 0;
  }
  return copy;
}

HRESULT FillStat(const Node& node, std::u16string_view name, DWORD grfMode, DWORD flag,
                 STATSTG* stat) {
  if (!stat) return STG_E_INVALIDPOINTER;
  if (flag > (STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
  std::memset(stat, 0, sizeof *stat);
  if (!(flag & STATFLAG_NONAME)) {
    stat->pwcsName = CopyName(name);
    if (!stat->pwcsName) return STG_E_INSUFFICIENTMEMORY;
  }
  stat->type = node.type;
  stat->cbSize.QuadPart = node.type == STGTY_STREAM ? node.StreamSize() : 0;
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
  CkwStream(std::shared_ptr<Tree> tree, Node* node, DWORD grfMode, bool writable)
      : m_tree(std::move(tree)),
        m_arena(m_tree->arena),
        m_node(node),
        m_mode(grfMode),
        m_writable(writable) {}

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!m_node->live) return STG_E_REVERTED;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::uint64_t size = m_node->StreamSize();
    ULONG n = 0;
    if (m_position < size) n = static_cast<ULONG>(std::min<std::uint64_t>(cb, size - m_position));
    if (n) {
      HRESULT hr = m_node->chunks ? m_node->chunks->Read(m_position, pv, n)
                                  : ReadUnchanged(m_position, pv, n);
      if (FAILED(hr)) return hr;
    }
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
    HRESULT hr = Guarded([&] {
      HRESULT changed = Change(m_node->StreamSize());
      if (SUCCEEDED(changed)) changed = Outgrow(end);
      return SUCCEEDED(changed) ? m_node->chunks->Write(m_position, pv, cb) : changed;
    });
    if (FAILED(hr)) return hr;
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
        base = static_cast<std::int64_t>(m_node->StreamSize());
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
      HRESULT hr = Change(std::min<std::uint64_t>(libNewSize.QuadPart, m_node->StreamSize()));
      if (SUCCEEDED(hr)) hr = Outgrow(libNewSize.QuadPart);
      if (SUCCEEDED(hr)) hr = m_node->chunks->Resize(libNewSize.QuadPart);
      if (SUCCEEDED(hr)) m_tree->changed = true;
      return hr;
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
    return FillStat(*m_node, m_node->Name(), m_mode, grfStatFlag, pstatstg);
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

  // Reads bytes still in the file, through the stream's chain (found once
  // per committed file).
  HRESULT ReadUnchanged(std::uint64_t offset, void* buffer, std::size_t size) {
    const std::shared_ptr<const kwcfb::Tables>& tables = m_tree->tables;
    if (!tables) return STG_E_UNKNOWN;
    if (m_node->mini) {
      // Small streams are read from the mini stream in memory: no extents,
      // no allocation, no system call.
      HRESULT hr = kwcfb::ReadMini(*tables, *m_node, offset, buffer, size);
      if (hr != S_FALSE) return hr;
    }
    if (m_extentsOf != tables) {
      HRESULT hr = kwcfb::StreamExtents(*tables, *m_node, &m_extents);
      if (FAILED(hr)) return hr;
      m_extentsOf = tables;
    }
    return kwcfb::ReadExtents(*tables, m_node->mini, m_extents, offset, buffer, size);
  }

  // Before the first change, the first `keep` bytes of the stream move from
  // the file into chunks (of memory, or of the next file once large).
  HRESULT Change(std::uint64_t keep) {
    if (m_node->chunks) return S_OK;
    auto chunks = std::make_unique<kwcfb::Chunks>();
    std::shared_ptr<kwcfb::Spill> spill;
    if (keep > kwcfb::Chunks::kInMemory && (spill = m_tree->SpillForStreams())) {
      HRESULT hr = chunks->SpillTo(std::move(spill));
      if (FAILED(hr)) return hr;
    }
    std::vector<BYTE> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(keep, 1 << 20)));
    for (std::uint64_t at = 0; at < keep; at += buffer.size()) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), keep - at));
      HRESULT hr = ReadUnchanged(at, buffer.data(), n);
      if (SUCCEEDED(hr)) hr = chunks->Write(at, buffer.data(), n);
      if (FAILED(hr)) return hr;
    }
    m_node->chunks = std::move(chunks);
    return S_OK;
  }

  // A stream of a file root that grows past what memory keeps moves to the
  // file the next commit puts in place.
  HRESULT Outgrow(std::uint64_t end) {
    kwcfb::Chunks& chunks = *m_node->chunks;
    if (end <= kwcfb::Chunks::kInMemory || chunks.Spilled()) return S_OK;
    std::shared_ptr<kwcfb::Spill> spill = m_tree->SpillForStreams();
    return spill ? chunks.SpillTo(std::move(spill)) : S_OK;
  }

  std::shared_ptr<Tree> m_tree;    // keeps the tree's state alive while the stream is
  std::shared_ptr<Arena> m_arena;  // and the node's, after a Revert too
  Node* m_node;
  DWORD m_mode;
  bool m_writable;
  std::uint64_t m_position = 0;
  std::shared_ptr<const kwcfb::Tables> m_extentsOf;
  std::vector<kwcfb::Extent> m_extents;
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
  CkwStorage(std::shared_ptr<Tree> tree, Node* node, DWORD grfMode, bool writable)
      : m_tree(std::move(tree)),
        m_arena(node ? m_tree->arena : nullptr),
        m_node(node),
        m_mode(grfMode),
        m_writable(writable) {}

  Node& Self() const { return m_node ? *m_node : *m_tree->root; }
  bool IsRoot() const { return !m_node; }
  const Tree& State() const { return *m_tree; }

  HRESULT CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD, DWORD,
                       IStream** ppstm) override {
    return Guarded([&]() -> HRESULT {
      if (!ppstm) return STG_E_INVALIDPOINTER;
      *ppstm = nullptr;
      Node* node = nullptr;
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
      Node* node = nullptr;
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
      Node* node = nullptr;
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
      Node* node = nullptr;
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
      Tree& tree = *m_tree;
      std::vector<kwcfb::Placement> placements;
      auto written = std::make_shared<kwcfb::Tables>();
      if (tree.inMemory) {
        std::vector<BYTE> image;
        auto sink = kwcfb::MakeMemorySink(&image);
        HRESULT hr =
            kwcfb::Write(*tree.root, tree.tables.get(), sink.get(), &placements, written.get());
        if (FAILED(hr)) return hr;
        written->source = std::make_shared<kwcfb::Source>(std::move(image));
        tree.changed = tree.replacePending = false;
      } else {
        // The new file is the spill's, which may hold runs of large streams
        // already; everything else goes after them. Once bytes were dropped
        // from the runs, a new file is written instead, whole, so that no
        // dropped byte outlives the commit in it.
        if (!tree.spill) tree.spill = std::make_shared<kwcfb::Spill>(tree.target);
        kwcfb::Spill* inPlace = tree.spill->Stale() ? nullptr : tree.spill.get();
        CkwAtomicFile compacted;
        CkwAtomicFile* file = &compacted;
        HRESULT hr = inPlace ? inPlace->Prepare(&file) : compacted.Begin(tree.target);
        if (FAILED(hr)) return hr;
        auto sink = kwcfb::MakeFdSink(file->Fd());
        hr = kwcfb::Write(*tree.root, tree.tables.get(), sink.get(), &placements, written.get(),
                          inPlace);
        if (FAILED(hr)) return hr;
        // From now on unchanged bytes are read from the file written, through
        // a descriptor of its own: whatever the name leads to later, this
        // is the file that holds the tree. Made before the rename, so that
        // nothing can fail once the new file is in place.
        CkwFd reader(::fcntl(file->Fd(), F_DUPFD_CLOEXEC, 0));
        if (reader.get() < 0) return FromErrno(errno, STG_E_WRITEFAULT);
        written->source = std::make_shared<kwcfb::Source>(
            reader.get(), kwcfb::Tables::kWrittenSectorSize *
                              (static_cast<std::uint64_t>(written->sectorCount) + 1));
        reader.Release();
        hr = file->Commit();
        if (FAILED(hr)) return hr;
        if (inPlace) inPlace->Seal();
        tree.spill.reset();
        tree.changed = tree.replacePending = false;
      }
      kwcfb::Relocate(placements);
      tree.tables = std::move(written);
      return S_OK;
    });
  }

  HRESULT Revert() override {
    return Guarded([&]() -> HRESULT {
      if (!Self().live) return STG_E_REVERTED;
      if (!IsRoot() || !m_tree->writable) return S_OK;
      Tree& tree = *m_tree;
      kwcfb::Parsed fresh;
      HRESULT hr = S_OK;
      if (tree.replacePending)  // the file there is not the one created
        EmptyRoot(&fresh);
      else if (!tree.inMemory)
        hr = OpenFile(tree.target, &fresh);
      else if (tree.tables)
        hr = kwcfb::Open(tree.tables->source, &fresh);
      else
        EmptyRoot(&fresh);
      if (FAILED(hr)) return hr;
      // The old root object stays usable; everything opened below it is gone.
      for (Node* child : tree.root->children) kwcfb::Retire(*child);
      tree.spill.reset();
      tree.arena = std::move(fresh.arena);
      tree.root = fresh.root;
      tree.tables = std::move(fresh.tables);
      tree.changed = tree.replacePending;
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
      for (const Node* child : self.children) {
        EnumItem item;
        item.name = child->Name();
        FillStat(*child, child->Name(), 0, STATFLAG_NONAME, &item.stat);
        items->push_back(std::move(item));
      }
      *ppenum = new (std::nothrow) CkwEnumSTATSTG(std::move(items));
      return *ppenum ? S_OK : STG_E_INSUFFICIENTMEMORY;
    });
  }

  HRESULT DestroyElement(const OLECHAR* pwcsName) override {
    return Guarded([&]() -> HRESULT {
      ElementName name;
      HRESULT hr = CheckChange(pwcsName, &name, false);
      if (FAILED(hr)) return hr;
      bool found = false;
      auto it = Self().Find(name.Key(), &found);
      if (!found) return STG_E_FILENOTFOUND;
      kwcfb::Retire(**it);
      Self().EraseChild(it);
      m_tree->changed = true;
      return S_OK;
    });
  }

  HRESULT RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) override {
    return Guarded([&]() -> HRESULT {
      ElementName oldName, newName;
      HRESULT hr = CheckChange(pwcsOldName, &oldName, false);
      if (FAILED(hr)) return hr;
      hr = NameFrom(pwcsNewName, &newName);
      if (FAILED(hr)) return hr;
      Node& self = Self();
      bool found = false, clash = false;
      auto it = self.Find(oldName.Key(), &found);
      if (!found) return STG_E_FILENOTFOUND;
      Node* node = *it;
      self.Find(newName.Key(), &clash);
      if (clash && node->Key() != newName.Key()) return STG_E_FILEALREADYEXISTS;
      // Nothing below allocates: the children shrink by one, then regain it
      // within their capacity.
      self.EraseChild(it);
      node->SetName(newName.Text());
      self.InsertChild(self.Find(node->Key(), &clash), node);
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
      if (IsRoot() && !m_tree->inMemory)
        return FillStat(self, PathName(m_tree->path), m_mode, grfStatFlag, pstatstg);
      return FillStat(self, self.Name(), m_mode, grfStatFlag, pstatstg);
    });
  }

 private:
  ~CkwStorage() {
    if (IsRoot() && m_tree->changed && !m_tree->inMemory) DiagnoseUncommitted(m_tree->path);
  }

  HRESULT CheckChange(const OLECHAR* pwcsName, ElementName* name, bool strict = true) {
    if (!Self().live) return STG_E_REVERTED;
    HRESULT hr = NameFrom(pwcsName, name, strict);
    if (FAILED(hr)) return hr;
    return m_writable ? S_OK : STG_E_ACCESSDENIED;
  }

  HRESULT CreateElement(const OLECHAR* pwcsName, DWORD grfMode, DWORD type, Node** out) {
    ElementName name;
    HRESULT hr = CheckChange(pwcsName, &name);
    if (FAILED(hr)) return hr;
    bool wantsWrite = false;
    hr = AccessFromMode(grfMode, &wantsWrite);
    if (FAILED(hr)) return hr;
    Node& self = Self();
    bool found = false;
    auto it = self.Find(name.Key(), &found);
    if (found && !(grfMode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    // Allocations first, so that a failure leaves the storage as it was.
    std::size_t at = static_cast<std::size_t>(it - self.children.begin());
    if (!found) self.ReserveChild();
    Node* node = m_tree->arena->New();
    node->SetName(name.Text());
    node->type = type;
    auto where = self.children.begin() + static_cast<std::ptrdiff_t>(at);
    if (found) {
      kwcfb::Retire(**where);
      self.ReplaceChild(where, node);
    } else {
      self.InsertChild(where, node);
    }
    m_tree->changed = true;
    *out = node;
    return S_OK;
  }

  HRESULT OpenElement(const OLECHAR* pwcsName, DWORD grfMode, DWORD type, Node** out,
                      bool* wantsWrite) {
    if (!Self().live) return STG_E_REVERTED;
    ElementName name;
    HRESULT hr = NameFrom(pwcsName, &name, false);
    if (FAILED(hr)) return hr;
    hr = AccessFromMode(grfMode, wantsWrite);
    if (FAILED(hr)) return hr;
    if (*wantsWrite && !m_writable) return STG_E_ACCESSDENIED;
    Node* node = Self().Lookup(name.Key());
    if (!node || node->type != type) return STG_E_FILENOTFOUND;
    *out = node;
    return S_OK;
  }

  std::shared_ptr<Tree> m_tree;
  std::shared_ptr<Arena> m_arena;  // a sub-storage's node lives there
  Node* m_node;
  DWORD m_mode;
  bool m_writable;
};

HRESULT MakeRoot(kwcfb::Parsed parsed, bool writable, bool inMemory, const char* path,
                 DWORD grfMode, IStorage** ppstg, std::string target = {},
                 bool replacePending = false) {
  auto tree = std::make_shared<Tree>();
  tree->arena = std::move(parsed.arena);
  tree->root = parsed.root;
  tree->tables = std::move(parsed.tables);
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
    kwcfb::Parsed empty;
    EmptyRoot(&empty);
    // An existing file is the last good save: it stays until the first Commit
    // replaces it. A new one is written empty at once.
    const bool replaces = file.Replaces();
    if (!replaces) {
      auto sink = kwcfb::MakeFdSink(file.Fd());
      hr = kwcfb::Write(*empty.root, nullptr, sink.get(), nullptr, nullptr);
      if (SUCCEEDED(hr)) hr = file.Commit();
      if (FAILED(hr)) return hr;
    }
    return MakeRoot(std::move(empty), true, false, pszPath, grfMode | STGM_READWRITE, ppstgOpen,
                    std::move(target), replaces);
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
    kwcfb::Parsed parsed;
    hr = OpenFile(pszPath, &parsed);
    if (FAILED(hr)) return hr;
    // Commit replaces the file a link names, never the link.
    std::string target;
    if (wantsWrite) {
      hr = kwResolveReplaceTarget(pszPath, &target);
      if (FAILED(hr)) return hr;
      kwRemoveStaleTemporaries(target);
    }
    return MakeRoot(std::move(parsed), wantsWrite, false, pszPath, grfMode, ppstgOpen,
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
    kwcfb::Parsed empty;
    EmptyRoot(&empty);
    return MakeRoot(std::move(empty), true, true, nullptr, grfMode | STGM_READWRITE, ppstgOpen);
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
    // The caller's bytes are copied once: the root reads from them (and
    // Revert returns to them) after the caller's buffer is gone.
    const auto* bytes = static_cast<const BYTE*>(pv);
    auto source = std::make_shared<kwcfb::Source>(std::vector<BYTE>(bytes, bytes + cb));
    kwcfb::Parsed parsed;
    hr = kwcfb::Open(std::move(source), &parsed);
    if (FAILED(hr)) return hr;
    return MakeRoot(std::move(parsed), wantsWrite, true, nullptr, grfMode, ppstgOpen);
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
    const auto* impl = static_cast<CkwStorage*>(storage.get());
    const Node& self = impl->Self();
    if (!self.live) return STG_E_REVERTED;
    std::vector<BYTE> image;
    auto sink = kwcfb::MakeMemorySink(&image);
    HRESULT hr = kwcfb::Write(self, impl->State().tables.get(), sink.get(), nullptr, nullptr);
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
