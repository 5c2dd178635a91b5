#include "discovery/usb_boot.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fake_clock.h"
#include "platform/key_value_store.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ScratchDir;

// A USB bus of fake devices. Pipes record what was written to them, per pipe path.
class FakeUsb final : public UsbBulk {
 public:
  struct Write {
    std::string pipe;
    std::vector<uint8_t> bytes;
  };

  std::vector<std::string> devices;
  std::vector<std::string> unopenable;
  int listError = 0;
  bool pipeFails = false;
  int failWriteNumber = -1;  // 0: the first write of a pipe fails, 1: the second
  Clock* clock = nullptr;    // when set, the time of every listing is kept

  std::vector<std::string> ListDevices(int& error) override {
    std::lock_guard<std::mutex> lock(mutex);
    listTimes.push_back(clock ? clock->NowMs() : 0);
    cv.notify_all();
    error = listError;
    if (listTimes.size() > 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return devices;
  }
  bool CanOpen(const std::string& path, int& error) override {
    if (std::find(unopenable.begin(), unopenable.end(), path) != unopenable.end()) {
      error = EACCES;
      return false;
    }
    return true;
  }
  std::unique_ptr<UsbPipe> OpenPipe(const std::string& pipePath, int& error) override;

  std::vector<Write> Writes() {
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
  }
  // Waits until `n` writes (or listings) happened.
  bool WaitFor(size_t n, bool forWrites) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20),
                       [&] { return (forWrites ? writes.size() : listTimes.size()) >= n; });
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Write> writes;
  std::vector<uint64_t> listTimes;
};

class FakePipe final : public UsbPipe {
 public:
  FakePipe(FakeUsb& usb, std::string path) : usb_(usb), path_(std::move(path)) {}
  bool Write(const uint8_t* data, size_t size, size_t& written, int& error) override {
    if (count_++ == usb_.failWriteNumber) {
      written = 0;
      error = EPIPE;
      return false;
    }
    std::lock_guard<std::mutex> lock(usb_.mutex);
    usb_.writes.push_back({path_, std::vector<uint8_t>(data, data + size)});
    usb_.cv.notify_all();
    written = size;
    return true;
  }

 private:
  FakeUsb& usb_;
  std::string path_;
  int count_ = 0;
};

std::unique_ptr<UsbPipe> FakeUsb::OpenPipe(const std::string& pipePath, int& error) {
  if (pipeFails) {
    error = EBUSY;
    return nullptr;
  }
  return std::make_unique<FakePipe>(*this, pipePath);
}

