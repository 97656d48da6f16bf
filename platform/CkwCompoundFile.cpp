// Reader and writer of compound files (the Microsoft Compound File Binary
// format). The writer emits version 3 with 512-byte sectors, a mini stream for
// small streams and balanced red-black directory trees; the reader takes
// versions 3 and 4 and checks every number before it uses it.
#include "CkwCompoundFile.h"

#include <algorithm>
#include <cstring>

#include "platform/kwLittleEndian.h"

namespace kwcfb {
namespace {

constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
// Free FAT and mini-FAT entries (FREESECT, 0xFFFFFFFF) are written by filling
// with 0xFF bytes.
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

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// The fields an entry carries whatever its type, the root's included.
void ReadAttributes(const BYTE* e, Node* node) {
  node->clsid = kwLoadGUID(e + kEntClsid);
  node->stateBits = kwLoadU32(e + kEntStateBits);
  node->ctime = {kwLoadU32(e + kEntCreationTime), kwLoadU32(e + kEntCreationTime + 4)};
  node->mtime = {kwLoadU32(e + kEntModifiedTime), kwLoadU32(e + kEntModifiedTime + 4)};
}

// ---------------------------------------------------------------------------
// Reader

// Marks sectors visited by the chain being walked; a new stamp per chain makes
// "reset" free, so cycle detection stays linear over a whole file.
class ChainStamps {
 public:
  explicit ChainStamps(std::size_t count) : m_stamps(count, 0) {}
  void NextChain() { ++m_current; }
  // False when `index` was already seen in the current chain.
  bool Visit(std::uint32_t index) {
    if (m_stamps[index] == m_current) return false;
    m_stamps[index] = m_current;
    return true;
  }

 private:
  std::vector<std::uint32_t> m_stamps;
  std::uint32_t m_current = 0;
};

class Reader {
 public:
  Reader(const BYTE* bytes, std::size_t size) : m_bytes(bytes), m_size(size) {}

  HRESULT Run(std::shared_ptr<Node>* root);

 private:
  const BYTE* Sector(std::uint32_t index) const {
    if (index == m_lastPartial) return m_tail.data();
    return m_bytes + (static_cast<std::size_t>(index) + 1) * m_sectorSize;
  }
  // True when the first `length` bytes of `sector` lie inside the file: stream
  // bytes are never made up from the padding of a cut-off last sector.
  bool InFile(std::uint32_t sector, std::size_t length) const {
    return (static_cast<std::uint64_t>(sector) + 1) * m_sectorSize + length <= m_size;
  }
  HRESULT ReadHeader();
  HRESULT ReadFat();
  HRESULT WalkChain(std::uint32_t start, std::size_t want, bool toEnd,
                    std::vector<std::uint32_t>* chain);
  HRESULT WalkMiniChain(std::uint32_t start, std::size_t want, std::vector<std::uint32_t>* chain);
  HRESULT ReadDirectory();
  HRESULT ReadMiniStructures();
  HRESULT BuildTree(std::shared_ptr<Node>* root);
  HRESULT ReadEntry(std::uint32_t id, Node* node);
  HRESULT ReadStreamData(const BYTE* entry, Node* node);
  const BYTE* Entry(std::uint32_t id) const {
    std::uint32_t perSector = m_sectorSize / kDirEntrySize;
    return Sector(m_dirChain[id / perSector]) + (id % perSector) * kDirEntrySize;
  }

