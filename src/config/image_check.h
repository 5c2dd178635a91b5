#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/message_sink.h"
#include "config/project_configuration.h"

namespace zovir {

struct EngineConfig;

// One accepted file of the window's file list: its name and its folder (with the trailing
// separator).
struct ImageListItem {
  std::string name;
  std::string folder;
  bool checked = true;
};

// Where the images of the folder under examination lie, how large they are and their
// checksums; reset at the start of every check.
struct ImageFolderState {
  std::string ramFile, partitionFile, amssFile, EFSFile, CEfsFile, AppEfsFile, RawAppsEfsFile, amsshdFile;
  std::string DSP1File, DSP2File, FTLFile, QcFile, QchdFile, OemFile, OemhdFile, FsblFile, DblFile, OsblFile;
  std::string AppsImageHeaderFile, AppsImageFile, AppsBootloaderHeaderFile, AppsBootloaderFile;
  std::string FastbootBootImageFile, FastbootPrimary_gptFile, FastbootSecondary_gptFile, FastbootzImageFile;
  std::string FastbootRamdiskFile, FastbootSystemImageFile, FastbootRecoveryImageFile, FastbootUserdataImageFile;
  std::string FastbootSplashImageFile, CfgDataFile, PhoneImageFile;
  std::string rpmmbnFile, sbl1File, sbl2dlFile, tzFile, mbaFile, qdsp6swFile, acdbmbnFile, AppsMbnFile;
  std::string bakFile, atbakFile;
  std::string packetFolder;

  uint32_t ramFileSize = 0, partitionFileSize = 0, amssFileSize = 0, EFSFileSize = 0, CEfsFileSize = 0;
  uint32_t AppEfsFileSize = 0, RawAppsEfsFileSize = 0, amsshdFileSize = 0, DSP1FileSize = 0, DSP2FileSize = 0;
  uint32_t FTLFileSize = 0, AppsImageHeaderSize = 0, AppsImageSize = 0, AppsBootloaderHeaderSize = 0;
  uint32_t AppsBootloaderSize = 0, FastbootBootImageSize = 0, FastbootPrimary_gptSize = 0;
  uint32_t FastbootSecondary_gptSize = 0, FastbootzImageSize = 0, FastbootRamdiskSize = 0;
  uint32_t FastbootSystemImageSize = 0, FastbootRecoveryImageSize = 0, FastbootUserdataImageSize = 0;
  uint32_t FastbootSplashImageSize = 0, CfgDataFileSize = 0, PhoneImageFileSize = 0, rpmmbnSize = 0;
  uint32_t sbl1Size = 0, tzFileSize = 0, mbaFileSize = 0, qdsp6swFileSize = 0, acdbmbnSize = 0;
  uint32_t AppsMbnSize = 0;
  std::array<uint32_t, 15> FastbootFileSize{};
  // The sum of every recorded size; 64 bits so that a large packet cannot wrap it.
  uint64_t allTotalFileSize = 0;

  std::array<uint16_t, 17> ImageChecksum{};
  // Which entries of ImageChecksum this check computed.
  std::array<bool, 17> ChecksumComputed{};

  // lvFileList: empty after a failed check.
  std::vector<ImageListItem> lvFileList;
};

// How the checks read an image's bytes. The default reads the file system; a test can put
// failing or counting readers in its place.
class ImageFileReader {
 public:
  virtual ~ImageFileReader() = default;
  virtual bool Open(const std::string& path) = 0;
  // Bytes read (0 at the end of the file), or -1 on an error.
  virtual long long Read(uint8_t* buffer, size_t length) = 0;
  virtual void Close() = 0;
};

// What a check needs besides the configuration.
struct ImageCheckContext {
  MessageSink& sink;
  std::string caption;                 // the application title: caption of the check's messages
  // With ReupdateMode: the backup folder of the run being re-updated, which holds its nv.bak
  // and EncryptAT.bak.
  std::string backupFolder;
  bool ReupdateMode = false;
  // Converts an Intel-HEX file found by the scan (hex path, binary path).
  std::function<void(const std::string&, const std::string&)> convertHex;
  ImageFileReader* reader = nullptr;  // nullptr: the file system
};

// Recursive name scan of `folder` (the recognised image names set their path members).
void ScanImageFolder(const std::string& folder, const ProjectConfiguration& config, ImageFolderState& state,
                     const ImageCheckContext& context);

// The flash programmer of the image folder `dir`: the name the payload writes for the
// configuration, or the other one when only that exists.
std::string ProgrammerPath(const std::string& dir, const ProjectConfiguration& config);

// The whole pre-flight check of `folder`. True when every selected image passed; a failure
// shows its message and leaves the file list empty.
bool CheckImageFolder(const std::string& folder, const ProjectConfiguration& config, ImageFolderState& state,
                      const ImageCheckContext& context);

// CRC-16/X-25 over the whole file, read `blockSize` bytes at a time. Nothing but a message
// (caption "Warning") when the file is empty, cannot be opened or comes back short.
bool ComputeImageChecksum(const std::string& path, int blockSize, uint16_t& checksum, MessageSink& sink,
                          ImageFileReader* reader = nullptr);

// Hands the image paths, sizes, checksums and total size of a passed check to an engine.
void HandOverImages(const ImageFolderState& state, EngineConfig& engine);

}  // namespace zovir
