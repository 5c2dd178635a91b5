#include <gtest/gtest.h>

#include <cstring>

#include "pty_client.h"
#include "sim/checksum.h"
#include "sim/virtual_modem.h"

namespace zovir::sim::test {
namespace {

using namespace std::chrono_literals;

Bytes Payload(const Bytes& wire) {
  Deframer d;
  for (uint8_t b : wire) {
    if (auto f = d.Push(b)) return f->checkOk ? f->payload : Bytes{0xEE};
  }
  return {};
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes HostHello() {
  Bytes p(1, 0x01);
  p = Cat(p, Text("QCOM fast download protocol host"));
  return Cat(p, Bytes{2, 2, 1});
}

Bytes OpenByName(const char* name) { return Cat(Cat(Bytes{0x1B, 0x0E}, Text(name)), Bytes{0x00}); }

Bytes StreamWrite(uint32_t address, const Bytes& data) {
  Bytes p(1, 0x07);
  PutLe32(p, address);
  return Cat(p, data);
}

Bytes PartCommand(uint8_t cmd, uint32_t offset, uint32_t length, uint16_t checksum) {
  Bytes p(1, cmd);
  PutLe32(p, offset);
  PutLe32(p, length);
  PutLe16(p, checksum);
  return p;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  // Flag and escape bytes must travel too.
  if (n > 10) b[3] = 0x7E, b[9] = 0x7D;
  return b;
}

class Programmer : public ::testing::Test {
 protected:
  void StartModem(FaultPlan faults = {}, int split = 0) {
    auto opt = BaseOptions(dir_);
    opt.startMode = ModemMode::Programmer;
    opt.stateDir = dir_ / "state";
    opt.faults = std::move(faults);
    opt.replySplit = split;
    opt.fastBlockSize = 512;
    modem_ = std::make_unique<VirtualModem>(opt);
    modem_->Start();
    port_ = std::make_unique<PtyClient>(modem_->Ports().at(0).path);
    ASSERT_TRUE(port_->ok());
  }
  // Sends a framed command and returns the reply payload (empty: no reply in time).
  Bytes Command(const Bytes& payload, int timeoutMs = 2000) {
    port_->Write(EncodeFrame(payload, true));
    return Payload(port_->ReadFrame(timeoutMs));
  }
  void Greet() {
    Bytes hello = Command(HostHello());
    ASSERT_GE(hello.size(), 33u);
    ASSERT_EQ(hello[0], 0x02);
    ASSERT_EQ(std::string(hello.begin() + 1, hello.begin() + 33), "QCOM fast download protocol targ");
    ASSERT_EQ(Command(Bytes{0x17, 0x01}), Bytes{0x18});
  }
  // Normal transfer of `data` in blocks of `block`; returns false on a missing/bad ack.
  bool WriteBlocks(const Bytes& data, size_t block) {
    for (size_t at = 0; at < data.size(); at += block) {
      Bytes chunk(data.begin() + at, data.begin() + std::min(data.size(), at + block));
      Bytes ack(1, 0x08);
      PutLe32(ack, static_cast<uint32_t>(at));
      if (Command(StreamWrite(static_cast<uint32_t>(at), chunk)) != ack) return false;
    }
    return true;
  }

  TempDir dir_;
  std::unique_ptr<VirtualModem> modem_;
  std::unique_ptr<PtyClient> port_;
};

TEST_F(Programmer, WritesLandInTheOpenPartitionAndTheManifestRecordsSizeAndCrc) {
  StartModem();
  EXPECT_EQ(Command(OpenByName("0:SBL"))[0], 0x0D);  // before hello: out of order
  Greet();
  EXPECT_EQ(Command(StreamWrite(0, Bytes(16, 1)))[0], 0x0D);  // nothing open
  const Bytes table = Pattern(300, 1);
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x00}, table)), (Bytes{0x1A, 0x00}));

  const Bytes sbl = Pattern(2500, 2);
  EXPECT_EQ(Command(OpenByName("0:SBL")), (Bytes{0x1C, 0x00}));
  EXPECT_EQ(Command(OpenByName("0:SBL")), (Bytes{0x1C, 0x00}));  // a retried open is answered again
  ASSERT_TRUE(WriteBlocks(sbl, 1024));
  EXPECT_EQ(Command(OpenByName("0:TZ"))[0], 0x0D);  // another image while one is open
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(Command(Bytes{0x15})[0], 0x0D);  // nothing is open any more: no image written

  // The application image's open carries two more bytes after the name.
  EXPECT_EQ(Command(Bytes{0x1B, 0x0E, 0x30, 0x3A, 0x41, 0x50, 0x50, 0x53, 0x00, 0x2B, 0x8A}), (Bytes{0x1C, 0x00}));
  const Bytes apps = Pattern(3072, 3);
  ASSERT_TRUE(WriteBlocks(apps, 1024));
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(Command(Bytes{0x1B, 0x09}), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(Pattern(5000, 4), 2040));
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(Command(Bytes{0x1B, 0x0B}), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(Pattern(100, 5), 1024));
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(Command(OpenByName("0:NOPE"))[0], 0x0D);

  auto parts = modem_->Partitions();
  EXPECT_EQ(modem_->State().Partition("sbl1"), sbl);
  EXPECT_EQ(modem_->State().Partition("apps"), apps);
  EXPECT_EQ(modem_->State().Partition("partition"), table);
  EXPECT_EQ(parts["efs"].size, 5000u);
  EXPECT_EQ(parts["efs2apps"].size, 100u);
  // The manifest says the same, with the image checksum of each partition.
  auto manifest = ReadMap(dir_ / "state/manifest.ini");
  EXPECT_EQ(manifest["sbl1"]["Size"], "2500");
  char crc[8];
  std::snprintf(crc, sizeof crc, "0x%04X", Crc16(sbl));
  EXPECT_EQ(manifest["sbl1"]["CRC"], crc);
  EXPECT_EQ(ReadFile(dir_ / "state/partitions/sbl1.bin"), sbl);
}

