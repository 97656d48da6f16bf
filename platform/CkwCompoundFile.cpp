// Reader and writer of compound files (the Microsoft Compound File Binary
// format). The writer emits version 3 with 512-byte sectors, a mini stream for
// small streams and balanced red-black directory trees, as one sequential pass
// over the new file; the reader takes versions 3 and 4, checks every number
// before it uses it and leaves stream bytes where they are until asked.
#include "CkwCompoundFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/kwAtomicFile.h"
#include "platform/kwLittleEndian.h"
#include "platform/kwPosixFile.h"

namespace kwcfb {
namespace {

constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;

constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint64_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kDirEntrySize = 128;
constexpr std::uint32_t kHeaderDifatEntries = 109;

constexpr BYTE kTypeStorage = 1;
constexpr BYTE kTypeStream = 2;
constexpr BYTE kTypeRoot = 5;
constexpr BYTE kRed = 0;
constexpr BYTE kBlack = 1;

// Header field offsets.
constexpr std::size_t kOffMinorVersion = 0x18;
constexpr std::size_t kOffMajorVersion = 0x1A;
constexpr std::size_t kOffByteOrder = 0x1C;
constexpr std::size_t kOffSectorShift = 0x1E;
constexpr std::size_t kOffMiniSectorShift = 0x20;
constexpr std::size_t kOffNumFatSectors = 0x2C;
constexpr std::size_t kOffFirstDirSector = 0x30;
constexpr std::size_t kOffMiniStreamCutoff = 0x38;
constexpr std::size_t kOffFirstMiniFatSector = 0x3C;
constexpr std::size_t kOffNumMiniFatSectors = 0x40;
constexpr std::size_t kOffFirstDifatSector = 0x44;
constexpr std::size_t kOffNumDifatSectors = 0x48;
constexpr std::size_t kOffDifat = 0x4C;

// Directory entry field offsets.
constexpr std::size_t kEntName = 0x00;
constexpr std::size_t kEntNameLength = 0x40;
constexpr std::size_t kEntType = 0x42;
constexpr std::size_t kEntColor = 0x43;
constexpr std::size_t kEntLeft = 0x44;
constexpr std::size_t kEntRight = 0x48;
constexpr std::size_t kEntChild = 0x4C;
constexpr std::size_t kEntClsid = 0x50;
constexpr std::size_t kEntStateBits = 0x60;
constexpr std::size_t kEntCreationTime = 0x64;
constexpr std::size_t kEntModifiedTime = 0x6C;
constexpr std::size_t kEntStartSector = 0x74;
constexpr std::size_t kEntSize = 0x78;

// A mini stream up to this size is read into memory on its first use: many
// small streams then cost no system call each.
constexpr std::uint64_t kMiniCacheLimit = 32u << 20;

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// How many directory entries ahead the reader starts fetching.
constexpr std::uint32_t kEntriesAhead = 12;

// The fields an entry carries whatever its type, the root's included.
void ReadAttributes(const BYTE* e, Node* node) {
  node->clsid = kwLoadGUID(e + kEntClsid);
  node->stateBits = kwLoadU32(e + kEntStateBits);
  node->ctime = {kwLoadU32(e + kEntCreationTime), kwLoadU32(e + kEntCreationTime + 4)};
  node->mtime = {kwLoadU32(e + kEntModifiedTime), kwLoadU32(e + kEntModifiedTime + 4)};
}

// ---------------------------------------------------------------------------
// Reader

class Reader {
 public:
  Reader(std::shared_ptr<const Source> source, const ProblemFn* check)
      : m_source(std::move(source)), m_size(m_source->Size()), m_check(check) {}

  HRESULT ReadTables(bool checkOwnership);
  HRESULT BuildTree(Parsed* out);
  HRESULT ReadEveryStream(const Node& root);
  std::shared_ptr<Tables> TakeTables() { return std::move(m_tables); }

 private:
  HRESULT Problem(std::uint64_t offset, const char* text, HRESULT hr = STG_E_DOCFILECORRUPT) {
    if (m_check) (*m_check)(offset, text);
    return hr;
  }
  std::uint64_t Offset(std::uint32_t sector) const { return m_tables->SectorOffset(sector); }
  // Reads whole sectors, runs of neighbours in one call; the part of a last
  // sector that the file cuts off reads as zeros.
  HRESULT ReadSectors(const std::vector<std::uint32_t>& sectors, BYTE* out);
  // Records that `sector` belongs to a chain: a second claim means two chains
  // (or one chain twice: a loop) share it.
  HRESULT Claim(std::uint32_t sector, const char* what);
  HRESULT WalkChain(std::uint32_t start, std::uint64_t want, bool toEnd, const char* what,
                    std::vector<std::uint32_t>* chain);
  HRESULT ReadHeader();
  HRESULT ReadFat();
  HRESULT ReadDirectory();
  HRESULT ReadMiniStructures();
  HRESULT CheckStream(const BYTE* entry, std::uint64_t entryOffset, Node* node);
  HRESULT ReadEntry(std::uint32_t id, Node* node);
  const BYTE* Entry(std::uint32_t id) const {
    return m_directory.get() + static_cast<std::size_t>(id) * kDirEntrySize;
  }
  std::uint64_t EntryOffset(std::uint32_t id) const {
    std::uint32_t perSector = m_tables->sectorSize / kDirEntrySize;
    return Offset(m_dirChain[id / perSector]) + (id % perSector) * kDirEntrySize;
  }
  // True when the first `length` bytes of `sector` lie inside the file: stream
  // bytes are never made up from the padding of a cut-off last sector.
  bool InFile(std::uint32_t sector, std::uint64_t length) const {
    return Offset(sector) + length <= m_size;
  }

  std::shared_ptr<const Source> m_source;
  std::uint64_t m_size;
  const ProblemFn* m_check;
  std::shared_ptr<Tables> m_tables = std::make_shared<Tables>();
  BYTE m_header[512] = {};
  bool m_claims = true;
  // Per sector the FAT covers: claimed by a chain. No chain can use a sector
  // beyond the FAT, so a file that is mostly hole (a sparse file's apparent
  // size) costs no memory here; FAT and DIFAT sectors beyond it, which only
  // a damaged file has, are claimed in m_ownedBeyond.
  std::vector<bool> m_owned;
  std::unordered_set<std::uint32_t> m_ownedBeyond;
  std::vector<BYTE> m_miniOwned;  // per mini sector
  std::vector<std::uint32_t> m_dirChain;
  // The directory sectors, freed once the tree is built; not zeroed first, as
  // ReadSectors writes every byte.
  std::unique_ptr<BYTE[]> m_directory;
  std::uint32_t m_entryCount = 0;
};

HRESULT Reader::ReadSectors(const std::vector<std::uint32_t>& sectors, BYTE* out) {
  const std::uint32_t size = m_tables->sectorSize;
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t n = 1;
    while (i + n < sectors.size() && sectors[i + n] == sectors[i] + n) ++n;
    std::uint64_t offset = Offset(sectors[i]);
    std::uint64_t want = static_cast<std::uint64_t>(n) * size;
    std::uint64_t have = offset >= m_size ? 0 : std::min(want, m_size - offset);
    BYTE* dest = out + i * size;
    HRESULT hr = m_source->ReadAt(offset, dest, static_cast<std::size_t>(have));
    if (FAILED(hr)) return Problem(offset, "the file cannot be read here", hr);
    std::memset(dest + have, 0, static_cast<std::size_t>(want - have));
    i += n;
  }
  return S_OK;
}

HRESULT Reader::Claim(std::uint32_t sector, const char* what) {
  if (!m_claims) return S_OK;
  if (sector >= m_owned.size()) {
    if (!m_ownedBeyond.insert(sector).second) return Problem(Offset(sector), what);
    return S_OK;
  }
  if (m_owned[sector]) return Problem(Offset(sector), what);
  m_owned[sector] = true;
  return S_OK;
}

// Follows a FAT chain from `start`: `want` sectors, or (with `toEnd`) up to the
// end-of-chain mark. Every link is checked against the FAT and the file.
HRESULT Reader::WalkChain(std::uint32_t start, std::uint64_t want, bool toEnd, const char* what,
                          std::vector<std::uint32_t>* chain) {
  chain->clear();
  const std::vector<std::uint32_t>& fat = m_tables->fat;
  std::uint32_t current = start;
  std::uint64_t count = 0;
  while (toEnd || count < want) {
    if (current == kEndOfChain) {
      if (toEnd) break;
      return Problem(UINT64_MAX, what);
    }
    if (current > kMaxRegSect || current >= m_tables->sectorCount || current >= fat.size())
      return Problem(UINT64_MAX, what);
    HRESULT hr = Claim(current, what);
    if (FAILED(hr)) return hr;
    // Without claims (a file of our own) a loop still ends: no chain is
    // longer than the file has sectors.
    if (++count > m_tables->sectorCount) return Problem(UINT64_MAX, what);
    chain->push_back(current);
    current = fat[current];
  }
  return S_OK;
}

HRESULT Reader::ReadHeader() {
  std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(m_size, sizeof m_header));
  HRESULT hr = m_source->ReadAt(0, m_header, got);
  if (FAILED(hr)) return hr;
  if (got < sizeof kSignature || std::memcmp(m_header, kSignature, sizeof kSignature) != 0)
    return Problem(0, "not a compound file: no signature", STG_E_INVALIDHEADER);
  if (got < 512) return Problem(0, "the header is cut short", STG_E_INVALIDHEADER);
  const BYTE* h = m_header;
  Tables& t = *m_tables;
  std::uint16_t major = kwLoadU16(h + kOffMajorVersion);
  std::uint16_t shift = kwLoadU16(h + kOffSectorShift);
  if (kwLoadU16(h + kOffByteOrder) != 0xFFFE)
    return Problem(kOffByteOrder, "unknown byte order", STG_E_INVALIDHEADER);
  if (major == 3 && shift == 9) {
    t.sectorSize = 512;
  } else if (major == 4 && shift == 12) {
    t.sectorSize = 4096;
    t.version4 = true;
  } else {
    return Problem(kOffMajorVersion, "unsupported version or sector size", STG_E_INVALIDHEADER);
  }
  if (kwLoadU16(h + kOffMiniSectorShift) != 6)
    return Problem(kOffMiniSectorShift, "unsupported mini sector size", STG_E_INVALIDHEADER);
  if (kwLoadU32(h + kOffMiniStreamCutoff) != kMiniStreamCutoff)
    return Problem(kOffMiniStreamCutoff, "unsupported mini stream cutoff", STG_E_INVALIDHEADER);
  if (m_size < t.sectorSize) return Problem(0, "the file ends inside the header");
  std::uint64_t count = CeilDiv(m_size - t.sectorSize, t.sectorSize);
  if (count > kMaxRegSect) return STG_E_DOCFILETOOLARGE;
  t.sectorCount = static_cast<std::uint32_t>(count);
  return S_OK;
}

