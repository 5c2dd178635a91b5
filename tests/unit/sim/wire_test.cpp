// The virtual modem's answers on the wire, byte for byte: one table of request -> reply per
// protocol. The rows of a table run in order on one modem, so a row may rely on what an
// earlier row did to its state.
#include <gtest/gtest.h>

#include <cstring>

#include "pty_client.h"
#include "sim/at_identity.h"
#include "sim/efs_responders.h"
#include "sim/nv_responders.h"
#include "sim/nv_store.h"
#include "sim/virtual_modem.h"

namespace zovir::sim::test {
namespace {

using namespace std::chrono_literals;

struct WireCase {
  const char* what;
  Bytes request;
  Bytes reply;  // the whole reply; for a few rows only its first bytes (see `prefix`)
  bool prefix = false;
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Str(const char* s) { return Bytes(s, s + std::strlen(s) + 1); }  // with its terminator

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    std::snprintf(buf, sizeof buf, "%02X ", x);
    s += buf;
  }
  return s;
}

std::string PortPath(const VirtualModem& m, int com) {
  for (const auto& p : m.Ports())
    if (p.com == com) return p.path;
  return {};
}

// A normal-mode modem with the NV, identity and EFS stores of its firmware.
struct NormalModem {
  TempDir dir;
  std::shared_ptr<NVStore> nv = std::make_shared<NVStore>();
  std::shared_ptr<EfsSimulation> efs = std::make_shared<EfsSimulation>();
  std::unique_ptr<VirtualModem> modem;
  std::unique_ptr<PtyClient> diag;

