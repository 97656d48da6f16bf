// kw tree, kw cat, kw dump: looking inside any compound file, with the streams
// kwcore writes decoded through the same Nubra helpers the library reads them
// with.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kwTool.h"

namespace kwtool {
namespace {

// Deeper nesting than this is shown cut off: a hostile file may nest storages
// as deep as it has entries, and drawing stays recursive.
constexpr int kMaxDepth = 200;

struct SProxyKind {
  const char16_t* stream;  // the proxy's class name, which names its stream
  const char* kind;
  const GUID* master;
};

const SProxyKind kProxyKinds[] = {
    {u"CkwVrelAudioMediaFileProxy", "audio media file", &CLSID_CkwVrelAudioMediaFileProxyMaster},
    {u"CkwVrelImageMediaFileProxy", "image media file", &CLSID_CkwVrelImageMediaFileProxyMaster},
    {u"CkwVrelVideoMediaFileProxy", "video media file", &CLSID_CkwVrelVideoMediaFileProxyMaster},
    {u"CkwVrelQMXMediaFileProxy", "QMX media file", &CLSID_CkwVrelQMXMediaFileProxyMaster},
    {u"CkwVrelImageSlideshowProxy", "image slideshow", &CLSID_CkwVrelImageSlideshowProxyMaster},
    {u"CkwVrelVideoSlideshowProxy", "video slideshow", &CLSID_CkwVrelVideoSlideshowProxyMaster},
    {u"CkwVrelJRVSlideshowProxy", "JRV slideshow", &CLSID_CkwVrelJRVSlideshowProxyMaster},
};

struct SNode {
  std::u16string name;
  DWORD type = 0;
  std::uint64_t size = 0;
  CLSID clsid{};
  std::string summary;  // one line for people
  std::string json;     // the same, as members of the element's JSON object
  bool cut = false;     // deeper than kMaxDepth: children not read
  std::vector<SNode> children;
};

bool IsZero(const GUID& guid) { return guid == GUID{}; }

/// The summary of a persistent object's stream: name (a Nubra variant), then
/// the 16-byte object ID, then the reserved memory block.
void DecodePersistentObject(IStream* stream, SNode& node, const std::string& path, SWalk& walk) {
  char name[NUBRA_VARIANT_TEXT_MAX] = {};
  unsigned char block[NUBRA_MEMORY_BLOCK_MAX];
  GUID id{};
  ULONG read = 0;
  if (gfnIStreamReadVariant(stream, name) < 0 || FAILED(stream->Read(&id, sizeof id, &read)) ||
      read != sizeof id || gfnIStreamReadMemoryBlock(stream, block) < 0) {
    node.summary = "not readable as a persistent object";
    walk.Problem(path, "not a persistent object's name, ID and reserved block; loading it fails");
    return;
  }
  node.summary = "persistent object " + kwGuidText(id) + " \"" + name + "\"";
  node.json =
      ", \"object\": {\"id\": \"" + kwGuidText(id) + "\", \"name\": \"" + JsonText(name) + "\"}";
}

/// A proxy's stream holds one memory block of 32 zero bytes and nothing else.
void DecodeProxy(IStream* stream, const SProxyKind& proxy, SNode& node, const std::string& path,
                 SWalk& walk) {
  unsigned char block[NUBRA_MEMORY_BLOCK_MAX];
  if (gfnIStreamReadMemoryBlock(stream, block) < 0 || node.size != 40) {
    node.summary = "not readable as a proxy";
    walk.Problem(path, "a proxy's stream holds one reserved block of 32 bytes, this one does not");
    return;
  }
  const std::string master = kwGuidText(*proxy.master);
  node.summary = std::string("proxy: ") + proxy.kind + ", master class " + master;
  node.json = std::string(", \"proxy\": {\"kind\": \"") + proxy.kind + "\", \"class\": \"" +
              JsonName(proxy.stream) + "\", \"master\": \"" + master + "\"}";
}

void DecodeStream(IStorage* parent, SNode& node, const std::string& path, SWalk& walk) {
  CkwComPtr<IStream> stream;
  if (FAILED(parent->OpenStream(node.name.c_str(), nullptr, STGM_READ, 0, stream.put()))) {
    walk.Problem(path, "the stream does not open");
    return;
  }
  if (node.name == u"CPersistentObjectStream")
    return DecodePersistentObject(stream.get(), node, path, walk);
  for (const SProxyKind& proxy : kProxyKinds)
    if (node.name == proxy.stream) return DecodeProxy(stream.get(), proxy, node, path, walk);
}

SNode* Child(SNode& node, const char16_t* name) {
  for (SNode& child : node.children)
    if (child.name == name) return &child;
  return nullptr;
}

/// A storage holding "Count" and "ItemGUID" streams is a persistent list: its
/// count, its items' CLSIDs and which class each "Item<k>" holds; and whatever
/// would make loading it fail part-way.
void DecodeList(IStorage* storage, SNode& node, const std::string& path, SWalk& walk) {
  SNode* blank = Child(node, u"Blank");
  SNode* count = Child(node, u"Count");
  SNode* guids = Child(node, u"ItemGUID");
  if (count == nullptr || guids == nullptr || count->type != STGTY_STREAM ||
      guids->type != STGTY_STREAM)
    return;
  const std::string at = path.empty() ? std::string() : path + "/";
  std::vector<unsigned char> countBytes;
  std::vector<unsigned char> guidBytes;
  CkwComPtr<IStream> stream;
  if (FAILED(storage->OpenStream(u"Count", nullptr, STGM_READ, 0, stream.put())) ||
      !ReadAll(stream.get(), &countBytes) || countBytes.size() != 4) {
    walk.Problem(at + "Count",
                 "a list's count is 4 bytes, this one is not; loading the list fails");
    return;
  }
  if (FAILED(storage->OpenStream(u"ItemGUID", nullptr, STGM_READ, 0, stream.put())) ||
      !ReadAll(stream.get(), &guidBytes))
    return;
  const auto items =
      static_cast<std::int32_t>(countBytes[0] | countBytes[1] << 8 | countBytes[2] << 16 |
                                std::uint32_t{countBytes[3]} << 24);
  std::vector<GUID> clsids(guidBytes.size() / 16);
  for (std::size_t k = 0; k < clsids.size(); ++k) {
    const unsigned char* b = &guidBytes[k * 16];
    clsids[k].Data1 = b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t{b[3]} << 24;
    clsids[k].Data2 = static_cast<std::uint16_t>(b[4] | b[5] << 8);
    clsids[k].Data3 = static_cast<std::uint16_t>(b[6] | b[7] << 8);
    std::memcpy(clsids[k].Data4, b + 8, 8);
  }
  unsigned char block[NUBRA_MEMORY_BLOCK_MAX];
  CkwComPtr<IStream> blankStream;
  if (blank != nullptr && blank->type == STGTY_STREAM &&
      SUCCEEDED(storage->OpenStream(u"Blank", nullptr, STGM_READ, 0, blankStream.put())) &&
      gfnIStreamReadMemoryBlock(blankStream.get(), block) >= 0)
    blank->summary = "reserved block";
  else
    walk.Problem(at + "Blank",
                 "a list's reserved block is missing or unreadable; loading the list fails");
  count->summary = "item count " + std::to_string(items);
  guids->summary = std::to_string(clsids.size()) + " item CLSIDs";
  const std::size_t wanted = items < 0 ? 0 : static_cast<std::size_t>(items);
  if (guidBytes.size() % 16 != 0 || clsids.size() < wanted)
    walk.Problem(at + "ItemGUID", "holds " + std::to_string(guidBytes.size()) +
                                      " bytes for a count of " + std::to_string(items) +
                                      " (16 a CLSID); loading stops after item " +
                                      std::to_string(std::min(clsids.size(), wanted)));

  // Classes in order of first appearance, with how many items each has.
  std::vector<std::pair<GUID, std::size_t>> classes;
  std::string jsonClsids;
  for (const GUID& clsid : clsids) {
    jsonClsids += (jsonClsids.empty() ? "\"" : ", \"") + kwGuidText(clsid) + "\"";
    bool seen = false;
    for (auto& known : classes)
      if (known.first == clsid) ++known.second, seen = true;
    if (!seen && classes.size() < 100) classes.emplace_back(clsid, 1);
  }
  node.summary = "persistent list of " + std::to_string(items) + (items == 1 ? " item" : " items");
  for (std::size_t k = 0; k < classes.size() && k < 3; ++k)
    node.summary += (k == 0 ? ": " : ", ") + std::to_string(classes[k].second) + " x " +
                    kwGuidText(classes[k].first);
  if (classes.size() > 3) node.summary += ", ...";
  node.json =
      ", \"list\": {\"count\": " + std::to_string(items) + ", \"clsids\": [" + jsonClsids + "]}";
  // Items by their index, found in one pass: a list may hold a great many.
  std::vector<SNode*> itemNodes(clsids.size(), nullptr);
  for (SNode& child : node.children) {
    if (child.type != STGTY_STORAGE || child.name.size() < 5 ||
        child.name.compare(0, 4, u"Item") != 0 || (child.name[4] == u'0' && child.name.size() > 5))
      continue;
    std::size_t index = 0;
    for (std::size_t k = 4; k < child.name.size() && index < clsids.size(); ++k)
      index = child.name[k] >= u'0' && child.name[k] <= u'9' ? index * 10 + (child.name[k] - u'0')
                                                             : clsids.size();
    if (index < clsids.size()) itemNodes[index] = &child;
  }
  for (std::size_t k = 0; k < clsids.size(); ++k) {
    std::u16string itemName = u"Item";
    for (char digit : std::to_string(k)) itemName += static_cast<char16_t>(digit);
    SNode* item = itemNodes[k];
    if (item != nullptr && item->type == STGTY_STORAGE)
      item->summary = "item " + std::to_string(k) + ", class " + kwGuidText(clsids[k]);
    else if (k < wanted)
      walk.Problem(at + DisplayName(itemName),
                   "item " + std::to_string(k) + "'s storage is missing; loading stops there");
  }
}

void Build(IStorage* storage, SNode& node, const std::string& path, int depth, SWalk& walk) {
  if (depth >= kMaxDepth) {
    node.cut = true;
    return;
  }
  CkwComPtr<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.put()))) return;
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    SNode child;
    child.name = stat.pwcsName;
    CoTaskMemFree(stat.pwcsName);
    child.type = stat.type;
    child.size = stat.cbSize.QuadPart;
    child.clsid = stat.clsid;
    node.children.push_back(std::move(child));
  }
  for (SNode& child : node.children) {
    const std::string childPath = (path.empty() ? "" : path + "/") + DisplayName(child.name);
    if (child.type == STGTY_STORAGE) {
      ++walk.storages;
      CkwComPtr<IStorage> sub;
      if (SUCCEEDED(
              storage->OpenStorage(child.name.c_str(), nullptr, STGM_READ, nullptr, 0, sub.put())))
        Build(sub.get(), child, childPath, depth + 1, walk);
      else
        walk.Problem(childPath, "the storage does not open");
    } else if (child.type == STGTY_STREAM) {
      ++walk.streams;
      walk.bytes += child.size;
      DecodeStream(storage, child, childPath, walk);
    }
    if (walk.progress != nullptr) walk.progress->Update(walk.storages + walk.streams);
  }
  DecodeList(storage, node, path, walk);
}