  const BYTE* m_bytes;
  std::size_t m_size;
  std::uint32_t m_sectorSize = 512;
  std::uint32_t m_sectorCount = 0;
  std::uint32_t m_lastPartial = kNoStream;  // index of a sector cut short by the file end
  std::vector<BYTE> m_tail;                 // that sector, padded with zeros
  std::vector<std::uint32_t> m_fat;
  std::vector<std::uint32_t> m_dirChain;
  std::uint32_t m_entryCount = 0;
  std::vector<std::uint32_t> m_miniFat;
  std::vector<std::uint32_t> m_miniStreamChain;
  std::uint64_t m_miniStreamSize = 0;
  std::unique_ptr<ChainStamps> m_stamps;
  std::unique_ptr<ChainStamps> m_miniStamps;
  bool m_version4 = false;
};

HRESULT Reader::ReadHeader() {
  if (m_size < sizeof kSignature || std::memcmp(m_bytes, kSignature, sizeof kSignature) != 0)
    return STG_E_INVALIDHEADER;
  if (m_size < 512) return STG_E_INVALIDHEADER;
  const BYTE* h = m_bytes;
  std::uint16_t major = kwLoadU16(h + kOffMajorVersion);
  std::uint16_t shift = kwLoadU16(h + kOffSectorShift);
  if (kwLoadU16(h + kOffByteOrder) != 0xFFFE) return STG_E_INVALIDHEADER;
  if (major == 3 && shift == 9) {
    m_sectorSize = 512;
  } else if (major == 4 && shift == 12) {
    m_sectorSize = 4096;
    m_version4 = true;
  } else {
    return STG_E_INVALIDHEADER;
  }
  if (kwLoadU16(h + kOffMiniSectorShift) != 6) return STG_E_INVALIDHEADER;
  if (kwLoadU32(h + kOffMiniStreamCutoff) != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
  if (m_size < m_sectorSize) return STG_E_DOCFILECORRUPT;
  std::uint64_t count = CeilDiv(m_size - m_sectorSize, m_sectorSize);
  if (count > kMaxRegSect) return STG_E_DOCFILETOOLARGE;
  m_sectorCount = static_cast<std::uint32_t>(count);
  std::size_t rest = (m_size - m_sectorSize) % m_sectorSize;
  if (rest != 0) {
    m_lastPartial = m_sectorCount - 1;
    m_tail.assign(m_sectorSize, 0);
    std::memcpy(m_tail.data(), m_bytes + m_size - rest, rest);
  }
  m_stamps = std::make_unique<ChainStamps>(m_sectorCount);
  return S_OK;
}

HRESULT Reader::ReadFat() {
  const BYTE* h = m_bytes;
  std::uint32_t numFat = kwLoadU32(h + kOffNumFatSectors);
  if (numFat > m_sectorCount) return STG_E_DOCFILECORRUPT;
  std::vector<std::uint32_t> fatSectors;
  fatSectors.reserve(numFat);
  for (std::uint32_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < numFat; ++i)
    fatSectors.push_back(kwLoadU32(h + kOffDifat + 4 * i));
  // The DIFAT chain is walked for as many sectors as the header counts, so a
  // count that the chain does not back is caught even when unused.
  std::uint32_t perDifat = m_sectorSize / 4 - 1;
  std::uint32_t numDifat = kwLoadU32(h + kOffNumDifatSectors);
  if (numDifat > m_sectorCount) return STG_E_DOCFILECORRUPT;
  std::uint32_t difat = kwLoadU32(h + kOffFirstDifatSector);
  m_stamps->NextChain();
  for (std::uint32_t k = 0; k < numDifat; ++k) {
    if (difat > kMaxRegSect || difat >= m_sectorCount) return STG_E_DOCFILECORRUPT;
    if (!m_stamps->Visit(difat)) return STG_E_DOCFILECORRUPT;
    const BYTE* s = Sector(difat);
    for (std::uint32_t i = 0; i < perDifat && fatSectors.size() < numFat; ++i)
      fatSectors.push_back(kwLoadU32(s + 4 * i));
    difat = kwLoadU32(s + 4 * perDifat);
  }
  if (fatSectors.size() < numFat) return STG_E_DOCFILECORRUPT;
  std::uint32_t perFat = m_sectorSize / 4;
  m_fat.resize(static_cast<std::size_t>(numFat) * perFat);
  for (std::uint32_t i = 0; i < numFat; ++i) {
    std::uint32_t sector = fatSectors[i];
    if (sector >= m_sectorCount) return STG_E_DOCFILECORRUPT;
    const BYTE* s = Sector(sector);
    for (std::uint32_t j = 0; j < perFat; ++j) m_fat[i * perFat + j] = kwLoadU32(s + 4 * j);
  }
  return S_OK;
}

// Follows a FAT chain from `start`: `want` sectors, or (with `toEnd`) up to the
// end-of-chain mark. Every link is checked against the FAT and the file.
HRESULT Reader::WalkChain(std::uint32_t start, std::size_t want, bool toEnd,
                          std::vector<std::uint32_t>* chain) {
  chain->clear();
  m_stamps->NextChain();
  std::uint32_t current = start;
  while (toEnd || chain->size() < want) {
    if (current == kEndOfChain) {
      if (toEnd) break;
      return STG_E_DOCFILECORRUPT;
    }
    if (current > kMaxRegSect || current >= m_sectorCount || current >= m_fat.size())
      return STG_E_DOCFILECORRUPT;
    if (!m_stamps->Visit(current)) return STG_E_DOCFILECORRUPT;
    chain->push_back(current);
    current = m_fat[current];
  }
  return S_OK;
}

HRESULT Reader::WalkMiniChain(std::uint32_t start, std::size_t want,
                              std::vector<std::uint32_t>* chain) {
  chain->clear();
  m_miniStamps->NextChain();
  std::uint64_t miniSectors = CeilDiv(m_miniStreamSize, kMiniSectorSize);
  std::uint32_t current = start;
  while (chain->size() < want) {
    if (current >= m_miniFat.size() || current >= miniSectors) return STG_E_DOCFILECORRUPT;
    if (!m_miniStamps->Visit(current)) return STG_E_DOCFILECORRUPT;
    chain->push_back(current);
    current = m_miniFat[current];
  }
  return S_OK;
}

HRESULT Reader::ReadDirectory() {
  HRESULT hr = WalkChain(kwLoadU32(m_bytes + kOffFirstDirSector), 0, true, &m_dirChain);
  if (FAILED(hr)) return hr;
  std::uint64_t entries =
      static_cast<std::uint64_t>(m_dirChain.size()) * (m_sectorSize / kDirEntrySize);
  if (entries == 0 || entries >= kNoStream) return STG_E_DOCFILECORRUPT;
  m_entryCount = static_cast<std::uint32_t>(entries);
  if (Entry(0)[kEntType] != kTypeRoot) return STG_E_DOCFILECORRUPT;
  return S_OK;
}

HRESULT Reader::ReadMiniStructures() {
  const BYTE* root = Entry(0);
  m_miniStreamSize = m_version4 ? kwLoadU64(root + kEntSize) : kwLoadU32(root + kEntSize);
  // A mini stream can only hold streams below the cutoff, all of which sit in
  // the file too: anything larger than the file is a lie.
  if (m_miniStreamSize > m_size) return STG_E_DOCFILECORRUPT;
  if (m_miniStreamSize > 0) {
    HRESULT hr = WalkChain(kwLoadU32(root + kEntStartSector),
                           CeilDiv(m_miniStreamSize, m_sectorSize), false, &m_miniStreamChain);
    if (FAILED(hr)) return hr;
  }
  std::uint32_t firstMiniFat = kwLoadU32(m_bytes + kOffFirstMiniFatSector);
  if (firstMiniFat != kEndOfChain && kwLoadU32(m_bytes + kOffNumMiniFatSectors) != 0) {
    std::vector<std::uint32_t> chain;
    HRESULT hr = WalkChain(firstMiniFat, 0, true, &chain);
    if (FAILED(hr)) return hr;
    std::uint32_t perSector = m_sectorSize / 4;
    m_miniFat.resize(chain.size() * perSector);
    for (std::size_t i = 0; i < chain.size(); ++i) {
      const BYTE* s = Sector(chain[i]);
      for (std::uint32_t j = 0; j < perSector; ++j)
        m_miniFat[i * perSector + j] = kwLoadU32(s + 4 * j);
    }
  }
  m_miniStamps = std::make_unique<ChainStamps>(m_miniFat.size());
  return S_OK;
}

HRESULT Reader::ReadStreamData(const BYTE* entry, Node* node) {
  std::uint64_t size = m_version4 ? kwLoadU64(entry + kEntSize) : kwLoadU32(entry + kEntSize);
  if (size == 0) return S_OK;
  if (size > m_size || size > kMaxStreamSize) return STG_E_DOCFILECORRUPT;
  std::uint32_t start = kwLoadU32(entry + kEntStartSector);
  std::vector<std::uint32_t> chain;
  node->data.resize(static_cast<std::size_t>(size));
  BYTE* out = node->data.data();
  if (size < kMiniStreamCutoff) {
    HRESULT hr = WalkMiniChain(start, CeilDiv(size, kMiniSectorSize), &chain);
    if (FAILED(hr)) return hr;
    std::uint64_t left = size;
    for (std::uint32_t mini : chain) {
      std::uint64_t offset = static_cast<std::uint64_t>(mini) * kMiniSectorSize;
      std::uint32_t sector = m_miniStreamChain[offset / m_sectorSize];
      const BYTE* src = Sector(sector) + offset % m_sectorSize;
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kMiniSectorSize));
      if (!InFile(sector, offset % m_sectorSize + n)) return STG_E_DOCFILECORRUPT;
      std::memcpy(out, src, n);
      out += n;
      left -= n;
    }
  } else {
    HRESULT hr = WalkChain(start, CeilDiv(size, m_sectorSize), false, &chain);
    if (FAILED(hr)) return hr;
    std::uint64_t left = size;
    for (std::uint32_t sector : chain) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, m_sectorSize));
      if (!InFile(sector, n)) return STG_E_DOCFILECORRUPT;
      std::memcpy(out, Sector(sector), n);
      out += n;
      left -= n;
    }
  }
  return S_OK;
}