  NormalModem() {
    VirtualModemOptions opt = BaseOptions(dir);
    AttachNVStore(opt, nv);
    AttachAtIdentityStore(opt, std::make_shared<AtIdentityStore>());
    AttachEfs(opt, efs);
    modem = std::make_unique<VirtualModem>(opt);
    modem->Start();
    diag = std::make_unique<PtyClient>(PortPath(*modem, 7));
  }
  // DIAG replies are framed without an opening flag.
  void Run(const std::vector<WireCase>& table) {
    for (const auto& c : table) {
      ASSERT_TRUE(diag->Write(EncodeFrame(c.request, true))) << c.what;
      EXPECT_EQ(Hex(diag->ReadFrame()), Hex(EncodeFrame(c.reply, false))) << c.what;
    }
  }
};

// The bytes exactly as they travel, check bytes written out: the modem's frame check must be
// the CRC-16/X-25 its peers compute, escapes in the check included.
TEST(Wire, DiagFramesCarryTheRealCheckBytes) {
  NormalModem m;
  const WireCase cases[] = {
      {"unknown command", {0x7E, 0x55, 0x01, 0x81, 0xB3, 0x7E}, {0x13, 0x55, 0x01, 0xFB, 0x10, 0x7E}},
      {"check low byte escaped as a flag", {0x7E, 0x55, 0x51, 0x04, 0xE1, 0x7E},
       {0x13, 0x55, 0x51, 0x7D, 0x5E, 0x42, 0x7E}},
      {"check high byte escaped as an escape", {0x7E, 0x55, 0x8F, 0xF7, 0xDE, 0x7E},
       {0x13, 0x55, 0x8F, 0x8D, 0x7D, 0x5D, 0x7E}},
      {"version request with a stray byte", {0x7E, 0x00, 0x01, 0xCE, 0x1E, 0x7E},
       {0x15, 0x00, 0x01, 0x6D, 0x6B, 0x7E}},
      {"wrong service code", {0x7E, 0x41, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x5E, 0xC5, 0x7E},
       {0x41, 0x00, 0xF9, 0x50, 0x7E}},
      {"service code of the modem", {0x7E, 0x41, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0xDF, 0x8A, 0x7E},
       {0x41, 0x01, 0x70, 0x41, 0x7E}},
      {"subsystem nobody serves", {0x7E, 0x4B, 0x63, 0x00, 0x00, 0x55, 0xC0, 0x7E},
       {0x13, 0x4B, 0x63, 0x00, 0x00, 0x70, 0x5A, 0x7E}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(m.diag->Write(c.request)) << c.what;
    EXPECT_EQ(Hex(m.diag->ReadFrame()), Hex(c.reply)) << c.what;
  }
  // A request whose check is off by one bit is not answered: the next one is.
  ASSERT_TRUE(m.diag->Write(Bytes{0x7E, 0x55, 0x01, 0x81, 0xB2, 0x7E}));
  ASSERT_TRUE(m.diag->Write(Bytes{0x7E, 0x00, 0x01, 0xCE, 0x1E, 0x7E}));
  EXPECT_EQ(Hex(m.diag->ReadFrame()), Hex({0x15, 0x00, 0x01, 0x6D, 0x6B, 0x7E}));
}

Bytes NvRequest(uint8_t command, uint16_t id, uint8_t fill, uint8_t status) {
  Bytes r{command, static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8)};
  r.resize(3 + 128, fill);
  r.push_back(status);
  r.push_back(status);
  return r;
}

TEST(Wire, DiagCommandsAnswerWithTheirLayoutAndRefuseWrongLengthsAndCodes) {
  NormalModem m;
  m.modem->State().SetNv(10, Bytes(128, 0x5A));
  Bytes version{0x00};
  for (const char* text : {"Dec 01 2026", "12:00:00", "Dec 01 2026", "12:00:00", "VER9X06 "})
    version.insert(version.end(), text, text + std::strlen(text));
  version.insert(version.end(), {0x0A, 0x06, 0x61, 0x01, 0x00, 0x02, 0x01, 0x00});
  ASSERT_EQ(version.size(), 55u);
  Bytes readAbsent = NvRequest(0x26, 11, 0x00, 0x05);
  readAbsent[132] = 0x00;
  Bytes readUndefined = NvRequest(0x26, 0x9000, 0x00, 0x08);
  readUndefined[132] = 0x00;
  Bytes readKept = NvRequest(0x26, 10, 0x5A, 0x00);
  Bytes writeUndefined = NvRequest(0x27, 0x9000, 0x33, 0x08);
  writeUndefined[132] = 0x00;
  m.Run({
      {"version request", {0x00}, version},
      {"version request with a stray byte", {0x00, 0x01}, {0x15, 0x00, 0x01}},
      {"unknown command", {0x55, 0x01}, {0x13, 0x55, 0x01}},
      {"NV read of a kept item", NvRequest(0x26, 10, 0x00, 0xCC), readKept},
      {"NV read of an inactive item", NvRequest(0x26, 11, 0x00, 0xCC), readAbsent},
      {"NV read of an item the target does not define", NvRequest(0x26, 0x9000, 0x00, 0xCC), readUndefined},
      {"NV write of an item the target does not define", NvRequest(0x27, 0x9000, 0x33, 0x00), writeUndefined},
      {"NV read cut short", {0x26, 0x0A, 0x00}, {0x15, 0x26, 0x0A, 0x00}},
      {"build ID with a stray byte", {0x7C, 0x00}, {0x15, 0x7C, 0x00}},
      {"service code of the modem", {0x41, '0', '0', '0', '0', '0', '0'}, {0x41, 0x01}},
      {"wrong service code", {0x41, '1', '2', '3', '4', '5', '6'}, {0x41, 0x00}},
      {"service code cut short", {0x41, '0', '0'}, {0x15, 0x41, '0', '0'}},
      {"mode change cut short", {0x29, 0x01}, {0x15, 0x29, 0x01}},
      {"download-mode switch with a stray byte", {0x3A, 0x00}, {0x15, 0x3A, 0x00}},
      {"subsystem nobody serves", {0x4B, 0x63, 0x00, 0x00}, {0x13, 0x4B, 0x63, 0x00, 0x00}},
  });
  EXPECT_FALSE(m.modem->State().Nv(0x9000));
  EXPECT_EQ(m.modem->Mode(), ModemMode::Normal);
}

TEST(Wire, ServiceCodeIsThePropertyOfTheModem) {
  TempDir dir;
  VirtualModemOptions opt = BaseOptions(dir);
  opt.serviceProgrammingCode = "314159";
  VirtualModem modem(opt);
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  for (const auto& [code, status] : std::vector<std::pair<std::string, uint8_t>>{{"000000", 0}, {"314159", 1}}) {
    Bytes req{0x41};
    req.insert(req.end(), code.begin(), code.end());
    diag.Write(EncodeFrame(req, true));
    EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x41, status}, false)) << code;
  }
}