std::size_t Columns(const std::string& text) {
  std::size_t columns = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++columns;
  return columns;
}

struct SLine {
  std::string left;  // tree prefix and name
  std::string rest;
};

const char* TypeText(DWORD type) {
  return type == STGTY_STORAGE ? "storage" : type == STGTY_STREAM ? "stream" : "other";
}

std::string Details(const SNode& node) {
  char size[32] = "";
  if (node.type == STGTY_STREAM) std::snprintf(size, sizeof size, "%" PRIu64 " B", node.size);
  char columns[48];
  std::snprintf(columns, sizeof columns, "%-8s %10s", TypeText(node.type), size);
  std::string text = columns;
  if (node.type == STGTY_STORAGE && !IsZero(node.clsid))
    text += "  clsid " + kwGuidText(node.clsid);
  if (!node.summary.empty()) text += "  " + DisplayText(node.summary);
  if (node.cut) text += "  (deeper levels not shown)";
  return text.erase(text.find_last_not_of(' ') + 1);
}

void Lines(const SNode& node, const std::string& prefix, std::vector<SLine>& lines) {
  for (std::size_t k = 0; k < node.children.size(); ++k) {
    const SNode& child = node.children[k];
    const bool last = k + 1 == node.children.size();
    lines.push_back({prefix + (last ? "└── " : "├── ") + DisplayName(child.name), Details(child)});
    Lines(child, prefix + (last ? "    " : "│   "), lines);
  }
}

