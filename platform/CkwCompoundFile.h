// The tree of a compound file, the reader that builds it from a file or a
// memory image without loading stream contents, and the writer that lays a
// tree out from sizes alone and streams it to a sink. Private to
// libkwplatform.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <kwcore/kwStorage.h>

class CkwAtomicFile;

namespace kwcfb {

/// The first eight bytes of every compound file.
inline constexpr BYTE kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

/// Streams may not grow beyond this: version-3 files carry 32-bit sizes.
inline constexpr std::uint64_t kMaxStreamSize = 0x7FFFFFFFu;

/// Runs `body`, which returns an HRESULT, so that no exception leaves the
/// library: a failed allocation becomes STG_E_INSUFFICIENTMEMORY, anything
/// else STG_E_UNKNOWN.
template <typename Body>
HRESULT Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  } catch (...) {
    return STG_E_UNKNOWN;
  }
}

/// The simple upper-case mapping the format uses for comparing names.
char16_t UpperCase(char16_t c) noexcept;

/// UpperCase, with ASCII (nearly every name) folded without the table.
inline char16_t FoldUnit(char16_t c) noexcept {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  return UpperCase(c);
}

/// True when `name` may name a new element: 1 to 31 UTF-16 units, none of
/// them '/', '\\', ':' or '!'.
bool IsValidName(std::u16string_view name) noexcept;

/// Orders folded names as the format does: shorter first, then by code unit.
inline bool KeyLess(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// ---------------------------------------------------------------------------
// Where bytes come from

/// The bytes of one committed file: an open descriptor (read positionally,
/// so the inode read from stays the one opened even when the path is
/// replaced) or a memory image.
class Source {
 public:
  /// Takes ownership of `fd`, a regular file of `size` bytes.
  Source(int fd, std::uint64_t size) noexcept : m_fd(fd), m_size(size) {}
  explicit Source(std::vector<BYTE> bytes) noexcept
      : m_bytes(std::move(bytes)), m_size(m_bytes.size()) {}
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  std::uint64_t Size() const noexcept { return m_size; }
  int Fd() const noexcept { return m_fd; }
  /// The image of a memory source, null for a file.
  const BYTE* Memory() const noexcept { return m_fd < 0 ? m_bytes.data() : nullptr; }
  /// Reads exactly `size` bytes at `offset`: STG_E_READFAULT when the file
  /// fails or ends (it was cut under us), never a short read.
  HRESULT ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const noexcept;

 private:
  int m_fd = -1;
  std::vector<BYTE> m_bytes;
  std::uint64_t m_size;
};

/// Receives the bytes of a new file in order.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual HRESULT Write(const void* data, std::size_t size) = 0;
  /// Appends `size` bytes of `source` from `offset`.
  virtual HRESULT Copy(const Source& source, std::uint64_t offset, std::uint64_t size) = 0;
  /// Passes over `size` bytes that are in place already (a Spill's runs).
  virtual HRESULT Skip(std::uint64_t size) = 0;
  /// Pushes out what is buffered.
  virtual HRESULT Finish() = 0;
};

/// A sink writing to a file descriptor in large sequential writes; unchanged
/// data of a file source moves kernel-side (copy_file_range) where it can.
std::unique_ptr<Sink> MakeFdSink(int fd);
/// A sink appending to `*image`.
std::unique_ptr<Sink> MakeMemorySink(std::vector<BYTE>* image);

// ---------------------------------------------------------------------------
// Tables of one committed file

/// The sector tables of a source, read and checked at open: what a stream
/// needs to find its bytes. Immutable once loaded; shared by the streams
/// reading from it.
struct Tables {
  std::shared_ptr<const Source> source;
  std::uint32_t sectorSize = 512;
  std::uint32_t sectorCount = 0;
  bool version4 = false;
  std::vector<std::uint32_t> fat;
  std::vector<std::uint32_t> miniFat;
  std::vector<std::uint32_t> miniStreamChain;  ///< sectors of the mini stream, in order
  std::uint64_t miniStreamSize = 0;
  /// The mini stream, read whole on the first read of a mini stream when it
  /// is small (see ReadExtents).
  mutable std::once_flag miniCacheOnce;
  mutable std::atomic<bool> miniCacheReady{false};  ///< set once the attempt is over
  mutable std::unique_ptr<BYTE[]> miniCache;
  mutable std::size_t miniCacheSize = 0;

  /// The sector size of every file this library writes.
  static constexpr std::uint32_t kWrittenSectorSize = 512;

  std::uint64_t SectorOffset(std::uint32_t sector) const noexcept {
    return (static_cast<std::uint64_t>(sector) + 1) * sectorSize;
  }
};