Bytes Efs(uint16_t command, std::initializer_list<Bytes> fields = {}) {
  return Cat({{0x4B, 0x13, static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8)}, Cat(fields)});
}
Bytes U32(uint32_t v) { return Le32Words({v}); }
Bytes U16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes Errno(uint16_t command, uint32_t err) { return Efs(command, {U32(err)}); }
constexpr uint32_t kTime = 0x5F5E1000;
Bytes Times() { return Le32Words({kTime, kTime, kTime}); }

TEST(Wire, EfsAnswersHelloAndEveryPathCommandWithTheFileSystemsErrorNumbers) {
  NormalModem m;
  DeviceState& st = m.modem->State();
  st.SetEfsFile("/a/file", {'x', 'y', 'z'});
  st.MakeEfsDir("/a/sub");
  st.MakeEfsDir("/b");
  const Bytes hostHello = Le32Words({0x2000, 0x2000, 0x2000, 0x2000, 0x2000, 0x2000, 1, 1, 1, 0});
  const Bytes modemHello = Le32Words({0x100000, 0x100000, 0x100000, 0x100000, 0x100000, 0x100000, 1, 1, 1, 0});
  m.Run({
      {"hello", Efs(0x00, {hostHello}), Efs(0x00, {modemHello})},
      {"hello cut short", Efs(0x00, {U32(1)}), Cat({{0x15}, Efs(0x00, {U32(1)})})},
      {"lstat of a file", Efs(0x10, {Str("/a/file")}), Efs(0x10, {U32(0), U32(0100666), Times()})},
      {"lstat of a folder", Efs(0x10, {Str("/a/sub")}), Efs(0x10, {U32(0), U32(040777), Times()})},
      {"lstat of nothing", Efs(0x10, {Str("/nope")}), Efs(0x10, {U32(2), U32(0), Le32Words({0, 0, 0})})},
      {"lstat through a file", Efs(0x10, {Str("/a/file/x")}), Efs(0x10, {U32(20), U32(0), Le32Words({0, 0, 0})})},
      {"open for reading", Efs(0x02, {U32(0), U32(0), Str("/a/file")}), Efs(0x02, {U32(0), U32(0)})},
      {"fstat of the open file", Efs(0x11, {U32(0)}), Efs(0x11, {U32(0), U32(0100666), U32(3), U32(1), Times()})},
      {"fstat of no file", Efs(0x11, {U32(7)}), Efs(0x11, {U32(9), U32(0), U32(0), U32(0), Le32Words({0, 0, 0})})},
      {"close", Efs(0x03, {U32(0)}), Errno(0x03, 0)},
      {"unlink of nothing", Efs(0x08, {Str("/nope")}), Errno(0x08, 2)},
      {"unlink of a folder", Efs(0x08, {Str("/a/sub")}), Errno(0x08, 21)},
      {"unlink through a file", Efs(0x08, {Str("/a/file/x")}), Errno(0x08, 20)},
      {"rmdir of a folder that holds something", Efs(0x0A, {Str("/a")}), Errno(0x0A, 39)},
      {"rmdir of a file", Efs(0x0A, {Str("/a/file")}), Errno(0x0A, 20)},
      {"rmdir of nothing", Efs(0x0A, {Str("/c")}), Errno(0x0A, 2)},
      {"rmdir of the root", Efs(0x0A, {Str("/")}), Errno(0x0A, 16)},
      {"mkdir of what exists", Efs(0x09, {U16(0777), Str("/b")}), Errno(0x09, 17)},
      {"rename of nothing", Efs(0x0E, {Str("/nope"), Str("/x")}), Errno(0x0E, 2)},
      {"rename of a file over a folder", Efs(0x0E, {Str("/a/file"), Str("/a/sub")}), Errno(0x0E, 21)},
      {"rename of a folder over a file", Efs(0x0E, {Str("/a/sub"), Str("/a/file")}), Errno(0x0E, 20)},
      {"rename of a folder into itself", Efs(0x0E, {Str("/a"), Str("/a/sub/x")}), Errno(0x0E, 22)},
      {"rename over a folder that holds something", Efs(0x0E, {Str("/b"), Str("/a")}), Errno(0x0E, 39)},
      {"rename into a missing folder", Efs(0x0E, {Str("/a/file"), Str("/c/file")}), Errno(0x0E, 2)},
      {"rename of a file", Efs(0x0E, {Str("/a/file"), Str("/b/moved")}), Errno(0x0E, 0)},
      {"rename of a folder", Efs(0x0E, {Str("/a"), Str("/d")}), Errno(0x0E, 0)},
      {"chmod", Efs(0x12, {U16(0640), Str("/d/sub")}), Errno(0x12, 0)},
      {"lstat shows the mode", Efs(0x10, {Str("/d/sub")}), Efs(0x10, {U32(0), U32(040640), Times()})},
      {"chmod of nothing", Efs(0x12, {U16(0640), Str("/nope")}), Errno(0x12, 2)},
      {"unlink of the moved file", Efs(0x08, {Str("/b/moved")}), Errno(0x08, 0)},
      {"rmdir of an empty folder", Efs(0x0A, {Str("/b")}), Errno(0x0A, 0)},
      {"stat without the path's terminator", Efs(0x0F, {{'/', 'a'}}), Cat({{0x15}, Efs(0x0F, {{'/', 'a'}})})},
      {"an EFS command nobody serves", Efs(0x63), Cat({{0x13}, Efs(0x63)})},
  });
  EXPECT_FALSE(st.EfsFile("/a/file"));
  EXPECT_FALSE(st.EfsDirExists("/a"));
  EXPECT_TRUE(st.EfsDirExists("/d/sub"));
  EXPECT_FALSE(st.EfsDirExists("/b"));
  EXPECT_FALSE(st.EfsFile("/b/moved"));
}

