#include "tools/hex_converter/hex_converter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMaxImageBytes = 128ull << 20;

struct Chunk {
  uint64_t address;
  std::vector<uint8_t> bytes;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes one record line (without the line break) into its bytes; false when it is not a
// well-formed record with a correct checksum.
bool DecodeRecord(const std::string& line, std::vector<uint8_t>& out) {
  if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return false;
  out.clear();
  for (size_t i = 1; i < line.size(); i += 2) {
    int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (out.size() != 5u + out[0]) return false;
  uint8_t sum = 0;
  for (uint8_t b : out) sum = static_cast<uint8_t>(sum + b);
  return sum == 0;
}

bool Parse(std::istream& in, std::vector<Chunk>& chunks) {
  std::string line;
  std::vector<uint8_t> rec;
  uint64_t base = 0;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) continue;
    if (!DecodeRecord(line, rec)) return false;
    const uint8_t count = rec[0];
    const uint32_t offset = static_cast<uint32_t>(rec[1]) << 8 | rec[2];
    const uint8_t* data = rec.data() + 4;
    switch (rec[3]) {
      case 0x00: {
        uint64_t address = base + offset;
        if (address + count > (1ull << 32)) return false;
        if (count) chunks.push_back({address, std::vector<uint8_t>(data, data + count)});
        break;
      }
      case 0x01:
        return count == 0;
      case 0x02:
        if (count != 2) return false;
        base = (static_cast<uint64_t>(data[0]) << 8 | data[1]) << 4;
        break;
      case 0x04:
        if (count != 2) return false;
        base = (static_cast<uint64_t>(data[0]) << 8 | data[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        // Start addresses do not belong to the image.
        if (count != 4) return false;
        break;
      default:
        return false;
    }
  }
  return false;  // no end-of-file record
}

bool BuildImage(std::vector<Chunk>& chunks, std::vector<uint8_t>& image) {
  if (chunks.empty()) return false;
  std::stable_sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.address < b.address; });
  const uint64_t low = chunks.front().address;
  uint64_t high = 0;
  for (const Chunk& c : chunks) high = std::max(high, c.address + c.bytes.size());
  if (high - low > kMaxImageBytes) return false;
  image.assign(high - low, 0xFF);
  std::vector<bool> written(high - low, false);
  for (const Chunk& c : chunks) {
    for (size_t i = 0; i < c.bytes.size(); ++i) {
      size_t at = c.address - low + i;
      // Two records that give one address different values leave the image undefined.
      if (written[at] && image[at] != c.bytes[i]) return false;
      image[at] = c.bytes[i];
      written[at] = true;
    }
  }
  return true;
}

bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& image) {
  std::string tmp = path + ".part" + std::to_string(getpid());
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  std::remove(tmp.c_str());
  return false;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ConvertHexFile(const char* hexPath, const char* binPath) {
  if (!hexPath || !binPath || !*hexPath || !*binPath) return 0;
  try {
    std::ifstream in(hexPath, std::ios::binary);
    if (!in) return 0;
    std::vector<Chunk> chunks;
    if (!Parse(in, chunks)) return 0;
    std::vector<uint8_t> image;
    if (!BuildImage(chunks, image)) return 0;
    return WriteReplacing(binPath, image) ? 1 : 0;
  } catch (...) {
    // Nothing may escape through a C entry point.
    return 0;
  }
}