TEST_F(Programmer, ADifferentStoredPartitionTableAsksForTheOverride) {
  StartModem();
  Greet();
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x00}, Pattern(200, 1))), (Bytes{0x1A, 0x00}));  // blank flash
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x00}, Pattern(200, 1))), (Bytes{0x1A, 0x00}));  // same table
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x00}, Pattern(200, 9))), (Bytes{0x1A, 0x01}));  // differs
  EXPECT_EQ(modem_->State().Partition("partition"), Pattern(200, 1));
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x01}, Pattern(200, 9))), (Bytes{0x1A, 0x00}));  // override
  EXPECT_EQ(modem_->State().Partition("partition"), Pattern(200, 9));
}

TEST_F(Programmer, FastSpeedPartsTravelRawInAcknowledgedBlocksAndLandOnWriteFlash) {
  StartModem();
  Greet();
  ASSERT_EQ(Command(OpenByName("0:APPS")), (Bytes{0x1C, 0x00}));
  const Bytes image = Pattern(1300, 6);  // 3 blocks of 512, the last padded
  const uint16_t sum = Crc16(image);
  const Bytes flash = [] {
    Bytes f{0x21, 0, 0, 0, 0};
    uint16_t c = Crc16(f);
    PutLe16(f, c);
    return f;
  }();

  // First attempt breaks off after one block; the retry resets and starts over.
  ASSERT_EQ(Command(PartCommand(0x20, 0, 1300, sum))[0], 0x23);
  port_->Write(Bytes(image.begin(), image.begin() + 512));
  ASSERT_EQ(Payload(port_->ReadFrame())[0], 0x23);
  port_->Write(EncodeFrame(PartCommand(0x24, 0, 1300, sum), false));
  Bytes reset = Payload(port_->ReadFrame(3000));
  ASSERT_EQ(reset, (Bytes{0x23, 0xFF, 0xFF}));
  ASSERT_EQ(Command(PartCommand(0x20, 0, 1300, sum))[0], 0x23);
  for (size_t at = 0; at < 1536; at += 512) {
    Bytes block(512, 0);
    std::copy(image.begin() + at, image.begin() + std::min<size_t>(image.size(), at + 512), block.begin());
    port_->Write(block);
    ASSERT_EQ(Payload(port_->ReadFrame())[0], 0x23) << at;
  }
  port_->Write(flash);
  EXPECT_EQ(Payload(port_->ReadFrame())[0], 0x22);
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(modem_->State().Partition("apps"), image);
}

Bytes WriteFlashCommand() {
  Bytes f{0x21, 0, 0, 0, 0};
  const uint16_t c = Crc16(f);
  PutLe16(f, c);
  return f;
}