HRESULT Reader::ReadFat() {
  const BYTE* h = m_header;
  Tables& t = *m_tables;
  std::uint32_t numFat = kwLoadU32(h + kOffNumFatSectors);
  if (numFat > t.sectorCount)
    return Problem(kOffNumFatSectors, "more FAT sectors than the file has sectors");
  std::uint32_t perFat = t.sectorSize / 4;
  // What the FAT will cover is known from the header: claims start here.
  if (m_claims)
    m_owned.assign(static_cast<std::size_t>(
                       std::min<std::uint64_t>(t.sectorCount, std::uint64_t{numFat} * perFat)),
                   false);
  std::vector<std::uint32_t> fatSectors;
  fatSectors.reserve(numFat);
  for (std::uint32_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < numFat; ++i)
    fatSectors.push_back(kwLoadU32(h + kOffDifat + 4 * i));
  // The DIFAT chain is walked for as many sectors as the header counts, so a
  // count that the chain does not back is caught even when unused.
  std::uint32_t perDifat = t.sectorSize / 4 - 1;
  std::uint32_t numDifat = kwLoadU32(h + kOffNumDifatSectors);
  if (numDifat > t.sectorCount)
    return Problem(kOffNumDifatSectors, "more DIFAT sectors than the file has sectors");
  std::uint32_t difat = kwLoadU32(h + kOffFirstDifatSector);
  std::vector<BYTE> sector(t.sectorSize);
  for (std::uint32_t k = 0; k < numDifat; ++k) {
    if (difat > kMaxRegSect || difat >= t.sectorCount)
      return Problem(kOffFirstDifatSector, "the DIFAT chain leaves the file");
    HRESULT hr = Claim(difat, "the DIFAT chain loops or shares a sector");
    if (FAILED(hr)) return hr;
    hr = ReadSectors({difat}, sector.data());
    if (FAILED(hr)) return hr;
    for (std::uint32_t i = 0; i < perDifat && fatSectors.size() < numFat; ++i)
      fatSectors.push_back(kwLoadU32(sector.data() + 4 * i));
    difat = kwLoadU32(sector.data() + 4 * perDifat);
  }
  if (fatSectors.size() < numFat) return Problem(kOffNumDifatSectors, "the DIFAT is cut short");
  for (std::uint32_t s : fatSectors) {
    if (s >= t.sectorCount) return Problem(kOffDifat, "a FAT sector lies beyond the file");
    HRESULT hr = Claim(s, "a FAT sector is listed twice or shared");
    if (FAILED(hr)) return hr;
  }
  // Read straight into the table: the sectors hold little-endian words, which
  // only other hosts turn around.
  t.fat.resize(static_cast<std::size_t>(numFat) * perFat);
  HRESULT hr = ReadSectors(fatSectors, reinterpret_cast<BYTE*>(t.fat.data()));
  if (FAILED(hr)) return hr;
  if constexpr (std::endian::native != std::endian::little)
    for (std::uint32_t& word : t.fat) word = kwLoadU32(reinterpret_cast<const BYTE*>(&word));
  return S_OK;
}

HRESULT Reader::ReadDirectory() {
  HRESULT hr = WalkChain(kwLoadU32(m_header + kOffFirstDirSector), 0, true,
                         "the directory chain is damaged", &m_dirChain);
  if (FAILED(hr)) return hr;
  std::uint64_t entries =
      static_cast<std::uint64_t>(m_dirChain.size()) * (m_tables->sectorSize / kDirEntrySize);
  if (entries == 0 || entries >= kNoStream)
    return Problem(kOffFirstDirSector, "the directory is empty or too large");
  m_entryCount = static_cast<std::uint32_t>(entries);
  m_directory = std::make_unique_for_overwrite<BYTE[]>(m_dirChain.size() * m_tables->sectorSize);
  hr = ReadSectors(m_dirChain, m_directory.get());
  if (FAILED(hr)) return hr;
  if (Entry(0)[kEntType] != kTypeRoot)
    return Problem(EntryOffset(0), "the first directory entry is not the root");
  return S_OK;
}

HRESULT Reader::ReadMiniStructures() {
  Tables& t = *m_tables;
  const BYTE* root = Entry(0);
  t.miniStreamSize = t.version4 ? kwLoadU64(root + kEntSize) : kwLoadU32(root + kEntSize);
  // A mini stream can only hold streams below the cutoff, all of which sit in
  // the file too: anything larger than the file is a lie.
  if (t.miniStreamSize > m_size)
    return Problem(EntryOffset(0) + kEntSize, "the mini stream is larger than the file");
  if (t.miniStreamSize > 0) {
    HRESULT hr =
        WalkChain(kwLoadU32(root + kEntStartSector), CeilDiv(t.miniStreamSize, t.sectorSize), false,
                  "the mini stream's chain is damaged", &t.miniStreamChain);
    if (FAILED(hr)) return hr;
  }
  std::uint32_t firstMiniFat = kwLoadU32(m_header + kOffFirstMiniFatSector);
  if (firstMiniFat != kEndOfChain && kwLoadU32(m_header + kOffNumMiniFatSectors) != 0) {
    std::vector<std::uint32_t> chain;
    HRESULT hr = WalkChain(firstMiniFat, 0, true, "the mini FAT chain is damaged", &chain);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> bytes(chain.size() * t.sectorSize);
    hr = ReadSectors(chain, bytes.data());
    if (FAILED(hr)) return hr;
    t.miniFat.resize(chain.size() * (t.sectorSize / 4));
    for (std::size_t i = 0; i < t.miniFat.size(); ++i)
      t.miniFat[i] = kwLoadU32(bytes.data() + 4 * i);
  }
  if (m_claims) m_miniOwned.assign(t.miniFat.size(), 0);
  return S_OK;
}

HRESULT Reader::ReadTables(bool checkOwnership) {
  m_claims = checkOwnership;
  m_tables->source = m_source;
  HRESULT hr = ReadHeader();
  if (SUCCEEDED(hr)) hr = ReadFat();
  if (SUCCEEDED(hr)) hr = ReadDirectory();
  if (SUCCEEDED(hr)) hr = ReadMiniStructures();
  return hr;
}

// Walks the chain of a stream once, so that it is known whole and its own
// before anyone reads it: reads then need no checks beyond the file's size.
HRESULT Reader::CheckStream(const BYTE* entry, std::uint64_t entryOffset, Node* node) {
  const Tables& t = *m_tables;
  std::uint64_t size = t.version4 ? kwLoadU64(entry + kEntSize) : kwLoadU32(entry + kEntSize);
  node->start = kwLoadU32(entry + kEntStartSector);
  node->size = 0;
  if (size == 0) return S_OK;
  if (size > m_size || size > kMaxStreamSize)
    return Problem(entryOffset + kEntSize, "a stream is larger than the file");
  node->size = size;
  if (size < kMiniStreamCutoff) {
    node->mini = true;
    std::uint64_t miniSectors = CeilDiv(t.miniStreamSize, kMiniSectorSize);
    std::uint32_t current = node->start;
    std::uint64_t left = size;
    while (left > 0) {
      if (current >= t.miniFat.size() || current >= miniSectors)
        return Problem(entryOffset + kEntStartSector, "a mini stream's chain is damaged");
      if (m_miniOwned[current])
        return Problem(entryOffset + kEntStartSector,
                       "a mini stream's chain loops or shares a mini sector");
      m_miniOwned[current] = 1;
      std::uint64_t offset = static_cast<std::uint64_t>(current) * kMiniSectorSize;
      std::uint32_t sector = t.miniStreamChain[offset / t.sectorSize];
      std::uint64_t n = std::min<std::uint64_t>(left, kMiniSectorSize);
      if (!InFile(sector, offset % t.sectorSize + n))
        return Problem(Offset(sector), "stream bytes lie beyond the end of the file");
      left -= n;
      current = t.miniFat[current];
    }
    return S_OK;
  }
  std::uint32_t current = node->start;
  std::uint64_t left = size;
  const std::vector<std::uint32_t>& fat = t.fat;
  bool contiguous = true;
  while (left > 0) {
    if (current > kMaxRegSect || current >= t.sectorCount || current >= fat.size())
      return Problem(entryOffset + kEntStartSector, "a stream's chain is damaged");
    if (m_owned[current])
      return Problem(Offset(current), "a stream's chain loops or shares a sector");
    m_owned[current] = true;
    std::uint64_t n = std::min<std::uint64_t>(left, t.sectorSize);
    if (!InFile(current, n))
      return Problem(Offset(current), "stream bytes lie beyond the end of the file");
    left -= n;
    if (left > 0 && fat[current] != current + 1) contiguous = false;
    current = fat[current];
  }
  // Such a stream's reads need no walk of its chain again.
  node->contiguous = contiguous;
  return S_OK;
}