// The boot loader's Sahara packets: raw, little-endian words.
struct SaharaLoader {
  TempDir dir;
  std::unique_ptr<VirtualModem> modem;
  std::unique_ptr<PtyClient> port;
  explicit SaharaLoader() {
    VirtualModemOptions opt = BaseOptions(dir);
    opt.startMode = ModemMode::BootSahara;
    opt.chipSerialNumber = 0x11223344;
    opt.hardwareId = 0x000480E100000001ull;
    opt.bootLoaderVersion = 3;
    opt.publicKeyHash = Bytes(32, 0xC3);
    modem = std::make_unique<VirtualModem>(opt);
    modem->Start();
    port = std::make_unique<PtyClient>(modem->Ports().at(0).path);
  }
  void Run(const std::vector<WireCase>& table) {
    for (const auto& c : table) {
      if (!c.request.empty()) {
        ASSERT_TRUE(port->Write(c.request)) << c.what;
      }
      EXPECT_EQ(Hex(port->ReadExactly(c.reply.size(), 3000)), Hex(c.reply)) << c.what;
    }
  }
};

Bytes Hello(uint32_t mode) { return Le32Words({1, 48, 2, 1, 0x1000, mode, 0, 0, 0, 0, 0, 0}); }
Bytes HelloResponse(uint32_t mode) { return Le32Words({2, 48, 2, 1, 0, mode, 0, 0, 0, 0, 0, 0}); }

TEST(Wire, SaharaServesTheCommandModeAndEndsTheTransferOfWhatItDoesNotTake) {
  SaharaLoader l;
  l.Run({
      {"hello of the loader", {}, Hello(0)},
      {"a command packet during the image transfer", Le32Words({0x0D, 12, 1}), Le32Words({4, 16, 13, 0x01})},
      {"hello response asking for a memory dump", HelloResponse(2), Le32Words({4, 16, 13, 0x1B})},
      {"hello response asking for command mode", HelloResponse(3), Le32Words({0x0B, 8})},
      {"serial number", Le32Words({0x0D, 12, 1}), Le32Words({0x0E, 16, 1, 4})},
      {"serial number data", Le32Words({0x0F, 12, 1}), Le32Words({0x11223344})},
      {"hardware id", Le32Words({0x0D, 12, 2}), Le32Words({0x0E, 16, 2, 8})},
      {"hardware id data", Le32Words({0x0F, 12, 2}), Le32Words({0x00000001, 0x000480E1})},
      {"public key hash", Le32Words({0x0D, 12, 3}), Le32Words({0x0E, 16, 3, 32})},
      {"public key hash data", Le32Words({0x0F, 12, 3}), Bytes(32, 0xC3)},
      {"boot loader version", Le32Words({0x0D, 12, 7}), Le32Words({0x0E, 16, 7, 4})},
      {"boot loader version data", Le32Words({0x0F, 12, 7}), Le32Words({3})},
      {"a client command it does not serve", Le32Words({0x0D, 12, 0x55}), Le32Words({4, 16, 0, 0x1F})},
      {"data of no command", Le32Words({0x0F, 12, 1}), Le32Words({4, 16, 0, 0x20})},
      {"a packet it does not know", Le32Words({0x63, 8}), Le32Words({4, 16, 0, 0x01})},
      {"a switch to no mode", Le32Words({0x0C, 12, 9}), Le32Words({4, 16, 0, 0x1C})},
      {"switch back to the image transfer", Le32Words({0x0C, 12, 0}), Hello(0)},
      {"hello response for the image transfer", HelloResponse(0), Le32Words({3, 20, 13, 0, 52})},
      {"a programmer that is not ELF32", Bytes(52, 0x41), Le32Words({4, 16, 13, 0x14})},
  });
  EXPECT_EQ(l.modem->Mode(), ModemMode::BootSahara);
}