void Json(const SNode& node, std::string& out) {
  out += "{\"name\": \"" + JsonName(node.name) + "\", \"type\": \"" + TypeText(node.type) + "\"";
  if (node.type == STGTY_STREAM) out += ", \"size\": " + std::to_string(node.size);
  if (node.type == STGTY_STORAGE) out += ", \"clsid\": \"" + kwGuidText(node.clsid) + "\"";
  if (!node.summary.empty()) out += ", \"summary\": \"" + JsonText(node.summary) + "\"";
  out += node.json;
  if (node.cut) out += ", \"cut\": true";
  if (node.type == STGTY_STORAGE) {
    out += ", \"children\": [";
    for (std::size_t k = 0; k < node.children.size(); ++k) {
      if (k > 0) out += ", ";
      Json(node.children[k], out);
    }
    out += "]";
  }
  out += "}";
}

}  // namespace

void WalkLayouts(IStorage* root, SWalk& walk) {
  SNode top;
  Build(root, top, "", 0, walk);
}

int RunTree(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    if (arg == "--json")
      json = true;
    else if (arg.size() > 1 && arg[0] == '-')
      return UsageError("tree", "unknown option '" + arg + "'");
    else
      files.push_back(arg);
  }
  if (files.size() != 1) return UsageError("tree", "give one FILE");
  CkwComPtr<IStorage> root;
  if (!OpenFile(files[0], &root)) return kExitFailed;
  SNode top;
  top.name = u"Root Entry";
  top.type = STGTY_STORAGE;
  STATSTG stat;
  if (SUCCEEDED(root->Stat(&stat, STATFLAG_NONAME))) top.clsid = stat.clsid;
  SWalk counts;
  Build(root.get(), top, "", 0, counts);
  if (json) {
    std::string out = "{\"file\": \"" + JsonText(files[0]) +
                      "\", \"storages\": " + std::to_string(counts.storages) +
                      ", \"streams\": " + std::to_string(counts.streams) + ", \"root\": ";
    Json(top, out);
    std::printf("%s}\n", out.c_str());
    return 0;
  }
  std::vector<SLine> lines{{"Root Entry", Details(top)}};
  Lines(top, "", lines);
  std::size_t width = 0;
  for (const SLine& line : lines) width = std::max(width, Columns(line.left));
  width = std::min<std::size_t>(width, 60);
  for (const SLine& line : lines) {
    const std::size_t used = Columns(line.left);
    std::printf("%s%s  %s\n", line.left.c_str(),
                std::string(used < width ? width - used : 0, ' ').c_str(), line.rest.c_str());
  }
  std::printf("%" PRIu64 " storages, %" PRIu64 " streams, %" PRIu64 " bytes in streams\n",
              counts.storages, counts.streams, counts.bytes);
  return 0;
}