HRESULT Reader::ReadEntry(std::uint32_t id, Node* node) {
  const BYTE* e = Entry(id);
  std::uint16_t nameBytes = kwLoadU16(e + kEntNameLength);
  if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0)
    return Problem(EntryOffset(id) + kEntNameLength, "a name length is not valid");
  char16_t name[32];
  std::size_t length = 0;
  for (std::uint16_t i = 0; i + 1 < nameBytes / 2; ++i) {
    char16_t c = kwLoadU16(e + kEntName + 2 * i);
    if (c == 0) break;
    name[length++] = c;
  }
  if (length == 0) return Problem(EntryOffset(id), "an element has an empty name");
  node->SetName({name, length});
  node->type = e[kEntType] == kTypeStorage ? STGTY_STORAGE : STGTY_STREAM;
  ReadAttributes(e, node);
  if (node->type == STGTY_STREAM) return CheckStream(e, EntryOffset(id), node);
  return S_OK;
}

HRESULT Reader::BuildTree(Parsed* out) {
  auto arena = std::make_shared<Arena>();
  Node* root = arena->New();
  root->SetName(u"Root Entry");
  ReadAttributes(Entry(0), root);
  // Every entry may be reached once only: a second visit is a cycle or a
  // shared subtree, both corruption. Both walks use explicit stacks whose size
  // is bounded by the number of entries.
  std::vector<BYTE> visited(m_entryCount, 0);
  visited[0] = 1;
  HRESULT result = S_OK;
  std::vector<std::pair<Node*, std::uint32_t>> storages;
  storages.emplace_back(root, kwLoadU32(Entry(0) + kEntChild));
  // Siblings are walked in order (left subtree, entry, right subtree), which
  // for a valid tree is name order: children are appended as visited, and
  // sorted once only when the file's tree is out of order, so no order of
  // names costs more than a sort. Equal names are found next to each other
  // then; the one visited first stays, as its subtree is walked.
  std::vector<std::uint32_t> path;
  std::vector<std::pair<Node*, std::uint32_t>> siblings;     // with their entries, as visited
  std::vector<std::pair<Node*, std::uint32_t>> substorages;  // their child links, as visited
  std::vector<std::size_t> order;
  while (!storages.empty()) {
    auto [parent, top] = storages.back();
    storages.pop_back();
    path.clear();
    siblings.clear();
    substorages.clear();
    std::uint32_t current = top;
    bool broken = false;
    // Checked as each node arrives, while it and the one before are in the
    // cache: a storage of many children is larger than the cache.
    bool sorted = true;
    while (!broken && (current != kNoStream || !path.empty())) {
      while (current != kNoStream) {
        if (current >= m_entryCount || visited[current]) {
          result = Problem(UINT64_MAX, current >= m_entryCount
                                           ? "a directory link points beyond the directory"
                                           : "the directory tree loops or shares an entry");
          broken = true;
          break;
        }
        visited[current] = 1;
        path.push_back(current);
        current = kwLoadU32(Entry(current) + kEntLeft);
      }
      if (broken) break;
      std::uint32_t id = path.back();
      path.pop_back();
      // In a tree laid out in name order (ours, and most writers'), entries
      // are first reached in nearly ascending order: fetching the ones ahead
      // hides the misses on a directory far larger than the cache.
      if (id + kEntriesAhead < m_entryCount) {
        __builtin_prefetch(Entry(id + kEntriesAhead));
        __builtin_prefetch(Entry(id + kEntriesAhead) + 64);
      }
      const BYTE* e = Entry(id);
      current = kwLoadU32(e + kEntRight);
      BYTE type = e[kEntType];
      HRESULT hr = S_OK;
      Node* node = nullptr;
      if (type != kTypeStorage && type != kTypeStream) {
        hr = Problem(EntryOffset(id) + kEntType, "an entry has an unknown type");
      } else {
        node = arena->New();
        hr = ReadEntry(id, node);
      }
      if (SUCCEEDED(hr)) {
        if (sorted && !siblings.empty()) sorted = siblings.back().first->KeyBefore(*node);
        siblings.emplace_back(node, id);
        if (type == kTypeStorage) substorages.emplace_back(node, kwLoadU32(e + kEntChild));
      }
      if (FAILED(hr)) {
        if (!m_check) return hr;
        result = hr;  // a check goes on with the other elements
      }
    }
    if (broken && !m_check) return result;
    auto less = [&](std::size_t a, std::size_t b) {
      return siblings[a].first->KeyBefore(*siblings[b].first);
    };
    parent->children.reserve(siblings.size());
    if (sorted) {
      for (const auto& sibling : siblings) parent->children.push_back(sibling.first);
      storages.insert(storages.end(), substorages.begin(), substorages.end());
    } else {
      order.resize(siblings.size());
      for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
      // Stable: of equal names the one visited first stays.
      std::stable_sort(order.begin(), order.end(), less);
      for (std::size_t k = 0; k < order.size(); ++k) {
        Node* node = siblings[order[k]].first;
        if (k > 0 && node->KeyIs(parent->children.back()->Key()))
          siblings[order[k]].first = nullptr;  // refused below, its subtree not walked
        else
          parent->children.push_back(node);
      }
      // Problems and subtrees in the order the entries were visited.
      for (const auto& [node, id] : siblings) {
        if (node == nullptr) {
          HRESULT hr = Problem(EntryOffset(id), "two elements of one storage have the same name");
          if (!m_check) return hr;
          result = hr;
        } else if (node->type == STGTY_STORAGE) {
          storages.emplace_back(node, kwLoadU32(Entry(id) + kEntChild));
        }
      }
    }
  }
  // A check goes on with whatever could be read.
  m_directory.reset();
  out->arena = std::move(arena);
  out->root = root;
  out->tables = m_tables;
  return result;
}

HRESULT Reader::ReadEveryStream(const Node& root) {
  HRESULT result = S_OK;
  std::vector<const Node*> pending{&root};
  std::vector<Extent> extents;
  std::vector<BYTE> buffer(1 << 20);
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    for (const Node* child : node->children) pending.push_back(child);
    if (node->type != STGTY_STREAM || node->size == 0) continue;
    HRESULT hr = StreamExtents(*m_tables, *node, &extents);
    for (std::uint64_t at = 0; SUCCEEDED(hr) && at < node->size; at += buffer.size()) {
      std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), node->size - at));
      hr = ReadExtents(*m_tables, node->mini, extents, at, buffer.data(), n);
    }
    if (FAILED(hr)) result = Problem(UINT64_MAX, "a stream cannot be read to its end", hr);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Writer

struct OutEntry {
  Node* node;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  BYTE color = kBlack;
  bool stream = false;  // kept here so that later passes need not visit the node
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
  const Chunks* chunks = nullptr;  // a changed stream's bytes, kept for the same reason
  const std::vector<std::uint32_t>* runs = nullptr;  // in place in the spill written into
};

// Builds a balanced tree over the entries [first, first + count), already in
// name order, by taking middles. Every null link then lies on the two deepest
// levels, so colouring the nodes of the deepest possible level red (and all
// others black) gives equal black heights and no red node with a red child.
// The recursion is as deep as the tree: the logarithm of the width.
std::uint32_t BuildBalanced(std::vector<OutEntry>& entries, std::uint32_t first,
                            std::uint32_t count, unsigned depth, unsigned redDepth) {
  if (count == 0) return kNoStream;
  std::uint32_t mid = first + count / 2;
  OutEntry& e = entries[mid];
  e.color = (depth == redDepth && depth != 0) ? kRed : kBlack;
  e.left = BuildBalanced(entries, first, count / 2, depth + 1, redDepth);
  entries[mid].right = BuildBalanced(entries, mid + 1, count - count / 2 - 1, depth + 1, redDepth);
  return mid;
}

unsigned FloorLog2(std::uint32_t n) {
  unsigned r = 0;
  while (n >>= 1) ++r;
  return r;
}

void StoreEntry(BYTE* p, bool isRoot, const OutEntry& e) {
  const Node& n = *e.node;
  std::u16string_view name = isRoot ? std::u16string_view(u"Root Entry") : n.Name();
  for (std::size_t i = 0; i < name.size(); ++i) kwStoreU16(p + kEntName + 2 * i, name[i]);
  kwStoreU16(p + kEntNameLength, static_cast<std::uint16_t>(2 * (name.size() + 1)));
  p[kEntType] = isRoot ? kTypeRoot : (n.type == STGTY_STORAGE ? kTypeStorage : kTypeStream);
  p[kEntColor] = e.color;
  kwStoreU32(p + kEntLeft, e.left);
  kwStoreU32(p + kEntRight, e.right);
  kwStoreU32(p + kEntChild, e.child);
  if (n.type == STGTY_STORAGE) {
    kwStoreGUID(p + kEntClsid, n.clsid);
    kwStoreU32(p + kEntStateBits, n.stateBits);
    if (!isRoot) {
      kwStoreU32(p + kEntCreationTime, n.ctime.dwLowDateTime);
      kwStoreU32(p + kEntCreationTime + 4, n.ctime.dwHighDateTime);
    }
    kwStoreU32(p + kEntModifiedTime, n.mtime.dwLowDateTime);
    kwStoreU32(p + kEntModifiedTime + 4, n.mtime.dwHighDateTime);
  } else {
    kwStoreU32(p + kEntStateBits, n.stateBits);
  }
  kwStoreU32(p + kEntStartSector, e.start);
  kwStoreU64(p + kEntSize, e.size);
}

// How many entries ahead the writer's passes start fetching nodes.
constexpr std::size_t kAhead = 16;
// Directory entries made and written at a time (64 KiB).
constexpr std::uint64_t kDirBatch = 512;