TEST_F(Programmer, FastSpeedPartsWithoutTheirWriteFlashAreNotPartOfTheImage) {
  StartModem();
  Greet();
  ASSERT_EQ(Command(OpenByName("0:APPS")), (Bytes{0x1C, 0x00}));
  const Bytes image = Pattern(2048, 6);
  const uint16_t sum = Crc16(image);
  auto sendPart = [&](uint32_t offset, const Bytes& bytes, bool flash) {
    ASSERT_EQ(Command(PartCommand(0x20, offset, static_cast<uint32_t>(bytes.size()), sum))[0], 0x23);
    for (size_t at = 0; at < bytes.size(); at += 512) {
      port_->Write(Bytes(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 512)));
      ASSERT_EQ(Payload(port_->ReadFrame())[0], 0x23) << at;
    }
    if (!flash) return;
    port_->Write(WriteFlashCommand());
    ASSERT_EQ(Payload(port_->ReadFrame())[0], 0x22);
  };
  const Bytes first(image.begin(), image.begin() + 1024);
  const Bytes second(image.begin() + 1024, image.end());
  sendPart(0, first, true);
  // The first part again with other bytes (its write-flash reply was lost, say), abandoned
  // by a transfer reset: what was flashed stays.
  sendPart(0, Pattern(1024, 99), false);
  port_->Write(EncodeFrame(PartCommand(0x24, 0, 1024, sum), false));
  ASSERT_EQ(Payload(port_->ReadFrame(3000)), (Bytes{0x23, 0xFF, 0xFF}));
  // The second part arrives whole but is reset before its write-flash, and the image closed.
  sendPart(1024, second, false);
  port_->Write(EncodeFrame(PartCommand(0x24, 1024, 1024, sum), false));
  ASSERT_EQ(Payload(port_->ReadFrame(3000)), (Bytes{0x23, 0xFF, 0xFF}));
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(modem_->State().Partition("apps"), first);
  EXPECT_EQ(modem_->Partitions()["apps"].crc, Crc16(first));

  // Both parts, the second sent twice (the retry goes over it again), flash the whole image.
  ASSERT_EQ(Command(OpenByName("0:APPS")), (Bytes{0x1C, 0x00}));
  sendPart(0, first, true);
  sendPart(1024, second, true);
  sendPart(1024, second, true);
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(modem_->State().Partition("apps"), image);
  EXPECT_EQ(modem_->Partitions()["apps"].crc, sum);
}

TEST_F(Programmer, AnImageCutOffBeforeItsCloseLeavesTheOldPartition) {
  StartModem();
  Greet();
  const Bytes old = Pattern(3000, 1);
  ASSERT_EQ(Command(OpenByName("0:SBL")), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(old, 1024));
  ASSERT_EQ(Command(Bytes{0x15}), Bytes{0x16});

  // A new image, half written, then the programmer is reset: the partition is the old one.
  ASSERT_EQ(Command(OpenByName("0:SBL")), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(Pattern(5000, 2), 1024));
  EXPECT_EQ(Command(Bytes{0x0B}), Bytes{0x0C});
  ASSERT_TRUE(modem_->WaitForMode(ModemMode::Normal, 5s));
  EXPECT_EQ(modem_->State().Partition("sbl1"), old);
  EXPECT_EQ(modem_->Partitions()["sbl1"].size, old.size());
  modem_->Stop();

  // Stopped in the middle of an image: the same, also for the next modem on the folder.
  auto opt = BaseOptions(dir_);
  opt.startMode = ModemMode::Programmer;
  opt.stateDir = dir_ / "state";
  modem_ = std::make_unique<VirtualModem>(opt);
  modem_->Start();
  port_ = std::make_unique<PtyClient>(modem_->Ports().at(0).path);
  Greet();
  ASSERT_EQ(Command(OpenByName("0:SBL")), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(Pattern(4096, 3), 1024));
  modem_->Stop();
  modem_.reset();
  VirtualModem again(opt);
  EXPECT_EQ(again.State().Partition("sbl1"), old);
  char crc[8];
  std::snprintf(crc, sizeof crc, "0x%04X", Crc16(old));
  EXPECT_EQ(ReadMap(dir_ / "state/manifest.ini")["sbl1"]["CRC"], crc);
  for (const auto& e : std::filesystem::directory_iterator(dir_ / "state/partitions"))
    EXPECT_EQ(e.path().extension(), ".bin") << e.path();
}

// One fault per row, hitting the 2nd stream write; the 3rd is untouched.
struct FaultCase {
  const char* spec;
  bool replyArrives;      // something arrives for the 2nd write
  bool replyIsTheAck;     // ... and it is the exact acknowledgement
};

class ProgrammerFault : public Programmer, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ProgrammerFault, HitsOnlyTheChosenOccurrence) {
  FaultPlan plan;
  ASSERT_EQ(plan.AddSpec(GetParam().spec), "");
  StartModem(plan);
  Greet();
  ASSERT_EQ(Command(OpenByName("0:MBA")), (Bytes{0x1C, 0x00}));
  const Bytes block = Pattern(1024, 7);
  Bytes ack1(1, 0x08);
  PutLe32(ack1, 1024);