/// One contiguous piece of a stream in its source.
struct Extent {
  std::uint64_t offset;  ///< in the source
  std::uint64_t length;
};

// ---------------------------------------------------------------------------
// The tree

/// The file that the next commit of a file root puts in place, made as soon
/// as a changed stream grows large: such a stream's bytes go there in runs
/// of 2 MiB at sector boundaries, where the commit leaves them, so that they
/// are written to the disk once and never held in memory. Shared by the
/// streams that spilled into it; written no more once committed.
class Spill {
 public:
  static constexpr std::uint32_t kRunSectors = 4096;  ///< 512-byte sectors of a run
  static constexpr std::uint64_t kRunBytes = std::uint64_t{kRunSectors} * 512;
  static constexpr std::uint32_t kFirstRun = 7;

  explicit Spill(std::string target);
  ~Spill();
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;

  /// Sectors handed out as runs so far, from sector 0 on.
  std::uint32_t Sectors() const noexcept { return m_sectors; }
  /// Hands out the next run, making the file on first use.
  HRESULT NewRun(std::uint32_t* first);
  /// Reads or writes bytes at `offset` of the file. A write after a failed
  /// commit may first move the runs (see Prepare), and so throw bad_alloc.
  HRESULT ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const noexcept;
  HRESULT WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  /// The replacement for a commit to finish, holding the runs and nothing
  /// after them, positioned at its start: made when no run was, and made
  /// anew (the runs copied over) when a failed commit used the last one up,
  /// as before any write or run after such a commit.
  HRESULT Prepare(CkwAtomicFile** file);
  /// After the commit put the file in place: nothing writes to it again.
  void Seal() noexcept { m_sealed = true; }
  /// Whether bytes were dropped from the runs (a spilled stream shrank or
  /// went): committed in place, they would stay in the file's free sectors,
  /// readable by anyone with the file and as large as they were.
  bool Stale() const noexcept { return m_stale; }
  void MarkStale() noexcept { m_stale = true; }

 private:
  HRESULT Begin();
  HRESULT Writable();
  /// Where the runs end in the file.
  off_t RunsEnd() const noexcept {
    return static_cast<off_t>((std::uint64_t{m_sectors} + 1) * Tables::kWrittenSectorSize);
  }

  std::string m_target;
  std::unique_ptr<CkwAtomicFile> m_file;
  int m_fd = -1;  // the file's, duplicated: it outlives a commit that fails late
  std::uint32_t m_sectors = 0;
  bool m_sealed = false;
  bool m_stale = false;
  bool m_pastRuns = false;  // a commit wrote after the runs (and may have failed)
};

/// Changed stream bytes, in blocks that double from 64 bytes to 2 MiB and
/// stay 2 MiB after that: growth never moves what is written, and a block is
/// found from an offset in constant time. The 2 MiB blocks are whole huge
/// pages where the system offers them, so that filling a large stream takes
/// one page fault per 2 MiB instead of one per 4 KiB. Moved to a Spill, the
/// bytes live in the spill's runs instead.
class Chunks {
 public:
  /// What the doubling blocks hold: streams of file roots go no further in
  /// memory.
  static constexpr std::uint64_t kInMemory = 64u * ((1u << 16) - 1);

  Chunks() = default;
  Chunks(const Chunks&) = delete;
  Chunks& operator=(const Chunks&) = delete;
  ~Chunks();
  std::uint64_t Size() const noexcept { return m_size; }
  /// Grows (the new bytes read as zeros) or shrinks to `size`.
  HRESULT Resize(std::uint64_t size);
  HRESULT Write(std::uint64_t offset, const void* data, std::size_t size);
  HRESULT Read(std::uint64_t offset, void* data, std::size_t size) const noexcept;
  /// Calls `piece(pointer, length)` over the bytes in order.
  HRESULT ForEach(const std::function<HRESULT(const BYTE*, std::size_t)>& piece) const;
  bool Spilled() const noexcept { return m_spilled != nullptr; }
  /// Moves the bytes into runs of `spill`, where every later change goes.
  HRESULT SpillTo(std::shared_ptr<Spill> spill);
  /// The first sector of each run, when the bytes are in `spill`'s runs.
  const std::vector<std::uint32_t>* RunsIn(const Spill* spill) const noexcept {
    return m_spilled && spill == m_spilled->spill.get() ? &m_spilled->runs : nullptr;
  }

 private:
  static std::size_t BlockOf(std::uint64_t offset, std::uint64_t* begin,
                             std::size_t* length) noexcept;
  void Reserve(std::uint64_t size);
  void PopBlock() noexcept;
  HRESULT GrowSpilled(std::uint64_t end, std::uint64_t zeroTo);