struct LogLines {
  std::mutex mutex;
  std::vector<std::string> lines;
  UsbBootDownload::LogFn Fn() {
    return [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(l);
    };
  }
  bool Has(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

std::string WriteImage(const ScratchDir& dir, size_t n) {
  std::vector<uint8_t> image = Pattern(n);
  return dir.File("xload.bin", std::string(image.begin(), image.end()));
}

const std::string kBoard = "usb#vid_0451&pid_d00e#3-1.2";
const std::string kStick = "usb#vid_0781&pid_5567#1-4";

TEST(UsbBootPipe, FindsTheBoardAndLogsEachStep) {
  struct Case {
    const char* name;
    std::vector<std::string> devices;
    std::vector<std::string> unopenable;
    bool pipeFails;
    std::string pipe;  // empty: none opened
    std::vector<std::string> log;
  } cases[] = {
      {"lower-case path behind another device",
       {kStick, kBoard},
       {},
       false,
       kBoard + "\\PIPE01",
       {"Attempting to open " + kStick, kStick + " is not our device", "Attempting to open " + kBoard,
        "completeDeviceName = (" + kBoard + "\\PIPE01)", "Opened successfully."}},
      {"upper-case path", {"USB#VID_0451&PID_D00E#1-1"}, {}, false, "USB#VID_0451&PID_D00E#1-1\\PIPE01",
       {"Attempting to open USB#VID_0451&PID_D00E#1-1", "completeDeviceName = (USB#VID_0451&PID_D00E#1-1\\PIPE01)",
        "Opened successfully."}},
      {"first board cannot be opened, the second can",
       {kBoard, "usb#vid_0451&pid_d00e#3-2"},
       {kBoard},
       false,
       "usb#vid_0451&pid_d00e#3-2\\PIPE01",
       {"Attempting to open " + kBoard, "FAILED to open " + kBoard, "Attempting to open usb#vid_0451&pid_d00e#3-2",
        "completeDeviceName = (usb#vid_0451&pid_d00e#3-2\\PIPE01)", "Opened successfully."}},
      {"no board", {kStick}, {}, false, "",
       {"Attempting to open " + kStick, kStick + " is not our device",
        "Failed to GetUsbDeviceFileName err - " + std::to_string(ENODEV)}},
      {"pipe refused", {kBoard}, {}, true, "",
       {"Attempting to open " + kBoard, "completeDeviceName = (" + kBoard + "\\PIPE01)",
        "Failed to open (" + kBoard + "\\PIPE01) = " + std::to_string(EBUSY)}},
      {"path too long for a pipe name", {kBoard + std::string(250, 'x')}, {}, false, "",
       {"Attempting to open " + kBoard + std::string(250, 'x'), "Failed to open handle - possibly long filename"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUsb usb;
    usb.devices = c.devices;
    usb.unopenable = c.unopenable;
    usb.pipeFails = c.pipeFails;
    LogLines log;
    std::unique_ptr<UsbPipe> pipe = OpenUsbBootPipe(usb, log.Fn());
    EXPECT_EQ(log.lines, c.log);
    ASSERT_EQ(pipe != nullptr, !c.pipe.empty());
    if (pipe) {
      size_t written = 0;
      int error = 0;
      uint8_t b = 1;
      pipe->Write(&b, 1, written, error);
      EXPECT_EQ(usb.Writes().at(0).pipe, c.pipe);
    }
  }
}

TEST(UsbBootPipe, SendsTheLengthWordThenTheImage) {
  std::vector<uint8_t> image = Pattern(65535);
  for (int failAt : {-1, 0, 1}) {
    SCOPED_TRACE(failAt);
    FakeUsb usb;
    usb.devices = {kBoard};
    usb.failWriteNumber = failAt;
    LogLines log;
    auto pipe = OpenUsbBootPipe(usb, {});
    ASSERT_NE(pipe, nullptr);
    UsbBootSend result = SendUsbBootImage(*pipe, image, log.Fn());
    auto writes = usb.Writes();
    if (failAt == -1) {
      EXPECT_EQ(result, UsbBootSend::Sent);
      ASSERT_EQ(writes.size(), 2u);
      EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00}));
      EXPECT_EQ(writes[1].bytes, image);
      EXPECT_EQ(log.lines, (std::vector<std::string>{"size 65535 nBytesWrite 4", "Successfully make download...."}));
    } else if (failAt == 0) {
      EXPECT_EQ(result, UsbBootSend::SizeFailed);
      EXPECT_TRUE(writes.empty()) << "no image without its length";
      EXPECT_EQ(log.lines, (std::vector<std::string>{"Failed to write file's size to board, try to continue...."}));
    } else {
      EXPECT_EQ(result, UsbBootSend::ImageFailed);
      EXPECT_EQ(log.lines, (std::vector<std::string>{"size 65535 nBytesWrite 4",
                                                     "Failed to write file to board, try to continue...."}));
    }
  }
}

struct ThreadFixture {
  ScratchDir dir;
  FakeUsb usb;
  FakeClock clock;
  std::unique_ptr<KeyValueStore> store = MakeFileKeyValueStore(dir.Sub("settings/settings.ini"));
  LogLines log;
  UsbBootDownload download{usb, *store, clock, log.Fn()};

