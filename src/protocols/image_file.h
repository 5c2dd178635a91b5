#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zovir {

// One image or programmer file opened for reading. Reads go through a stdio buffer so that
// the 1 KiB blocks of a transfer cost no system call each; the file is never loaded whole.
class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Opens a regular file for reading; false when it is missing or not a regular file.
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  // Size measured when the file was opened.
  uint64_t Size() const { return size_; }
  bool Seek(uint64_t offset);
  // Reads up to n bytes; fewer only at the end of the file or on a read error (Failed()).
  size_t Read(uint8_t* buffer, size_t n);
  bool Failed() const { return failed_; }
  void Close();

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  bool failed_ = false;
};

// The last component of a path (either separator).
std::string FileNameOf(const std::string& path);

}  // namespace zovir