HRESULT Reader::ReadEntry(std::uint32_t id, Node* node) {
  const BYTE* e = Entry(id);
  std::uint16_t nameBytes = kwLoadU16(e + kEntNameLength);
  if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0) return STG_E_DOCFILECORRUPT;
  node->name.clear();
  for (std::uint16_t i = 0; i + 1 < nameBytes / 2; ++i) {
    char16_t c = kwLoadU16(e + kEntName + 2 * i);
    if (c == 0) break;
    node->name.push_back(c);
  }
  if (node->name.empty()) return STG_E_DOCFILECORRUPT;
  node->type = e[kEntType] == kTypeStorage ? STGTY_STORAGE : STGTY_STREAM;
  ReadAttributes(e, node);
  if (node->type == STGTY_STREAM) return ReadStreamData(e, node);
  return S_OK;
}

HRESULT Reader::BuildTree(std::shared_ptr<Node>* rootOut) {
  auto root = std::make_shared<Node>();
  root->name = u"Root Entry";
  ReadAttributes(Entry(0), root.get());
  // Every entry may be reached once only: a second visit is a cycle or a
  // shared subtree, both corruption. Both walks use explicit stacks whose size
  // is bounded by the number of entries.
  std::vector<BYTE> visited(m_entryCount, 0);
  visited[0] = 1;
  std::vector<std::pair<Node*, std::uint32_t>> storages;
  storages.emplace_back(root.get(), kwLoadU32(Entry(0) + kEntChild));
  // Siblings are walked in order (left subtree, entry, right subtree), which
  // for a valid tree is name order, so each insertion lands at the end of the
  // map in constant time. An out-of-order tree still loads, just slower.
  std::vector<std::uint32_t> path;
  while (!storages.empty()) {
    auto [parent, top] = storages.back();
    storages.pop_back();
    path.clear();
    std::uint32_t current = top;
    while (current != kNoStream || !path.empty()) {
      while (current != kNoStream) {
        if (current >= m_entryCount || visited[current]) return STG_E_DOCFILECORRUPT;
        visited[current] = 1;
        path.push_back(current);
        current = kwLoadU32(Entry(current) + kEntLeft);
      }
      std::uint32_t id = path.back();
      path.pop_back();
      const BYTE* e = Entry(id);
      BYTE type = e[kEntType];
      if (type != kTypeStorage && type != kTypeStream) return STG_E_DOCFILECORRUPT;
      auto node = std::make_shared<Node>();
      HRESULT hr = ReadEntry(id, node.get());
      if (FAILED(hr)) return hr;
      if (type == kTypeStorage) storages.emplace_back(node.get(), kwLoadU32(e + kEntChild));
      std::u16string key = Key(node->name);
      auto& children = parent->children;
      std::size_t before = children.size();
      children.emplace_hint(children.end(), std::move(key), std::move(node));
      if (children.size() == before) return STG_E_DOCFILECORRUPT;  // a duplicate name
      current = kwLoadU32(e + kEntRight);
    }
  }
  *rootOut = std::move(root);
  return S_OK;
}

