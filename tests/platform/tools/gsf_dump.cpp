// Prints a compound file's tree as libgsf reads it, in the format of
// cfb_dump.py, so that tests can compare three independent readers.
// Built only for the tests; libgsf is never a dependency of kwcore.
#include <gsf/gsf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::uint64_t Fnv1a64(const std::string& data) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : data) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h;
}

std::string NameHex(const char* utf8) {
  std::string out;
  glong count = 0;
  gunichar2* units = g_utf8_to_utf16(utf8, -1, nullptr, &count, nullptr);
  char byte[3];
  for (glong i = 0; units && i < count; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", units[i] & 0xFF);
    out += byte;
    std::snprintf(byte, sizeof byte, "%02x", units[i] >> 8);
    out += byte;
  }
  g_free(units);
  return out;
}

void Walk(GsfInfile* storage, const std::string& prefix, std::vector<std::string>* lines) {
  int count = gsf_infile_num_children(storage);
  for (int i = 0; i < count; ++i) {
    GsfInput* child = gsf_infile_child_by_index(storage, i);
    if (!child) {
      lines->push_back("unreadable child");
      continue;
    }
    std::string key = prefix + NameHex(gsf_input_name(child));
    bool isStorage = GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0;
    if (isStorage) {
      lines->push_back("1 " + key + " 0 0000000000000000");
      Walk(GSF_INFILE(child), key + "/", lines);
    } else {
      std::string data;
      gsf_off_t size = gsf_input_size(child);
      data.resize(static_cast<std::size_t>(size));
      if (size > 0 && !gsf_input_read(child, size, reinterpret_cast<guint8*>(&data[0])))
        lines->push_back("read failed at " + key);
      char tail[64];
      std::snprintf(tail, sizeof tail, " %zu %016llx", data.size(),
                    static_cast<unsigned long long>(Fnv1a64(data)));
      lines->push_back("2 " + key + tail);
    }
    g_object_unref(child);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  gsf_init();
  GError* error = nullptr;
  GsfInput* input = gsf_input_stdio_new(argv[1], &error);
  GsfInfile* root = input ? gsf_infile_msole_new(input, &error) : nullptr;
  if (!root) {
    std::printf("error %s\n", error ? error->message : "unknown");
    return 0;
  }
  std::vector<std::string> lines;
  Walk(root, "", &lines);
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  g_object_unref(root);
  g_object_unref(input);
  gsf_shutdown();
  return 0;
}