  BYTE* Block(std::size_t k) const noexcept {
    return k == 0 ? const_cast<BYTE*>(m_first) : m_blocks[k - 1];
  }

  BYTE m_first[64];             ///< block 0, inside: a small stream costs one allocation
  std::vector<BYTE*> m_blocks;  ///< blocks 1, 2..., owned (see PopBlock)
  std::uint64_t m_capacity = sizeof m_first;
  std::uint64_t m_size = 0;
  /// Apart, so that the many small streams do not pay for it.
  struct SpilledBytes {
    std::shared_ptr<Spill> spill;
    std::vector<std::uint32_t> runs;  ///< at least ceil(size / 2 MiB)
    std::uint64_t zeroFrom = 0;       ///< the runs read as zeros from here on
    ~SpilledBytes() {
      if (spill) spill->MarkStale();
    }
  };
  std::unique_ptr<SpilledBytes> m_spilled;
  /// Adds runs until they hold `end` bytes.
  static HRESULT CoverRuns(SpilledBytes& spilled, std::uint64_t end);
};

struct Node;

/// A name folded to upper case, made when asked for: nodes keep only the
/// name, which halves what a node's name costs in memory.
struct FoldedName {
  char16_t text[31];
  std::uint8_t length;
  operator std::u16string_view() const noexcept { return {text, length}; }
};

/// The children of a storage with many, hashed by folded name: a lookup then
/// touches one or two nodes instead of a binary search's scattered ones.
/// Built at the first lookup, kept in step with every change after.
class ChildIndex {
 public:
  Node* Find(std::u16string_view key) const noexcept;
  /// Makes room for `count` children, so that Insert cannot fail.
  void Reserve(std::size_t count);
  void Insert(Node* node) noexcept;
  void Erase(const Node* node) noexcept;

 private:
  static std::size_t Hash(std::u16string_view key) noexcept;
  std::size_t Home(std::u16string_view key) const noexcept {
    return Hash(key) & (m_slots.size() - 1);
  }

  std::vector<Node*> m_slots;  // open addressing; a power of two, at most half full
  std::size_t m_size = 0;
};

/// One storage or stream. Nodes live in an Arena and point at each other
/// with plain pointers; nothing is freed one by one or recursively.
struct Node {
  char16_t name[31];  ///< the first nameLength units count
  std::uint8_t nameLength = 0;
  bool live = true;         ///< cleared when the element leaves the tree
  bool mini = false;        ///< the unchanged bytes are in the mini stream
  bool contiguous = false;  ///< they lie in consecutive sectors (found when read from a file)
  DWORD type = STGTY_STORAGE;
  CLSID clsid = GUID_NULL;
  DWORD stateBits = 0;
  FILETIME ctime{0, 0};
  FILETIME mtime{0, 0};
  std::uint32_t start = 0;            ///< first sector of the unchanged bytes
  std::uint64_t size = 0;             ///< stream size (the chunks' when changed)
  std::unique_ptr<Chunks> chunks;     ///< null while the bytes are the source's
  std::vector<Node*> children;        ///< in name order (KeyLess on keys)
  std::unique_ptr<ChildIndex> index;  ///< of children, once looked up among many
  Node* pending = nullptr;            ///< work list link of Retire
  std::size_t lookupHint = 0;         ///< where the next lookup is guessed to land

  std::u16string_view Name() const noexcept { return {name, nameLength}; }
  /// The name folded, as children are ordered and looked up by. Use it
  /// within one expression: the text lives in the value returned.
  FoldedName Key() const noexcept;
  /// Key() == `wanted`, folding only as far as the first difference.
  bool KeyIs(std::u16string_view wanted) const noexcept {
    if (wanted.size() != nameLength) return false;
    for (std::size_t i = 0; i < nameLength; ++i)
      if (FoldUnit(name[i]) != wanted[i]) return false;
    return true;
  }
  /// KeyLess(Key(), `key`), folding only as far as the first difference.
  bool KeyBefore(std::u16string_view key) const noexcept {
    if (key.size() != nameLength) return nameLength < key.size();
    for (std::size_t i = 0; i < nameLength; ++i) {
      char16_t c = FoldUnit(name[i]);
      if (c != key[i]) return c < key[i];
    }
    return false;
  }
  /// KeyLess(Key(), other.Key()), likewise.
  bool KeyBefore(const Node& other) const noexcept {
    if (other.nameLength != nameLength) return nameLength < other.nameLength;
    for (std::size_t i = 0; i < nameLength; ++i) {
      char16_t a = FoldUnit(name[i]), b = FoldUnit(other.name[i]);
      if (a != b) return a < b;
    }
    return false;
  }
  void SetName(std::u16string_view text) noexcept;
  std::uint64_t StreamSize() const noexcept { return chunks ? chunks->Size() : size; }
  /// The child named `key` (folded), or where it would go.
  std::vector<Node*>::iterator Find(std::u16string_view key, bool* found) noexcept;
  /// The child named `key` (folded), or null.
  Node* Lookup(std::u16string_view key);
  /// Makes room for one more child: InsertChild then cannot fail.
  void ReserveChild();
  void InsertChild(std::vector<Node*>::iterator at, Node* child) noexcept;
  void EraseChild(std::vector<Node*>::iterator at) noexcept;
  void ReplaceChild(std::vector<Node*>::iterator at, Node* child) noexcept;
};