// The flash programmer's error packets: 0D, the code (4 bytes), then a text.
struct ProgrammerPort {
  TempDir dir;
  std::unique_ptr<VirtualModem> modem;
  std::unique_ptr<PtyClient> port;
  ProgrammerPort() {
    VirtualModemOptions opt = BaseOptions(dir);
    opt.startMode = ModemMode::Programmer;
    opt.stateDir = dir / "state";
    modem = std::make_unique<VirtualModem>(opt);
    modem->Start();
    port = std::make_unique<PtyClient>(modem->Ports().at(0).path);
  }
  void Run(const std::vector<WireCase>& table) {
    for (const auto& c : table) {
      ASSERT_TRUE(port->Write(EncodeFrame(c.request, true))) << c.what;
      Bytes reply = port->ReadFrame();
      // Replies open and close with a flag; the payload (before the check) is compared.
      ASSERT_GE(reply.size(), 4u) << c.what;
      Bytes payload = DecodeFramePayload(reply);
      if (c.prefix && payload.size() > c.reply.size()) payload.resize(c.reply.size());
      EXPECT_EQ(Hex(payload), Hex(c.reply)) << c.what;
    }
  }
  static Bytes DecodeFramePayload(const Bytes& wire) {
    Deframer d;
    for (uint8_t b : wire)
      if (auto f = d.Push(b)) return f->checkOk ? f->payload : Bytes{0xEE};
    return {};
  }
};

Bytes ErrorCode(uint32_t code) { return Cat({{0x0D}, U32(code)}); }

TEST(Wire, ProgrammerErrorsCarryTheCodeOfTheirCase) {
  ProgrammerPort p;
  Bytes hello{0x01};
  for (const char* c = "QCOM fast download protocol host"; *c; ++c) hello.push_back(static_cast<uint8_t>(*c));
  hello.insert(hello.end(), {2, 2, 1});
  Bytes badCheck = EncodeFrame(Bytes{0x17, 0x01}, true);
  badCheck[badCheck.size() - 2] ^= 0x01;
  p.Run({
      {"hello", hello, {0x02}, true},
      {"security mode", {0x17, 0x01}, {0x18}},
      {"close with nothing open", {0x15}, ErrorCode(0x0F), true},
      {"open of a name the flash does not have", {0x1B, 0x0E, 'n', 'o', 0x00}, ErrorCode(0x02), true},
      {"close after a refused open", {0x15}, ErrorCode(0x0F), true},
      {"write with nothing open", {0x07, 0, 0, 0, 0, 1, 2, 3}, ErrorCode(0x0F), true},
      {"an unknown command", {0x99}, ErrorCode(0x05), true},
      {"power off with trailing bytes", {0x11, 0x00}, ErrorCode(0x03), true},
      {"reset with trailing bytes", {0x0B, 0x00}, ErrorCode(0x03), true},
      {"open", {0x1B, 0x09}, {0x1C, 0x00}},
      {"write past the end of the flash", {0x07, 0xFF, 0xFF, 0xFF, 0xFF, 1}, ErrorCode(0x02), true},
      {"close", {0x15}, {0x16}},
      {"close once more", {0x15}, ErrorCode(0x0F), true},
  });
  ASSERT_TRUE(p.port->Write(badCheck));
  Bytes reply = ProgrammerPort::DecodeFramePayload(p.port->ReadFrame());
  reply.resize(std::min<size_t>(reply.size(), 5));
  EXPECT_EQ(Hex(reply), Hex(ErrorCode(0x01))) << "a frame whose check is wrong";
  EXPECT_EQ(p.modem->Mode(), ModemMode::Programmer);  // nothing of it powered the modem off
}

}  // namespace
}  // namespace zovir::sim::test