namespace {

bool ReadStreamArg(const char* command, const std::vector<std::string>& args,
                   std::vector<unsigned char>* bytes, int* status) {
  if (args.size() != 2) {
    *status = UsageError(command, "give FILE and the PATH of a stream in it");
    return false;
  }
  CkwComPtr<IStorage> root;
  CkwComPtr<IStream> stream;
  *status = kExitFailed;
  if (!OpenFile(args[0], &root) || !OpenStreamAt(root.get(), args[0], args[1], &stream))
    return false;
  if (!ReadAll(stream.get(), bytes)) {
    Fail(kExitFailed,
         "cannot read '" + args[1] + "' in " + args[0] + "; run 'kw check " + args[0] + "'");
    return false;
  }
  return true;
}

}  // namespace

int RunCat(const std::vector<std::string>& args) {
  std::vector<unsigned char> bytes;
  int status = 0;
  if (!ReadStreamArg("cat", args, &bytes, &status)) return status;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0)
    return Fail(kExitFailed, "cannot write to standard output; check where it goes");
  return 0;
}

int RunDump(const std::vector<std::string>& args) {
  std::vector<unsigned char> bytes;
  int status = 0;
  if (!ReadStreamArg("dump", args, &bytes, &status)) return status;
  for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
    std::string hex;
    std::string text;
    for (std::size_t k = 0; k < 16; ++k) {
      char cell[4] = "   ";
      if (offset + k < bytes.size()) {
        const unsigned char c = bytes[offset + k];
        std::snprintf(cell, sizeof cell, "%02x ", c);
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
      }
      hex += cell;
      if (k == 7) hex += ' ';
    }
    std::printf("%08zx: %s %s\n", offset, hex.c_str(), text.c_str());
  }
  std::printf("%08zx: end, %zu bytes\n", bytes.size(), bytes.size());
  return 0;
}

}  // namespace kwtool