// Starts fetching what the writer reads of a node: its name, and its type,
// size and chunks.
void PrefetchNode(const Node* node) {
  __builtin_prefetch(node->name);
  __builtin_prefetch(&node->chunks);
}

// Starts fetching the first bytes of a changed stream and its size.
void PrefetchChunks(const Chunks* chunks) {
  if (chunks) {
    __builtin_prefetch(chunks);
    __builtin_prefetch(reinterpret_cast<const char*>(chunks) + 64);
  }
}

class Writer {
 public:
  Writer(const Tables* tables, Sink* sink, const Spill* inPlace)
      : m_tables(tables), m_sink(sink), m_inPlace(inPlace) {}
  HRESULT Run(const Node& root, std::vector<Placement>* placements, Tables* written);

 private:
  static constexpr std::uint32_t kSectorSize = 512;
  static constexpr std::uint32_t kPerSector = kSectorSize / 4;
  HRESULT Zeros(std::uint64_t count) {
    static constexpr BYTE kZeros[kSectorSize] = {};
    while (count > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof kZeros));
      HRESULT hr = m_sink->Write(kZeros, n);
      if (FAILED(hr)) return hr;
      count -= n;
    }
    return S_OK;
  }
  HRESULT Words(const std::vector<std::uint32_t>& words) {
    std::vector<BYTE> bytes(std::min<std::size_t>(words.size(), 1 << 18) * 4);
    for (std::size_t i = 0; i < words.size();) {
      std::size_t n = std::min(words.size() - i, bytes.size() / 4);
      for (std::size_t j = 0; j < n; ++j) kwStoreU32(bytes.data() + 4 * j, words[i + j]);
      HRESULT hr = m_sink->Write(bytes.data(), 4 * n);
      if (FAILED(hr)) return hr;
      i += n;
    }
    return S_OK;
  }
  HRESULT StreamBytes(const OutEntry& entry, std::uint64_t size);

  const Tables* m_tables;
  Sink* m_sink;
  const Spill* m_inPlace;
  std::vector<Extent> m_extents;
};

