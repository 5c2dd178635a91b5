#include "protocols/image_file.h"

#include "platform/regular_file.h"

namespace zovir {

namespace {
constexpr size_t kStdioBuffer = 64 * 1024;
}

ImageFile::~ImageFile() { Close(); }

bool ImageFile::Open(const std::string& path) {
  Close();
  failed_ = false;
  std::FILE* f = OpenStdioFile(path, "rb");
  if (f == nullptr) return false;
  const std::optional<uint64_t> size = RegularFileSize(f);
  if (!size) {
    std::fclose(f);
    return false;
  }
  std::setvbuf(f, nullptr, _IOFBF, kStdioBuffer);
  file_ = f;
  size_ = *size;
  return true;
}

bool ImageFile::Seek(uint64_t offset) {
  if (file_ == nullptr || offset > size_) return false;
  return SeekFile(file_, offset);
}

size_t ImageFile::Read(uint8_t* buffer, size_t n) {
  if (file_ == nullptr) {
    failed_ = true;
    return 0;
  }
  const size_t got = std::fread(buffer, 1, n, file_);
  if (got < n && std::ferror(file_)) failed_ = true;
  return got;
}

void ImageFile::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  size_ = 0;
}

std::string FileNameOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace zovir
