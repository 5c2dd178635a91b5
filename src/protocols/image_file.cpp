#include "protocols/image_file.h"

#include <sys/stat.h>

namespace zovir {

namespace {
constexpr size_t kStdioBuffer = 64 * 1024;
}

ImageFile::~ImageFile() { Close(); }

bool ImageFile::Open(const std::string& path) {
  Close();
  failed_ = false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  struct stat st {};
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return false;
  }
  std::setvbuf(f, nullptr, _IOFBF, kStdioBuffer);
  file_ = f;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ImageFile::Seek(uint64_t offset) {
  if (file_ == nullptr || offset > size_) return false;
  return ::fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
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

std::optional<uint64_t> MeasureFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

std::string FileNameOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace zovir
