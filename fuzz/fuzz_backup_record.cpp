// A backup folder's completion record and the listing of the backups beside it, as a damaged
// disk, another version or a hand edit may leave them. The fuzzed body gets its right check
// value half of the time, so the parser behind the check is reached. A record that passes the
// check must survive a mark and be read back with that mark.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "preservation/backup_catalogue.h"
#include "preservation/backup_record.h"

using namespace zovir;
namespace fs = std::filesystem;

namespace {

void Put(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string Text(const fuzz::Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const std::string fileBytes = Text(in.Piece());
  const std::string folderName = Text(in.Piece());
  std::string body = Text(in.Rest());

  (void)BackupKeyOf(folderName);
  (void)SerialOfBackupFolder(folderName);

  static const fs::path root = fs::path(fuzz::TempDir()) / "backups";
  std::error_code ec;
  fs::remove_all(root, ec);
  const fs::path folder = root / "SN[F1]";
  fs::create_directories(folder / "EFS" / "data");
  Put(folder / "nv.bak", fileBytes);
  Put(folder / "EFS" / "data" / "a", fileBytes + "a");
  if (flags & 1) {
    char end[20];
    std::snprintf(end, sizeof end, "end %08lx\n",
                  crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    body += end;
  }
  Put(folder / kBackupRecordName, body);

  BackupContents contents;
  std::string why;
  const bool intact = CheckBackupRecord(folder.string(), contents, why);
  (void)DescribeContents(contents);
  (void)DescribeModemMark(contents.modem);
  for (const BackupListing& listing : ListBackups(root.string())) (void)listing;
  (void)BackupsAwaitingRestore(root.string(), "SN[F1]");
  if (intact) {
    if (!MarkBackup(folder.string(), ModemMark::Finished, why)) std::abort();
    BackupContents again;
    if (!CheckBackupRecord(folder.string(), again, why) || again.modem != ModemMark::Finished ||
        again.files != contents.files)
      std::abort();
  }
  return 0;
}