HRESULT Writer::StreamBytes(const OutEntry& entry, std::uint64_t size) {
  if (entry.chunks)
    return entry.chunks->ForEach(
        [&](const BYTE* data, std::size_t n) { return m_sink->Write(data, n); });
  if (!m_tables) return STG_E_UNKNOWN;
  const Node& node = *entry.node;
  HRESULT hr = StreamExtents(*m_tables, node, &m_extents);
  if (FAILED(hr)) return hr;
  if (!node.mini) {
    for (const Extent& e : m_extents) {
      hr = m_sink->Copy(*m_tables->source, e.offset, e.length);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  BYTE buffer[kMiniStreamCutoff];
  hr = ReadExtents(*m_tables, true, m_extents, 0, buffer, static_cast<std::size_t>(size));
  return SUCCEEDED(hr) ? m_sink->Write(buffer, static_cast<std::size_t>(size)) : hr;
}

HRESULT Writer::Run(const Node& root, std::vector<Placement>* placements, Tables* written) {
  // Directory ids in breadth-first order; each storage's children take
  // consecutive ids in name order, so their balanced tree is built in place.
  // Every pass over the entries is bound by fetching nodes scattered in
  // memory, one after another: fetches are started a few entries ahead, so
  // that they overlap.
  std::vector<OutEntry> entries;
  entries.push_back(OutEntry{const_cast<Node*>(&root)});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + kAhead < entries.size()) PrefetchNode(entries[i + kAhead].node);
    const Node* node = entries[i].node;
    if (node->type == STGTY_STREAM) {
      // A stream's size is read while its node is at hand.
      // (from a node whose fetch started kAhead / 2 entries ago)
      if (i + kAhead / 2 < entries.size())
        PrefetchChunks(entries[i + kAhead / 2].node->chunks.get());
      entries[i].stream = true;
      entries[i].size = node->StreamSize();
      entries[i].chunks = node->chunks.get();
    }
    if (node->type != STGTY_STORAGE || node->children.empty()) continue;
    if (entries.size() + node->children.size() >= kMaxRegSect) return STG_E_DOCFILETOOLARGE;
    std::uint32_t first = static_cast<std::uint32_t>(entries.size());
    // Grown geometrically but at once for a storage's children: a storage of
    // many would otherwise move the entries many times over.
    if (entries.capacity() < entries.size() + node->children.size())
      entries.reserve(std::max(entries.size() + node->children.size(), 2 * entries.capacity()));
    for (Node* child : node->children) entries.push_back(OutEntry{child});
    std::uint32_t count = static_cast<std::uint32_t>(node->children.size());
    entries[i].child = BuildBalanced(entries, first, count, 0, FloorLog2(count));
  }

  // Sector budget: the spill's runs, which stay where they are, then mini
  // streams (64-byte units), then regular streams.
  const std::uint32_t reserved = m_inPlace ? m_inPlace->Sectors() : 0;
  std::uint64_t miniSectors = 0, bigSectors = 0;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    OutEntry& e = entries[i];
    if (!e.stream) {
      e.start = 0;
      continue;
    }
    if (e.size == 0) continue;
    if (e.size >= kMiniStreamCutoff && e.chunks && (e.runs = e.chunks->RunsIn(m_inPlace))) {
      e.start = e.runs->front();
    } else if (e.size < kMiniStreamCutoff) {
      e.start = static_cast<std::uint32_t>(miniSectors);
      miniSectors += CeilDiv(e.size, kMiniSectorSize);
    } else {
      e.start = static_cast<std::uint32_t>(bigSectors);  // relative for now
      bigSectors += CeilDiv(e.size, kSectorSize);
    }
  }
  std::uint64_t dirSectors = CeilDiv(entries.size(), kSectorSize / kDirEntrySize);
  std::uint64_t miniFatSectors = CeilDiv(miniSectors, kPerSector);
  std::uint64_t miniStreamSectors = CeilDiv(miniSectors * kMiniSectorSize, kSectorSize);
  std::uint64_t base = reserved + dirSectors + miniFatSectors + miniStreamSectors + bigSectors;
  std::uint64_t fat = 0, difat = 0;
  for (;;) {
    std::uint64_t total = base + fat + difat;
    std::uint64_t fatNeeded = CeilDiv(total, kPerSector);
    std::uint64_t difatNeeded = fatNeeded > kHeaderDifatEntries
                                    ? CeilDiv(fatNeeded - kHeaderDifatEntries, kPerSector - 1)
                                    : 0;
    if (fatNeeded == fat && difatNeeded == difat) break;
    fat = fatNeeded;
    difat = difatNeeded;
  }
  std::uint64_t total = base + fat + difat;
  if (total >= kMaxRegSect / 2) return STG_E_DOCFILETOOLARGE;

  const std::uint32_t fatStart = reserved;
  std::uint32_t difatStart = static_cast<std::uint32_t>(fatStart + fat);
  std::uint32_t dirStart = static_cast<std::uint32_t>(difatStart + difat);
  std::uint32_t miniFatStart = static_cast<std::uint32_t>(dirStart + dirSectors);
  std::uint32_t miniStreamStart = static_cast<std::uint32_t>(miniFatStart + miniFatSectors);
  std::uint32_t bigStart = static_cast<std::uint32_t>(miniStreamStart + miniStreamSectors);

  // FAT: free everywhere, then the chains of every structure.
  std::vector<std::uint32_t> fatTable(fat * kPerSector, kFreeSect);
  auto chainRun = [&](std::uint32_t first, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i)
      fatTable[first + i] =
          i + 1 == count ? kEndOfChain : static_cast<std::uint32_t>(first + i + 1);
  };
  for (std::uint32_t i = 0; i < fat; ++i) fatTable[fatStart + i] = kFatSect;
  for (std::uint32_t i = 0; i < difat; ++i) fatTable[difatStart + i] = kDifSect;
  chainRun(dirStart, dirSectors);
  chainRun(miniFatStart, miniFatSectors);
  chainRun(miniStreamStart, miniStreamSectors);

  // DIFAT: the header's 109 slots, then DIFAT sectors of 127 slots and a link.
  BYTE header[kSectorSize] = {};
  std::memset(header + kOffDifat, 0xFF, 4 * kHeaderDifatEntries);
  std::vector<std::uint32_t> difatTable(difat * kPerSector, kFreeSect);
  for (std::uint32_t i = 0; i < fat; ++i) {
    if (i < kHeaderDifatEntries) {
      kwStoreU32(header + kOffDifat + 4 * i, fatStart + i);
    } else {
      std::uint32_t k = i - kHeaderDifatEntries;
      difatTable[(k / (kPerSector - 1)) * kPerSector + k % (kPerSector - 1)] = fatStart + i;
    }
  }
  for (std::uint32_t i = 0; i < difat; ++i)
    difatTable[i * kPerSector + kPerSector - 1] = i + 1 == difat ? kEndOfChain : difatStart + i + 1;

  // Mini FAT and the chains of regular streams.
  std::vector<std::uint32_t> miniFat(miniFatSectors * kPerSector, kFreeSect);
  for (std::size_t i = 1; i < entries.size(); ++i) {
    OutEntry& e = entries[i];
    if (!e.stream || e.size == 0) continue;
    if (e.runs) {
      // Sector k of the stream is sector k % 4096 of run k / 4096.
      const std::vector<std::uint32_t>& runs = *e.runs;
      auto sector = [&](std::uint64_t k) {
        return runs[k / Spill::kRunSectors] + static_cast<std::uint32_t>(k % Spill::kRunSectors);
      };
      std::uint64_t count = CeilDiv(e.size, kSectorSize);
      for (std::uint64_t k = 0; k < count; ++k)
        fatTable[sector(k)] = k + 1 == count ? kEndOfChain : sector(k + 1);
    } else if (e.size < kMiniStreamCutoff) {
      std::uint32_t count = static_cast<std::uint32_t>(CeilDiv(e.size, kMiniSectorSize));
      for (std::uint32_t k = 0; k < count; ++k)
        miniFat[e.start + k] = k + 1 == count ? kEndOfChain : e.start + k + 1;
    } else {
      e.start += bigStart;
      chainRun(e.start, CeilDiv(e.size, kSectorSize));
    }
  }

  entries[0].start = miniStreamSectors ? miniStreamStart : kEndOfChain;
  entries[0].size = miniSectors * kMiniSectorSize;
  // The directory is made and written a batch of entries at a time, through
  // one buffer that stays in the cache.
  std::vector<BYTE> directory(
      static_cast<std::size_t>(std::min<std::uint64_t>(dirSectors * 4, kDirBatch)) * kDirEntrySize);

  std::memcpy(header, kSignature, sizeof kSignature);
  kwStoreU16(header + kOffMinorVersion, 0x003E);
  kwStoreU16(header + kOffMajorVersion, 3);
  kwStoreU16(header + kOffByteOrder, 0xFFFE);
  kwStoreU16(header + kOffSectorShift, 9);
  kwStoreU16(header + kOffMiniSectorShift, 6);
  kwStoreU32(header + kOffNumFatSectors, static_cast<std::uint32_t>(fat));
  kwStoreU32(header + kOffFirstDirSector, dirStart);
  kwStoreU32(header + kOffMiniStreamCutoff, static_cast<std::uint32_t>(kMiniStreamCutoff));
  kwStoreU32(header + kOffFirstMiniFatSector, miniFatSectors ? miniFatStart : kEndOfChain);
  kwStoreU32(header + kOffNumMiniFatSectors, static_cast<std::uint32_t>(miniFatSectors));
  kwStoreU32(header + kOffFirstDifatSector, difat ? difatStart : kEndOfChain);
  kwStoreU32(header + kOffNumDifatSectors, static_cast<std::uint32_t>(difat));

  // Everything goes out once, in file order.
  HRESULT hr = m_sink->Write(header, sizeof header);
  if (SUCCEEDED(hr) && reserved) hr = m_sink->Skip(std::uint64_t{reserved} * kSectorSize);
  if (SUCCEEDED(hr)) hr = Words(fatTable);
  if (SUCCEEDED(hr)) hr = Words(difatTable);
  for (std::uint64_t first = 0; first < dirSectors * 4 && SUCCEEDED(hr); first += kDirBatch) {
    std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(dirSectors * 4 - first, kDirBatch));
    std::memset(directory.data(), 0, count * kDirEntrySize);
    for (std::size_t k = 0; k < count; ++k) {
      std::size_t i = static_cast<std::size_t>(first) + k;
      BYTE* p = directory.data() + k * kDirEntrySize;
      if (i >= entries.size()) {
        // Unused slots carry no-stream links.
        kwStoreU32(p + kEntLeft, kNoStream);
        kwStoreU32(p + kEntRight, kNoStream);
        kwStoreU32(p + kEntChild, kNoStream);
        continue;
      }
      if (i + kAhead < entries.size()) PrefetchNode(entries[i + kAhead].node);
      StoreEntry(p, i == 0, entries[i]);
    }
    hr = m_sink->Write(directory.data(), count * kDirEntrySize);
  }
  if (SUCCEEDED(hr)) hr = Words(miniFat);
  for (int pass = 0; pass < 2 && SUCCEEDED(hr); ++pass) {
    bool miniPass = pass == 0;
    for (std::size_t i = 1; i < entries.size() && SUCCEEDED(hr); ++i) {
      if (i + kAhead < entries.size()) PrefetchChunks(entries[i + kAhead].chunks);
      const OutEntry& e = entries[i];
      if (!e.stream || e.size == 0 || e.runs || (e.size < kMiniStreamCutoff) != miniPass) continue;
      hr = StreamBytes(e, e.size);
      std::uint32_t unit = miniPass ? kMiniSectorSize : kSectorSize;
      if (SUCCEEDED(hr)) hr = Zeros(CeilDiv(e.size, unit) * unit - e.size);
    }
    if (miniPass && SUCCEEDED(hr))
      hr = Zeros(miniStreamSectors * kSectorSize - miniSectors * kMiniSectorSize);
  }
  if (SUCCEEDED(hr)) hr = m_sink->Finish();
  if (FAILED(hr)) return hr;

  if (placements) {
    placements->clear();
    placements->reserve(entries.size() - 1);
    for (std::size_t i = 1; i < entries.size(); ++i) {
      const OutEntry& e = entries[i];
      if (e.stream)
        placements->push_back(
            {e.node, e.size ? e.start : kEndOfChain, e.size != 0 && e.size < kMiniStreamCutoff});
    }
  }
  if (written) {
    written->sectorSize = kSectorSize;
    written->sectorCount = static_cast<std::uint32_t>(total);
    written->version4 = false;
    fatTable.resize(total);  // the free tail of the last FAT sector is not needed
    written->fat = std::move(fatTable);
    written->miniFat = std::move(miniFat);
    written->miniStreamChain.resize(miniStreamSectors);
    for (std::uint32_t i = 0; i < miniStreamSectors; ++i)
      written->miniStreamChain[i] = miniStreamStart + i;
    written->miniStreamSize = miniSectors * kMiniSectorSize;
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Sinks

class FdSink final : public Sink {
 public:
  explicit FdSink(int fd) : m_fd(fd), m_buffer(kBufferSize) {}

  HRESULT Write(const void* data, std::size_t size) override {
    if (m_used + size > m_buffer.size()) {
      HRESULT hr = Flush();
      if (FAILED(hr)) return hr;
    }
    if (size >= m_buffer.size()) return kwWriteAll(m_fd, data, size) ? S_OK : WriteFault();
    std::memcpy(m_buffer.data() + m_used, data, size);
    m_used += size;
    return S_OK;
  }

  HRESULT Copy(const Source& source, std::uint64_t offset, std::uint64_t size) override {
    if (source.Memory()) return Write(source.Memory() + offset, static_cast<std::size_t>(size));
    HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    // Kernel-side first; file systems that cannot (or old kernels) fall back
    // to large reads and writes through the buffer.
    loff_t from = static_cast<loff_t>(offset);
    while (size > 0 && m_kernelCopy) {
      ssize_t n =
          ::copy_file_range(source.Fd(), &from, m_fd, nullptr, static_cast<std::size_t>(size), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                    errno == EBADF)) {
        m_kernelCopy = false;
        break;
      }
      if (n < 0) return WriteFault();
      if (n == 0) return STG_E_READFAULT;  // the old file was cut under us
      size -= static_cast<std::uint64_t>(n);
    }
    offset = static_cast<std::uint64_t>(from);
    while (size > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_buffer.size()));
      hr = source.ReadAt(offset, m_buffer.data(), n);
      if (FAILED(hr)) return hr;
      if (!kwWriteAll(m_fd, m_buffer.data(), n)) return WriteFault();
      offset += n;
      size -= n;
    }
    return S_OK;
  }

  HRESULT Skip(std::uint64_t size) override {
    HRESULT hr = Flush();
    if (SUCCEEDED(hr) && ::lseek(m_fd, static_cast<off_t>(size), SEEK_CUR) < 0) hr = WriteFault();
    return hr;
  }

  HRESULT Finish() override { return Flush(); }

 private:
  static constexpr std::size_t kBufferSize = 1 << 20;
  static HRESULT WriteFault() { return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT); }
  HRESULT Flush() {
    if (m_used == 0) return S_OK;
    std::size_t used = m_used;
    m_used = 0;
    return kwWriteAll(m_fd, m_buffer.data(), used) ? S_OK : WriteFault();
  }

  int m_fd;
  std::vector<BYTE> m_buffer;
  std::size_t m_used = 0;
  bool m_kernelCopy = true;
};

class MemorySink final : public Sink {
 public:
  explicit MemorySink(std::vector<BYTE>* image) : m_image(image) {}
  HRESULT Write(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const BYTE*>(data);
    m_image->insert(m_image->end(), bytes, bytes + size);
    return S_OK;
  }
  HRESULT Copy(const Source& source, std::uint64_t offset, std::uint64_t size) override {
    std::size_t at = m_image->size();
    m_image->resize(at + static_cast<std::size_t>(size));
    return source.ReadAt(offset, m_image->data() + at, static_cast<std::size_t>(size));
  }
  HRESULT Skip(std::uint64_t size) override {
    m_image->resize(m_image->size() + static_cast<std::size_t>(size));
    return S_OK;
  }
  HRESULT Finish() override { return S_OK; }

 private:
  std::vector<BYTE>* m_image;
};

}  // namespace

// ---------------------------------------------------------------------------

Spill::Spill(std::string target) : m_target(std::move(target)) {}

Spill::~Spill() {
  if (m_fd >= 0) ::close(m_fd);
}