HRESULT Reader::Run(std::shared_ptr<Node>* root) {
  HRESULT hr = ReadHeader();
  if (SUCCEEDED(hr)) hr = ReadFat();
  if (SUCCEEDED(hr)) hr = ReadDirectory();
  if (SUCCEEDED(hr)) hr = ReadMiniStructures();
  if (SUCCEEDED(hr)) hr = BuildTree(root);
  return hr;
}

// ---------------------------------------------------------------------------
// Writer

struct OutEntry {
  const Node* node;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  BYTE color = kBlack;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
};

// Builds a balanced tree over the entries [first, first + count), already in
// name order, by taking middles. Every null link then lies on the two deepest
// levels, so colouring the nodes of the deepest possible level red (and all
// others black) gives equal black heights and no red node with a red child.
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

class Writer {
 public:
  HRESULT Run(const Node& root, std::vector<BYTE>* image);

 private:
  static constexpr std::uint32_t kSectorSize = 512;
  static constexpr std::uint32_t kPerSector = kSectorSize / 4;
  BYTE* Sector(std::uint32_t i) {
    return m_image->data() + (static_cast<std::size_t>(i) + 1) * kSectorSize;
  }
  void SetFat(std::uint32_t index, std::uint32_t value) {
    kwStoreU32(Sector(m_fatStart + index / kPerSector) + 4 * (index % kPerSector), value);
  }
  void ChainRun(std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i)
      SetFat(first + i, i + 1 == count ? kEndOfChain : first + i + 1);
  }
  void WriteEntry(std::uint32_t id, const OutEntry& e);

  std::vector<BYTE>* m_image = nullptr;
  std::uint32_t m_fatStart = 0;
  std::uint32_t m_dirStart = 0;
};