  std::optional<std::string> Support() { return store->Read("SOFTWARE\\rgdriverinfo", "DownloadSupport"); }
};

TEST(UsbBootDownload, WithoutTheImageNothingStartsAndNothingIsWritten) {
  ThreadFixture f;
  EXPECT_FALSE(f.download.StartUsbBootDownload(f.dir.path()));
  EXPECT_FALSE(f.download.Running());
  EXPECT_FALSE(std::filesystem::exists(f.dir.Sub("settings")));
  EXPECT_TRUE(f.log.lines.empty());
  EXPECT_TRUE(f.usb.listTimes.empty());
}

TEST(UsbBootDownload, ImagesThatCannotBeSentWhole) {
  for (size_t size : {size_t{70000}, size_t{65536}, size_t{0}}) {
    SCOPED_TRACE(size);
    ThreadFixture f;
    f.usb.devices = {kBoard};
    std::string path = WriteImage(f.dir, size);
    ASSERT_TRUE(f.download.StartUsbBootDownload(f.dir.path()));
    f.download.Stop();
    EXPECT_TRUE(f.usb.listTimes.empty()) << "no board is looked for";
    EXPECT_TRUE(f.usb.Writes().empty());
    ASSERT_EQ(f.log.lines.size(), 2u);
    EXPECT_EQ(f.log.lines[0], "ThreadFastbootFunc start");
    EXPECT_NE(f.log.lines[1].find(path), std::string::npos);
    EXPECT_EQ(f.log.Has("Successfully make download...."), false);
  }
}

TEST(UsbBootDownload, SendsToABoardAndStopsWhenAsked) {
  ThreadFixture f;
  f.usb.clock = &f.clock;
  f.usb.devices = {kBoard};
  WriteImage(f.dir, 65535);
  ASSERT_TRUE(f.download.StartUsbBootDownload(f.dir.path()));
  EXPECT_EQ(f.Support(), "OK");
  ASSERT_TRUE(f.usb.WaitFor(4, true)) << "two boards' worth: the board is served again after a pause";
  f.download.Stop();
  EXPECT_FALSE(f.download.Running());
  auto writes = f.usb.Writes();
  EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0, 0}));
  EXPECT_EQ(writes[1].bytes, Pattern(65535));
  EXPECT_EQ(writes[0].pipe, kBoard + "\\PIPE01");
  EXPECT_GE(f.download.Downloads(), 2);
  EXPECT_EQ(f.usb.listTimes.at(1) - f.usb.listTimes.at(0), 1000u);
  EXPECT_EQ(f.log.lines.at(0), "ThreadFastbootFunc start");

  // A stopped thread sends nothing more.
  size_t after = f.usb.Writes().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(f.usb.Writes().size(), after);
}

TEST(UsbBootDownload, LooksForABoardOnceASecondUntilStopped) {
  ThreadFixture f;
  f.usb.clock = &f.clock;
  f.usb.listError = ENOENT;
  WriteImage(f.dir, 100);
  ASSERT_TRUE(f.download.StartUsbBootDownload(f.dir.path()));
  ASSERT_TRUE(f.usb.WaitFor(3, false));
  // A restart stops the running thread first and announces the driver anew.
  ASSERT_TRUE(f.download.StartUsbBootDownload(f.dir.path()));
  EXPECT_EQ(f.Support(), "OK");
  f.download.Stop();
  EXPECT_FALSE(f.download.Running());
  std::lock_guard<std::mutex> lock(f.usb.mutex);
  EXPECT_EQ(f.usb.listTimes[1] - f.usb.listTimes[0], 1000u);
  EXPECT_EQ(f.usb.listTimes[2] - f.usb.listTimes[1], 1000u);
  EXPECT_TRUE(f.log.Has("Failed to GetUsbDeviceFileName err - " + std::to_string(ENOENT)));
  EXPECT_TRUE(f.log.Has("Failed to find device. try again"));
  EXPECT_TRUE(f.usb.writes.empty());
}

TEST(UsbBootDownload, RealBusStartsAndStopsCleanly) {
  ScratchDir dir;
  SteadyClock clock;
  auto usb = MakeLibusbBulk();
  auto store = MakeFileKeyValueStore(dir.Sub("settings.ini"));
  LogLines log;
  WriteImage(dir, 1000);
  {
    UsbBootDownload download(*usb, *store, clock, log.Fn());
    ASSERT_TRUE(download.StartUsbBootDownload(dir.path()));
    EXPECT_TRUE(download.Running());
    for (int i = 0; i < 2000 && !log.Has("ThreadFastbootFunc start"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }  // destroyed while it looks for a board: it stops and joins
  EXPECT_TRUE(log.Has("ThreadFastbootFunc start"));
  EXPECT_EQ(store->Read("SOFTWARE\\rgdriverinfo", "DownloadSupport"), "OK");
}

}  // namespace
}  // namespace zovir