HRESULT Spill::Begin() {
  auto file = std::make_unique<CkwAtomicFile>();
  HRESULT hr = file->Begin(m_target);
  if (FAILED(hr)) return hr;
  CkwFd fd(::fcntl(file->Fd(), F_DUPFD_CLOEXEC, 0));
  if (fd.get() < 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  if (m_fd >= 0) {
    // A failed commit used the last file up: the runs move to the new one,
    // as a commit copies unchanged streams. What lies past the end of the
    // old file was never written and reads as zeros in the new one too.
    struct stat status;
    if (::fstat(m_fd, &status) != 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
    Source old(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0), static_cast<std::uint64_t>(status.st_size));
    if (old.Fd() < 0 || ::lseek(fd.get(), Tables::kWrittenSectorSize, SEEK_SET) < 0)
      return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
    const std::uint64_t end = std::min<std::uint64_t>(RunsEnd(), old.Size());
    std::unique_ptr<Sink> sink = MakeFdSink(fd.get());
    if (end > Tables::kWrittenSectorSize)
      hr = sink->Copy(old, Tables::kWrittenSectorSize, end - Tables::kWrittenSectorSize);
    if (SUCCEEDED(hr)) hr = sink->Finish();
    if (FAILED(hr)) return hr;
    ::close(m_fd);
  }
  m_fd = fd.Release();
  m_file = std::move(file);
  m_pastRuns = false;
  return S_OK;
}

HRESULT Spill::NewRun(std::uint32_t* first) {
  if (m_sealed) return STG_E_REVERTED;
  if (m_sectors >= kMaxRegSect / 2 - kRunSectors) return STG_E_MEDIUMFULL;
  HRESULT hr = Writable();
  if (FAILED(hr)) return hr;
  // Runs start at sector 7 and go on in whole pages: sector s lies at byte
  // 512 * (s + 1), so every run is aligned to 4 KiB in the file, as page
  // cache copies like best. The seven sectors before stay free.
  if (m_sectors == 0) m_sectors = kFirstRun;
  // A new run reads as zeros: a commit that failed in its writes may have
  // left its tables and streams there.
  if (m_pastRuns) {
    if (::ftruncate(m_fd, RunsEnd()) != 0) return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
    m_pastRuns = false;
  }
  *first = m_sectors;
  m_sectors += kRunSectors;
  return S_OK;
}

HRESULT Spill::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const noexcept {
  auto* bytes = static_cast<BYTE*>(buffer);
  ssize_t got = kwTransferFull(size, [&](std::size_t done) {
    return ::pread(m_fd, bytes + done, size - done, static_cast<off_t>(offset + done));
  });
  if (got < 0) return STG_E_READFAULT;
  // Runs are written as far as the stream goes; a run's fresh end is a hole
  // or lies past the end of the file, and reads as zeros.
  std::memset(bytes + got, 0, size - static_cast<std::size_t>(got));
  return S_OK;
}

HRESULT Spill::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (m_sealed) return STG_E_REVERTED;
  HRESULT hr = Writable();
  if (FAILED(hr)) return hr;
  const auto* bytes = static_cast<const BYTE*>(data);
  ssize_t put = kwTransferFull(size, [&](std::size_t done) {
    return ::pwrite(m_fd, bytes + done, size - done, static_cast<off_t>(offset + done));
  });
  if (put == static_cast<ssize_t>(size)) return S_OK;
  return kwStorageResultFromErrno(put >= 0 ? EIO : errno, STG_E_WRITEFAULT);
}

// A commit that failed once it closed the file may have renamed it into
// place already (only the directory's flush failed): that file is never
// written again, the runs move to a new one first.
HRESULT Spill::Writable() { return m_file && m_file->Fd() >= 0 ? S_OK : Begin(); }

HRESULT Spill::Prepare(CkwAtomicFile** file) {
  if (m_sealed) return STG_E_REVERTED;
  HRESULT hr = Writable();
  if (FAILED(hr)) return hr;
  // A commit that failed earlier may have left more behind the runs.
  if (::ftruncate(m_file->Fd(), RunsEnd()) != 0 || ::lseek(m_file->Fd(), 0, SEEK_SET) != 0)
    return kwStorageResultFromErrno(errno, STG_E_WRITEFAULT);
  m_pastRuns = true;
  *file = m_file.get();
  return S_OK;
}

Source::~Source() {
  if (m_fd >= 0) ::close(m_fd);
}

HRESULT Source::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const noexcept {
  if (offset > m_size || size > m_size - offset) return STG_E_READFAULT;
  if (m_fd < 0) {
    if (size) std::memcpy(buffer, m_bytes.data() + offset, size);
    return S_OK;
  }
  auto* bytes = static_cast<char*>(buffer);
  ssize_t got = kwTransferFull(size, [&](std::size_t done) {
    return ::pread(m_fd, bytes + done, size - done, static_cast<off_t>(offset + done));
  });
  return got == static_cast<ssize_t>(size) ? S_OK : STG_E_READFAULT;
}

std::unique_ptr<Sink> MakeFdSink(int fd) { return std::make_unique<FdSink>(fd); }
std::unique_ptr<Sink> MakeMemorySink(std::vector<BYTE>* image) {
  return std::make_unique<MemorySink>(image);
}

namespace {

constexpr std::size_t kHugeBlock = std::size_t{2} << 20;

// A 2 MiB block aligned to 2 MiB, so that it can be one huge page: mapped
// twice as large, trimmed to the aligned middle, then marked.
BYTE* MapHugeBlock() {
  void* mapped =
      ::mmap(nullptr, 2 * kHugeBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  auto start = reinterpret_cast<std::uintptr_t>(mapped);
  std::uintptr_t aligned = (start + kHugeBlock - 1) & ~(kHugeBlock - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  std::size_t tail = start + 2 * kHugeBlock - (aligned + kHugeBlock);
  if (tail) ::munmap(reinterpret_cast<void*>(aligned + kHugeBlock), tail);
  auto* block = reinterpret_cast<BYTE*>(aligned);
  ::madvise(block, kHugeBlock, MADV_HUGEPAGE);  // a hint: refused, small pages serve
  return block;
}

}  // namespace

// Block k < 16 holds 64 << k bytes from 64 * (2^k - 1); every later block
// holds 2 MiB.
std::size_t Chunks::BlockOf(std::uint64_t offset, std::uint64_t* begin,
                            std::size_t* length) noexcept {
  if (offset < kInMemory) {
    unsigned k = 63u - static_cast<unsigned>(__builtin_clzll(offset / 64 + 1));
    *begin = 64u * ((std::uint64_t{1} << k) - 1);
    *length = std::size_t{64} << k;
    return k;
  }
  std::uint64_t k = (offset - kInMemory) >> 21;
  *begin = kInMemory + (k << 21);
  *length = kHugeBlock;
  return static_cast<std::size_t>(16 + k);
}

Chunks::~Chunks() {
  while (!m_blocks.empty()) PopBlock();
}

void Chunks::PopBlock() noexcept {
  std::uint64_t begin;
  std::size_t length;
  BlockOf(m_capacity - 1, &begin, &length);
  BYTE* block = m_blocks.back();
  m_blocks.pop_back();
  m_capacity = begin;
  if (length == kHugeBlock)
    ::munmap(block, length);
  else
    delete[] block;
}

void Chunks::Reserve(std::uint64_t size) {
  while (m_capacity < size) {
    std::uint64_t begin;
    std::size_t length;
    BlockOf(m_capacity, &begin, &length);
    m_blocks.reserve(m_blocks.size() + 1);  // so that the block cannot leak
    m_blocks.push_back(length == kHugeBlock ? MapHugeBlock() : new BYTE[length]);
    m_capacity += length;
  }
}

namespace {

// Visits the bytes [offset, offset + size) of a stream kept in `runs`, run by
// run: piece(offset in the file, offset from `offset`, length).
template <typename Piece>
HRESULT EachRun(const std::vector<std::uint32_t>& runs, std::uint64_t offset, std::uint64_t size,
                Piece piece) {
  for (std::uint64_t at = offset, end = offset + size; at < end;) {
    std::uint64_t within = at % Spill::kRunBytes;
    std::size_t n = static_cast<std::size_t>(std::min(end - at, Spill::kRunBytes - within));
    std::uint64_t run = runs[static_cast<std::size_t>(at / Spill::kRunBytes)];
    HRESULT hr = piece((run + 1) * Tables::kWrittenSectorSize + within, at - offset, n);
    if (FAILED(hr)) return hr;
    at += n;
  }
  return S_OK;
}

}  // namespace

HRESULT Chunks::CoverRuns(SpilledBytes& spilled, std::uint64_t end) {
  while (spilled.runs.size() * Spill::kRunBytes < end) {
    spilled.runs.reserve(spilled.runs.size() + 1);
    std::uint32_t first = 0;
    HRESULT hr = spilled.spill->NewRun(&first);
    if (FAILED(hr)) return hr;
    spilled.runs.push_back(first);
  }
  return S_OK;
}

HRESULT Chunks::SpillTo(std::shared_ptr<Spill> spill) {
  auto spilled = std::make_unique<SpilledBytes>();
  spilled->spill = std::move(spill);
  spilled->zeroFrom = m_size;
  // On failure the runs handed out stay unused: free sectors of the new file.
  HRESULT hr = CoverRuns(*spilled, m_size);
  std::uint64_t at = 0;
  if (SUCCEEDED(hr))
    hr = ForEach([&](const BYTE* data, std::size_t n) {
      std::uint64_t from = at;
      at += n;
      return EachRun(spilled->runs, from, n,
                     [&](std::uint64_t fileOffset, std::uint64_t done, std::size_t length) {
                       return spilled->spill->WriteAt(fileOffset, data + done, length);
                     });
    });
  if (FAILED(hr)) return hr;
  while (!m_blocks.empty()) PopBlock();
  m_spilled = std::move(spilled);
  return S_OK;
}

// Makes the runs cover `end`, with the bytes from the end of the stream to
// `zeroTo` reading as zeros: those that were written before a shrink are
// zeroed, new runs are fresh parts of the file and zeros already.
HRESULT Chunks::GrowSpilled(std::uint64_t end, std::uint64_t zeroTo) {
  static constexpr BYTE kZeros[64 * 1024] = {};
  SpilledBytes& spilled = *m_spilled;
  std::uint64_t stale = std::min(zeroTo, spilled.zeroFrom);
  for (std::uint64_t at = m_size; at < stale;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(stale - at, sizeof kZeros));
    HRESULT hr = EachRun(spilled.runs, at, n,
                         [&](std::uint64_t fileOffset, std::uint64_t, std::size_t length) {
                           return spilled.spill->WriteAt(fileOffset, kZeros, length);
                         });
    if (FAILED(hr)) return hr;
    at += n;
  }
  HRESULT hr = CoverRuns(spilled, end);
  if (FAILED(hr)) return hr;
  spilled.zeroFrom = std::max(spilled.zeroFrom, end);
  return S_OK;
}

HRESULT Chunks::Resize(std::uint64_t size) {
  if (m_spilled) {
    if (size > m_size) {
      HRESULT hr = GrowSpilled(size, size);
      if (FAILED(hr)) return hr;
    } else {
      m_spilled->spill->MarkStale();
      std::vector<std::uint32_t>& runs = m_spilled->runs;
      runs.resize(static_cast<std::size_t>(CeilDiv(size, Spill::kRunBytes)));
      m_spilled->zeroFrom =
          std::min<std::uint64_t>(m_spilled->zeroFrom, runs.size() * Spill::kRunBytes);
    }
    m_size = size;
    return S_OK;
  }
  if (size > m_size) {
    Reserve(size);
    std::uint64_t at = m_size;
    while (at < size) {
      std::uint64_t begin;
      std::size_t length;
      std::size_t k = BlockOf(at, &begin, &length);
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, begin + length) - at);
      std::memset(Block(k) + (at - begin), 0, n);
      at += n;
    }
  } else {
    // Blocks wholly beyond the new end go back (the first stays).
    while (!m_blocks.empty()) {
      std::uint64_t begin;
      std::size_t length;
      BlockOf(m_capacity - 1, &begin, &length);
      if (begin < size) break;
      PopBlock();
    }
  }
  m_size = size;
  return S_OK;
}