/// Folds `name` for lookup into `key` (at most 31 units).
void FoldName(std::u16string_view name, char16_t* key) noexcept;

/// Allocates nodes in blocks and frees them all at once. A node is built
/// where it is handed out, not with its whole block: its memory is then
/// written once, while it is in the cache.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();
  Node* New();

 private:
  struct FreeBlock {
    void operator()(Node* block) const noexcept { ::operator delete(static_cast<void*>(block)); }
  };
  std::vector<std::unique_ptr<Node, FreeBlock>> m_blocks;  // all full but the last
  std::size_t m_used = 0;                                  // nodes built in the last block
  std::size_t m_blockSize = 0;
};

/// Marks `node` and everything below it as gone, freeing changed bytes: no
/// recursion, no allocation (the work list runs through the nodes themselves).
void Retire(Node& node) noexcept;

/// A tree read from a source.
struct Parsed {
  std::shared_ptr<Arena> arena;
  Node* root = nullptr;
  std::shared_ptr<const Tables> tables;
};

/// Reads and checks the header, the sector tables and the directory of
/// `source` (versions 3 and 4), and every chain against the sector tables:
/// no sector of the file may belong to two chains. Stream bytes stay in the
/// source. A result other than S_OK is STG_E_INVALIDHEADER (not a compound
/// file, or an unsupported header), STG_E_DOCFILECORRUPT (a damaged
/// structure), STG_E_READFAULT or STG_E_INSUFFICIENTMEMORY. Never throws.
HRESULT Open(std::shared_ptr<const Source> source, Parsed* out) noexcept;

/// Where the unchanged bytes of `node` lie in `tables`' source: file
/// offsets for a regular stream, mini stream offsets for a mini stream.
HRESULT StreamExtents(const Tables& tables, const Node& node, std::vector<Extent>* out) noexcept;

/// Reads `size` bytes at `offset` (within its size) of an unchanged mini
/// stream `node` straight from the mini stream held in memory, without
/// finding extents first: S_FALSE when the mini stream is too large to hold,
/// and the caller goes through StreamExtents and ReadExtents instead.
HRESULT ReadMini(const Tables& tables, const Node& node, std::uint64_t offset, void* buffer,
                 std::size_t size) noexcept;

/// Reads `size` bytes at `offset` of an unchanged stream whose extents are
/// `extents` (as StreamExtents gives them).
HRESULT ReadExtents(const Tables& tables, bool mini, const std::vector<Extent>& extents,
                    std::uint64_t offset, void* buffer, std::size_t size) noexcept;

/// Where the writer put one element: applied by Relocate once the new file
/// is readable.
struct Placement {
  Node* node;
  std::uint32_t start;
  bool mini;
};

/// Writes the tree under `root` as a version-3 file to `sink`: the layout is
/// computed from sizes, then every sector goes out once, in order. Unchanged
/// streams are copied from `tables`' source (null when no stream is
/// unchanged). Time and memory beyond stream bytes are linear in the number
/// of elements and sectors. With `placements`, says where each stream went;
/// with `written`, fills in the sector tables of the new file (all but its
/// source), so that it need not be read back. With `inPlace`, the sink is
/// that spill's file from its start: its runs are left where they are and
/// everything else goes after them. Never throws.
HRESULT Write(const Node& root, const Tables* tables, Sink* sink,
              std::vector<Placement>* placements, Tables* written,
              const Spill* inPlace = nullptr) noexcept;

/// Makes the nodes written read from the new file: their chunks go.
void Relocate(const std::vector<Placement>& placements) noexcept;

/// Receives the problems a check finds; see kwCheckCompoundFile.
using ProblemFn = std::function<void(std::uint64_t offset, const char* problem)>;

/// Opens `source` as Open does, reporting each problem instead of stopping
/// at the first where it can, then reads every stream to its end.
HRESULT Check(std::shared_ptr<const Source> source, const ProblemFn& problem) noexcept;

}  // namespace kwcfb
