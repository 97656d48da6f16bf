// libgsf as an independent party in the interop tests:
//   kw_gsf_dump <file>             prints the tree as libgsf reads it, in the
//                                  format of cfb_dump.py (without the root line);
//   kw_gsf_dump --write <file> <n> writes a file with libgsf: a storage "Sub"
//                                  holding a stream "Deep", and n streams
//                                  "Stream<i>" of (i % 300) bytes at the root.
// Built only for the tests; libgsf is never a dependency of kwcore.
#include <gsf/gsf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

int Write(const char* path, int count) {
  GError* error = nullptr;
  GsfOutput* output = gsf_output_stdio_new(path, &error);
  if (!output) return 1;
  GsfOutfile* root = gsf_outfile_msole_new(output);
  GsfOutput* sub = gsf_outfile_new_child(root, "Sub", TRUE);
  GsfOutput* deep = gsf_outfile_new_child(GSF_OUTFILE(sub), "Deep", FALSE);
  gsf_output_write(deep, 5, reinterpret_cast<const guint8*>("inner"));
  gsf_output_close(deep);
  g_object_unref(deep);
  gsf_output_close(sub);
  g_object_unref(sub);
  std::vector<guint8> bytes(300);
  for (int i = 0; i < count; ++i) {
    std::string name = "Stream" + std::to_string(i);
    GsfOutput* child = gsf_outfile_new_child(root, name.c_str(), FALSE);
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<guint8>(k * 7 + i);
    if (i % 300) gsf_output_write(child, i % 300, bytes.data());
    gsf_output_close(child);
    g_object_unref(child);
  }
  gsf_output_close(GSF_OUTPUT(root));  // closes `output` too
  g_object_unref(root);
  g_object_unref(output);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--write") {
    gsf_init();
    int status = Write(argv[2], std::atoi(argv[3]));
    gsf_shutdown();
    return status;
  }
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