HRESULT Chunks::Write(std::uint64_t offset, const void* data, std::size_t size) {
  const auto* from = static_cast<const BYTE*>(data);
  if (m_spilled) {
    HRESULT hr = offset + size > m_size ? GrowSpilled(offset + size, offset) : S_OK;
    if (SUCCEEDED(hr))
      hr = EachRun(m_spilled->runs, offset, size,
                   [&](std::uint64_t fileOffset, std::uint64_t done, std::size_t length) {
                     return m_spilled->spill->WriteAt(fileOffset, from + done, length);
                   });
    if (FAILED(hr)) return hr;
    m_size = std::max<std::uint64_t>(m_size, offset + size);
    return S_OK;
  }
  if (offset > m_size) {
    HRESULT hr = Resize(offset);  // the gap reads as zeros
    if (FAILED(hr)) return hr;
  }
  Reserve(offset + size);
  for (std::uint64_t at = offset, end = offset + size; at < end;) {
    std::uint64_t begin;
    std::size_t length;
    std::size_t k = BlockOf(at, &begin, &length);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end, begin + length) - at);
    std::memcpy(Block(k) + (at - begin), from, n);
    from += n;
    at += n;
  }
  m_size = std::max<std::uint64_t>(m_size, offset + size);
  return S_OK;
}

HRESULT Chunks::Read(std::uint64_t offset, void* data, std::size_t size) const noexcept {
  auto* to = static_cast<BYTE*>(data);
  if (m_spilled)
    return EachRun(m_spilled->runs, offset, size,
                   [&](std::uint64_t fileOffset, std::uint64_t done, std::size_t length) {
                     return m_spilled->spill->ReadAt(fileOffset, to + done, length);
                   });
  for (std::uint64_t at = offset, end = offset + size; at < end;) {
    std::uint64_t begin;
    std::size_t length;
    std::size_t k = BlockOf(at, &begin, &length);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end, begin + length) - at);
    std::memcpy(to, Block(k) + (at - begin), n);
    to += n;
    at += n;
  }
  return S_OK;
}

HRESULT Chunks::ForEach(const std::function<HRESULT(const BYTE*, std::size_t)>& piece) const {
  if (m_spilled) {
    std::vector<BYTE> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(m_size, 1 << 20)));
    for (std::uint64_t at = 0; at < m_size; at += buffer.size()) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_size - at));
      HRESULT hr = Read(at, buffer.data(), n);
      if (SUCCEEDED(hr)) hr = piece(buffer.data(), n);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  for (std::uint64_t at = 0; at < m_size;) {
    std::uint64_t begin;
    std::size_t length;
    std::size_t k = BlockOf(at, &begin, &length);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(m_size, begin + length) - at);
    HRESULT hr = piece(Block(k), n);
    if (FAILED(hr)) return hr;
    at += n;
  }
  return S_OK;
}

void FoldName(std::u16string_view name, char16_t* key) noexcept {
  std::size_t length = std::min<std::size_t>(name.size(), 31);
  for (std::size_t i = 0; i < length; ++i) {
    char16_t c = name[i];
    key[i] = FoldUnit(c);
  }
}

void Node::SetName(std::u16string_view text) noexcept {
  nameLength = static_cast<std::uint8_t>(std::min<std::size_t>(text.size(), 31));
  std::copy_n(text.data(), nameLength, name);
}

FoldedName Node::Key() const noexcept {
  FoldedName folded;
  folded.length = nameLength;
  FoldName(Name(), folded.text);
  return folded;
}

std::vector<Node*>::iterator Node::Find(std::u16string_view wanted, bool* found) noexcept {
  // Children mostly arrive in name order (a file's directory, numbered
  // names): the end is checked first.
  if (children.empty() || children.back()->KeyBefore(wanted)) {
    *found = false;
    return children.end();
  }
  auto at = std::lower_bound(children.begin(), children.end(), wanted,
                             [](const Node* n, std::u16string_view k) { return n->KeyBefore(k); });
  *found = at != children.end() && (*at)->KeyIs(wanted);
  return at;
}

Node* Node::Lookup(std::u16string_view wanted) {
  // Names are often looked up in the order they are stored: the child after
  // the last one found is tried first (a guess only; any value is safe).
  // Only a wrong guess builds the index, so a walk in stored order costs no
  // hashing at all.
  std::size_t hint = lookupHint;
  if (hint < children.size() && children[hint]->KeyIs(wanted)) {
    lookupHint = hint + 1;
    return children[hint];
  }
  constexpr std::size_t kIndexFrom = 32;
  if (!index && children.size() >= kIndexFrom) {
    auto built = std::make_unique<ChildIndex>();
    built->Reserve(children.size());
    for (Node* child : children) built->Insert(child);
    index = std::move(built);
  }
  if (index) {
    Node* node = index->Find(wanted);
    if (node && hint + 1 < children.size() && children[hint + 1] == node) lookupHint = hint + 2;
    return node;
  }
  bool found = false;
  auto at = Find(wanted, &found);
  if (!found) return nullptr;
  lookupHint = static_cast<std::size_t>(at - children.begin()) + 1;
  return *at;
}

void Node::ReserveChild() {
  if (children.size() == children.capacity())
    children.reserve(std::max<std::size_t>(8, 2 * children.size()));
  if (index) index->Reserve(children.size() + 1);
}

void Node::InsertChild(std::vector<Node*>::iterator at, Node* child) noexcept {
  children.insert(at, child);  // within the capacity reserved
  if (index) index->Insert(child);
}

void Node::EraseChild(std::vector<Node*>::iterator at) noexcept {
  if (index) index->Erase(*at);
  children.erase(at);
}

void Node::ReplaceChild(std::vector<Node*>::iterator at, Node* child) noexcept {
  if (index) {
    index->Erase(*at);
    index->Insert(child);  // the slot just freed is room enough
  }
  *at = child;
}

std::size_t ChildIndex::Hash(std::u16string_view key) noexcept {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (char16_t c : key) h = (h ^ c) * 0x100000001B3ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

Node* ChildIndex::Find(std::u16string_view key) const noexcept {
  if (m_slots.empty()) return nullptr;
  std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = Home(key);; i = (i + 1) & mask) {
    Node* n = m_slots[i];
    if (!n) return nullptr;
    if (n->KeyIs(key)) return n;
  }
}

void ChildIndex::Reserve(std::size_t count) {
  if (count * 2 <= m_slots.size()) return;
  std::size_t capacity = 16;
  while (capacity < count * 2) capacity *= 2;
  std::vector<Node*> old(capacity, nullptr);
  old.swap(m_slots);
  m_size = 0;
  for (Node* n : old)
    if (n) Insert(n);
}

void ChildIndex::Insert(Node* node) noexcept {
  std::size_t mask = m_slots.size() - 1;
  std::size_t i = Home(node->Key());
  while (m_slots[i]) i = (i + 1) & mask;
  m_slots[i] = node;
  ++m_size;
}

void ChildIndex::Erase(const Node* node) noexcept {
  if (m_slots.empty()) return;
  std::size_t mask = m_slots.size() - 1;
  std::size_t i = Home(node->Key());
  while (m_slots[i] && m_slots[i] != node) i = (i + 1) & mask;
  if (!m_slots[i]) return;
  // Backward-shift deletion keeps probe runs whole without tombstones.
  std::size_t gap = i;
  for (std::size_t j = (i + 1) & mask; m_slots[j]; j = (j + 1) & mask) {
    std::size_t home = Home(m_slots[j]->Key());
    bool movable = gap <= j ? (home <= gap || home > j) : (home <= gap && home > j);
    if (movable) {
      m_slots[gap] = m_slots[j];
      gap = j;
    }
  }
  m_slots[gap] = nullptr;
  --m_size;
}

Arena::~Arena() {
  for (std::size_t b = 0; b < m_blocks.size(); ++b) {
    std::size_t built = b + 1 == m_blocks.size() ? m_used : b >= 8 ? 4096 : std::size_t{16} << b;
    Node* block = m_blocks[b].get();
    for (std::size_t i = 0; i < built; ++i) block[i].~Node();
  }
}

