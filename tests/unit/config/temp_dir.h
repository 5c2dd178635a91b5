#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zovir::test {

// A private temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zovir-config-XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name, const std::string& contents) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << contents;
    return p;
  }

 private:
  std::string path_;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace zovir::test