  ASSERT_EQ(Command(StreamWrite(0, block)).at(0), 0x08);
  port_->Write(EncodeFrame(StreamWrite(1024, block), true));
  Bytes wire = port_->ReadFrame(600);
  EXPECT_EQ(!wire.empty(), GetParam().replyArrives);
  EXPECT_EQ(Payload(wire) == ack1, GetParam().replyIsTheAck) << GetParam().spec;
  // The host retries the block; this and the next are answered normally.
  EXPECT_EQ(Command(StreamWrite(1024, block)), ack1);
  Bytes ack2(1, 0x08);
  PutLe32(ack2, 2048);
  EXPECT_EQ(Command(StreamWrite(2048, block)), ack2);
  EXPECT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(modem_->State().Partition("mba"), Cat(Cat(block, block), block));
  EXPECT_EQ(modem_->FiredFaults().size(), 1u);
  EXPECT_EQ(modem_->CommandCount("write"), 4u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProgrammerFault,
                         ::testing::Values(FaultCase{"write@2=silent", false, false},
                                           FaultCase{"write@2=ignore", false, false},
                                           FaultCase{"write@2=corrupt", true, false},
                                           FaultCase{"write@2=drop", true, false},
                                           FaultCase{"write@2=nak", true, false},
                                           FaultCase{"write@2=wrong", true, false},
                                           FaultCase{"write@2=split:2", true, true},
                                           FaultCase{"write@2=delay:150", true, true}));

TEST_F(Programmer, StatusFaultTurnsTheTableReplyIntoAnOverrideRequest) {
  FaultPlan plan;
  ASSERT_EQ(plan.AddSpec("ptable@1=status:1"), "");
  StartModem(plan);
  Greet();
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x00}, Pattern(64, 1))), (Bytes{0x1A, 0x01}));
  EXPECT_EQ(Command(Cat(Bytes{0x19, 0x01}, Pattern(64, 1))), (Bytes{0x1A, 0x00}));
}

TEST_F(Programmer, RepliesSplitIntoPiecesKeepTheirBytes) {
  StartModem({}, 3);
  Bytes wire;
  port_->Write(EncodeFrame(Bytes{0x17, 0x01}, true));
  wire = port_->ReadFrame();
  EXPECT_EQ(Payload(wire)[0], 0x0D);
}

TEST_F(Programmer, AVanishingPortLeavesTheMapAndItsHandleHangsUp) {
  FaultPlan plan;
  ASSERT_EQ(plan.AddSpec("security=vanish"), "");
  StartModem(plan);
  EXPECT_EQ(Command(HostHello())[0], 0x02);
  port_->Write(EncodeFrame(Bytes{0x17, 0x01}, true));
  pollfd p{port_->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  EXPECT_TRUE(modem_->Ports().empty());
  EXPECT_TRUE(ReadMap(dir_ / "ports.ini").empty());
}

TEST_F(Programmer, APortThatVanishesForAWhileComesBackWithItsSession) {
  FaultPlan plan;
  ASSERT_EQ(plan.AddSpec("security=vanish:100"), "");
  StartModem(plan);
  EXPECT_EQ(Command(HostHello())[0], 0x02);
  port_->Write(EncodeFrame(Bytes{0x17, 0x01}, true));
  pollfd p{port_->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  ASSERT_TRUE(modem_->WaitForPort(7, 5s));
  EXPECT_EQ(ReadMap(dir_ / "ports.ini")["COM7"]["HardwareId"], "USB\\VID_05C6&PID_9008&REV_0000");
  port_ = std::make_unique<PtyClient>(modem_->Ports()[0].path);
  EXPECT_EQ(Command(Bytes{0x17, 0x01}), Bytes{0x18});  // hello was already done
}

TEST_F(Programmer, ResetRestartsIntoNormalFirmwareAndKeepsThePartitions) {
  StartModem();
  Greet();
  ASSERT_EQ(Command(OpenByName("0:RPM")), (Bytes{0x1C, 0x00}));
  ASSERT_TRUE(WriteBlocks(Pattern(3000, 8), 1024));
  ASSERT_EQ(Command(Bytes{0x15}), Bytes{0x16});
  EXPECT_EQ(Command(Bytes{0x0B}), Bytes{0x0C});
  ASSERT_TRUE(modem_->WaitForMode(ModemMode::Normal, 5s));
  auto map = ReadMap(dir_ / "ports.ini");
  EXPECT_EQ(map["COM7"]["HardwareId"], "USB\\VID_05C6&PID_9025&REV_0000&MI_00");
  EXPECT_TRUE(map.count("COM8"));
  modem_->Stop();

  // A modem started later on the same folder holds what was written.
  auto opt = BaseOptions(dir_);
  opt.stateDir = dir_ / "state";
  VirtualModem again(opt);
  EXPECT_EQ(again.State().Partition("rpm"), Pattern(3000, 8));
}

}  // namespace
}  // namespace zovir::sim::test