Node* Arena::New() {
  if (m_blocks.empty() || m_used == m_blockSize) {
    // Block b holds min(16 << b, 4096) nodes; the destructor counts on it.
    std::size_t size = m_blocks.empty() ? 16 : std::min<std::size_t>(m_blockSize * 2, 4096);
    m_blocks.reserve(m_blocks.size() + 1);
    static_assert(alignof(Node) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    m_blocks.emplace_back(static_cast<Node*>(::operator new(size * sizeof(Node))));
    m_blockSize = size;
    m_used = 0;
  }
  Node* node = new (m_blocks.back().get() + m_used) Node;
  ++m_used;
  return node;
}

void Retire(Node& node) noexcept {
  node.live = false;
  node.pending = nullptr;
  Node* list = &node;
  while (list) {
    Node* n = list;
    list = n->pending;
    n->pending = nullptr;
    // Nothing reads a retired node's bytes again; a large stream's hold the
    // file they spilled into, which may be in place by now, open.
    n->chunks.reset();
    for (Node* child : n->children) {
      child->live = false;
      child->pending = list;
      list = child;
    }
  }
}

char16_t UpperCase(char16_t c) noexcept {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs upper/lower case as even/odd, with a shift of
    // parity between U+0139 and U+0148 and after U+0179.
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool oddIsLower = (c < 0x139) || (c > 0x149 && c < 0x179);
    if (oddIsLower ? (c & 1) : !(c & 1)) return static_cast<char16_t>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool IsValidName(std::u16string_view name) noexcept {
  if (name.empty() || name.size() > 31) return false;
  for (char16_t c : name)
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return false;
  return true;
}

HRESULT Open(std::shared_ptr<const Source> source, Parsed* out) noexcept {
  return Guarded([&] {
    Reader reader(std::move(source), nullptr);
    HRESULT hr = reader.ReadTables(true);
    return SUCCEEDED(hr) ? reader.BuildTree(out) : hr;
  });
}

HRESULT StreamExtents(const Tables& t, const Node& node, std::vector<Extent>* out) noexcept {
  return Guarded([&]() -> HRESULT {
    out->clear();
    std::uint64_t left = node.size;
    std::uint32_t current = node.start;
    // Neighbouring sectors make one extent, so a read of them is one call.
    auto append = [out](std::uint64_t offset, std::uint64_t n) {
      if (!out->empty() && out->back().offset + out->back().length == offset)
        out->back().length += n;
      else
        out->push_back({offset, n});
    };
    // The chain was checked when the file was opened; the bounds are checked
    // again because they cost nothing and keep every read inside the tables.
    if (node.mini) {
      while (left > 0) {
        if (current >= t.miniFat.size()) return STG_E_DOCFILECORRUPT;
        std::uint64_t n = std::min<std::uint64_t>(left, kMiniSectorSize);
        append(static_cast<std::uint64_t>(current) * kMiniSectorSize, n);
        left -= n;
        current = t.miniFat[current];
      }
      return S_OK;
    }
    if (node.contiguous) {
      out->push_back({t.SectorOffset(current), left});
      return S_OK;
    }
    std::uint64_t steps = 0;
    while (left > 0) {
      if (current >= t.fat.size() || current >= t.sectorCount || ++steps > t.sectorCount)
        return STG_E_DOCFILECORRUPT;
      std::uint64_t n = std::min<std::uint64_t>(left, t.sectorSize);
      append(t.SectorOffset(current), n);
      left -= n;
      current = t.fat[current];
    }
    return S_OK;
  });
}

static const BYTE* MiniCache(const Tables& t) noexcept {
  // Every read of a mini stream asks: the flag spares them the once-call.
  if (t.miniCacheReady.load(std::memory_order_acquire)) return t.miniCache.get();
  std::call_once(t.miniCacheOnce, [&t]() noexcept {
    if (t.miniStreamSize <= kMiniCacheLimit) {
      Guarded([&t] {
        std::size_t total = t.miniStreamChain.size() * t.sectorSize;
        auto bytes = std::make_unique_for_overwrite<BYTE[]>(total);
        for (std::size_t i = 0; i < t.miniStreamChain.size();) {
          std::size_t n = 1;
          while (i + n < t.miniStreamChain.size() &&
                 t.miniStreamChain[i + n] == t.miniStreamChain[i] + n)
            ++n;
          std::uint64_t at = t.SectorOffset(t.miniStreamChain[i]);
          std::uint64_t have =
              std::min<std::uint64_t>(static_cast<std::uint64_t>(n) * t.sectorSize,
                                      at < t.source->Size() ? t.source->Size() - at : 0);
          BYTE* dest = bytes.get() + i * t.sectorSize;
          HRESULT hr = t.source->ReadAt(at, dest, static_cast<std::size_t>(have));
          if (FAILED(hr)) return hr;
          // What a cut-off last sector lacks reads as zeros.
          std::memset(dest + have, 0, static_cast<std::size_t>(n * t.sectorSize - have));
          i += n;
        }
        t.miniCache = std::move(bytes);
        t.miniCacheSize = total;
        return S_OK;
      });
    }
    t.miniCacheReady.store(true, std::memory_order_release);
  });
  return t.miniCache.get();
}

HRESULT ReadMini(const Tables& t, const Node& node, std::uint64_t offset, void* buffer,
                 std::size_t size) noexcept {
  const BYTE* cache = MiniCache(t);
  if (!cache) return S_FALSE;
  if (offset > node.size || size > node.size - offset) return STG_E_READFAULT;
  // The chain was checked at open; its bounds are checked again because that
  // costs nothing and keeps every read inside the tables.
  std::uint32_t current = node.start;
  for (std::uint64_t skip = offset / kMiniSectorSize; skip > 0; --skip) {
    if (current >= t.miniFat.size()) return STG_E_DOCFILECORRUPT;
    current = t.miniFat[current];
  }
  auto* out = static_cast<BYTE*>(buffer);
  std::size_t within = static_cast<std::size_t>(offset % kMiniSectorSize);
  while (size > 0) {
    if (current >= t.miniFat.size()) return STG_E_DOCFILECORRUPT;
    std::size_t n = std::min<std::size_t>(size, kMiniSectorSize - within);
    std::uint64_t at = static_cast<std::uint64_t>(current) * kMiniSectorSize + within;
    if (at + n > t.miniCacheSize) return STG_E_DOCFILECORRUPT;
    std::memcpy(out, cache + at, n);
    out += n;
    size -= n;
    within = 0;
    current = t.miniFat[current];
  }
  return S_OK;
}

HRESULT ReadExtents(const Tables& t, bool mini, const std::vector<Extent>& extents,
                    std::uint64_t offset, void* buffer, std::size_t size) noexcept {
  auto* out = static_cast<BYTE*>(buffer);
  const BYTE* cache = mini ? MiniCache(t) : nullptr;
  std::uint64_t base = 0;  // stream offset of the current extent
  for (const Extent& e : extents) {
    if (size == 0) break;
    if (offset >= base + e.length) {
      base += e.length;
      continue;
    }
    std::uint64_t within = offset - base;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, e.length - within));
    std::uint64_t at = e.offset + within;
    if (!mini) {
      HRESULT hr = t.source->ReadAt(at, out, n);
      if (FAILED(hr)) return hr;
    } else if (cache) {
      if (at + n > t.miniCacheSize) return STG_E_DOCFILECORRUPT;
      std::memcpy(out, cache + at, n);
    } else {
      // Mini sectors never straddle a sector: one read per piece of a sector.
      for (std::size_t done = 0; done < n;) {
        std::uint64_t m = at + done;
        std::size_t index = static_cast<std::size_t>(m / t.sectorSize);
        if (index >= t.miniStreamChain.size()) return STG_E_DOCFILECORRUPT;
        std::size_t piece = static_cast<std::size_t>(
            std::min<std::uint64_t>(n - done, t.sectorSize - m % t.sectorSize));
        HRESULT hr = t.source->ReadAt(t.SectorOffset(t.miniStreamChain[index]) + m % t.sectorSize,
                                      out + done, piece);
        if (FAILED(hr)) return hr;
        done += piece;
      }
    }
    out += n;
    size -= n;
    offset += n;
    base += e.length;
  }
  return size == 0 ? S_OK : STG_E_READFAULT;
}

HRESULT Write(const Node& root, const Tables* tables, Sink* sink,
              std::vector<Placement>* placements, Tables* written, const Spill* inPlace) noexcept {
  return Guarded([&] { return Writer(tables, sink, inPlace).Run(root, placements, written); });
}

void Relocate(const std::vector<Placement>& placements) noexcept {
  for (std::size_t i = 0; i < placements.size(); ++i) {
    if (i + kAhead < placements.size()) __builtin_prefetch(&placements[i + kAhead].node->chunks);
    if (i + kAhead / 2 < placements.size())
      PrefetchChunks(placements[i + kAhead / 2].node->chunks.get());
    const Placement& p = placements[i];
    p.node->size = p.node->StreamSize();
    p.node->start = p.start;
    p.node->mini = p.mini;
    p.node->contiguous = false;  // its chain in the new file is walked when first read
    p.node->chunks.reset();
  }
}

HRESULT Check(std::shared_ptr<const Source> source, const ProblemFn& problem) noexcept {
  return Guarded([&] {
    Reader reader(std::move(source), &problem);
    HRESULT hr = reader.ReadTables(true);
    if (FAILED(hr)) return hr;
    Parsed parsed;
    HRESULT tree = reader.BuildTree(&parsed);
    if (!parsed.root) return tree;
    HRESULT streams = reader.ReadEveryStream(*parsed.root);
    return FAILED(tree) ? tree : streams;
  });
}

}  // namespace kwcfb