void Writer::WriteEntry(std::uint32_t id, const OutEntry& e) {
  BYTE* p = Sector(m_dirStart + id / 4) + (id % 4) * kDirEntrySize;
  const Node& n = *e.node;
  const std::u16string& name = id == 0 ? std::u16string(u"Root Entry") : n.name;
  for (std::size_t i = 0; i < name.size(); ++i) kwStoreU16(p + kEntName + 2 * i, name[i]);
  kwStoreU16(p + kEntNameLength, static_cast<std::uint16_t>(2 * (name.size() + 1)));
  p[kEntType] = id == 0 ? kTypeRoot : (n.type == STGTY_STORAGE ? kTypeStorage : kTypeStream);
  p[kEntColor] = e.color;
  kwStoreU32(p + kEntLeft, e.left);
  kwStoreU32(p + kEntRight, e.right);
  kwStoreU32(p + kEntChild, e.child);
  if (n.type == STGTY_STORAGE) {
    kwStoreGUID(p + kEntClsid, n.clsid);
    kwStoreU32(p + kEntStateBits, n.stateBits);
    if (id != 0) {
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

HRESULT Writer::Run(const Node& root, std::vector<BYTE>* image) {
  // Directory ids in breadth-first order; each storage's children take
  // consecutive ids in name order, so their balanced tree is built in place.
  std::vector<OutEntry> entries;
  entries.push_back(OutEntry{&root});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Node* node = entries[i].node;
    if (node->type != STGTY_STORAGE || node->children.empty()) continue;
    if (entries.size() + node->children.size() >= kMaxRegSect) return STG_E_DOCFILETOOLARGE;
    std::uint32_t first = static_cast<std::uint32_t>(entries.size());
    for (const auto& [name, child] : node->children) entries.push_back(OutEntry{child.get()});
    std::uint32_t count = static_cast<std::uint32_t>(node->children.size());
    entries[i].child = BuildBalanced(entries, first, count, 0, FloorLog2(count));
  }

  // Sector budget: mini streams first (64-byte units), then regular streams.
  std::uint64_t miniSectors = 0, bigSectors = 0;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    OutEntry& e = entries[i];
    if (e.node->type != STGTY_STREAM) {
      e.start = 0;
      continue;
    }
    e.size = e.node->data.size();
    if (e.size == 0) continue;
    if (e.size < kMiniStreamCutoff) {
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
  std::uint64_t base = dirSectors + miniFatSectors + miniStreamSectors + bigSectors;
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

  m_image = image;
  image->assign((total + 1) * kSectorSize, 0);
  m_fatStart = 0;
  std::uint32_t difatStart = static_cast<std::uint32_t>(fat);
  m_dirStart = static_cast<std::uint32_t>(difatStart + difat);
  std::uint32_t miniFatStart = static_cast<std::uint32_t>(m_dirStart + dirSectors);
  std::uint32_t miniStreamStart = static_cast<std::uint32_t>(miniFatStart + miniFatSectors);
  std::uint32_t bigStart = static_cast<std::uint32_t>(miniStreamStart + miniStreamSectors);

  // FAT: free everywhere, then the chains of every structure.
  std::memset(Sector(0), 0xFF, fat * kSectorSize);
  for (std::uint32_t i = 0; i < fat; ++i) SetFat(i, kFatSect);
  for (std::uint32_t i = 0; i < difat; ++i) SetFat(difatStart + i, kDifSect);
  ChainRun(m_dirStart, static_cast<std::uint32_t>(dirSectors));
  ChainRun(miniFatStart, static_cast<std::uint32_t>(miniFatSectors));
  ChainRun(miniStreamStart, static_cast<std::uint32_t>(miniStreamSectors));

  // DIFAT: the header's 109 slots, then DIFAT sectors of 127 slots and a link.
  BYTE* header = image->data();
  std::memset(header + kOffDifat, 0xFF, 4 * kHeaderDifatEntries);
  if (difat) std::memset(Sector(difatStart), 0xFF, difat * kSectorSize);
  for (std::uint32_t i = 0; i < fat; ++i) {
    if (i < kHeaderDifatEntries) {
      kwStoreU32(header + kOffDifat + 4 * i, i);
    } else {
      std::uint32_t k = i - kHeaderDifatEntries;
      kwStoreU32(Sector(difatStart + k / (kPerSector - 1)) + 4 * (k % (kPerSector - 1)), i);
    }
  }
  for (std::uint32_t i = 0; i < difat; ++i)
    kwStoreU32(Sector(difatStart + i) + 4 * (kPerSector - 1),
               i + 1 == difat ? kEndOfChain : difatStart + i + 1);

  // Mini FAT and stream bytes.
  if (miniFatSectors) std::memset(Sector(miniFatStart), 0xFF, miniFatSectors * kSectorSize);
  BYTE* miniStream = miniStreamSectors ? Sector(miniStreamStart) : nullptr;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    OutEntry& e = entries[i];
    if (e.node->type != STGTY_STREAM || e.size == 0) continue;
    if (e.size < kMiniStreamCutoff) {
      std::uint32_t count = static_cast<std::uint32_t>(CeilDiv(e.size, kMiniSectorSize));
      for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t index = e.start + k;
        kwStoreU32(Sector(miniFatStart + index / kPerSector) + 4 * (index % kPerSector),
                   k + 1 == count ? kEndOfChain : index + 1);
      }
      std::memcpy(miniStream + static_cast<std::size_t>(e.start) * kMiniSectorSize,
                  e.node->data.data(), e.size);
    } else {
      std::uint32_t count = static_cast<std::uint32_t>(CeilDiv(e.size, kSectorSize));
      e.start += bigStart;
      ChainRun(e.start, count);
      std::memcpy(Sector(e.start), e.node->data.data(), e.size);
    }
  }

  // Directory: unused slots carry no-stream links, then the entries.
  for (std::uint64_t i = 0; i < dirSectors * 4; ++i) {
    BYTE* p = Sector(m_dirStart + static_cast<std::uint32_t>(i / 4)) + (i % 4) * kDirEntrySize;
    kwStoreU32(p + kEntLeft, kNoStream);
    kwStoreU32(p + kEntRight, kNoStream);
    kwStoreU32(p + kEntChild, kNoStream);
  }
  entries[0].start = miniStreamSectors ? miniStreamStart : kEndOfChain;
  entries[0].size = miniSectors * kMiniSectorSize;
  for (std::size_t i = 0; i < entries.size(); ++i)
    WriteEntry(static_cast<std::uint32_t>(i), entries[i]);

  std::memcpy(header, kSignature, sizeof kSignature);
  kwStoreU16(header + kOffMinorVersion, 0x003E);
  kwStoreU16(header + kOffMajorVersion, 3);
  kwStoreU16(header + kOffByteOrder, 0xFFFE);
  kwStoreU16(header + kOffSectorShift, 9);
  kwStoreU16(header + kOffMiniSectorShift, 6);
  kwStoreU32(header + kOffNumFatSectors, static_cast<std::uint32_t>(fat));
  kwStoreU32(header + kOffFirstDirSector, m_dirStart);
  kwStoreU32(header + kOffMiniStreamCutoff, static_cast<std::uint32_t>(kMiniStreamCutoff));
  kwStoreU32(header + kOffFirstMiniFatSector, miniFatSectors ? miniFatStart : kEndOfChain);
  kwStoreU32(header + kOffNumMiniFatSectors, static_cast<std::uint32_t>(miniFatSectors));
  kwStoreU32(header + kOffFirstDifatSector, difat ? difatStart : kEndOfChain);
  kwStoreU32(header + kOffNumDifatSectors, static_cast<std::uint32_t>(difat));
  return S_OK;
}

}  // namespace

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

std::u16string Key(const std::u16string& name) {
  std::u16string key(name);
  for (char16_t& c : key) c = UpperCase(c);
  return key;
}

bool IsValidName(const std::u16string& name) noexcept {
  if (name.empty() || name.size() > 31) return false;
  for (char16_t c : name)
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return false;
  return true;
}

void Retire(Node& node) noexcept {
  node.live = false;
  std::vector<Node*> pending{&node};
  // A vector that cannot grow would only leave some nodes live, which keeps
  // them usable; never worse than a crash.
  try {
    while (!pending.empty()) {
      Node* n = pending.back();
      pending.pop_back();
      for (auto& [name, child] : n->children) {
        child->live = false;
        pending.push_back(child.get());
      }
    }
  } catch (...) {
  }
}

HRESULT Parse(const BYTE* bytes, std::size_t size, std::shared_ptr<Node>* root) noexcept {
  return Guarded([&] { return Reader(bytes, size).Run(root); });
}

HRESULT Serialize(const Node& root, std::vector<BYTE>* image) noexcept {
  return Guarded([&] { return Writer().Run(root, image); });
}

}  // namespace kwcfb
