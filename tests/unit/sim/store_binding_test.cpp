#include <gtest/gtest.h>

#include <string>

#include "pty_client.h"
#include "sim/at_identity.h"
#include "sim/efs_responders.h"
#include "sim/nv_responders.h"
#include "sim/virtual_modem.h"

namespace zovir::sim::test {
namespace {

Bytes Payload(const Bytes& wire) {
  Deframer d;
  for (uint8_t b : wire) {
    if (auto f = d.Push(b)) return f->checkOk ? f->payload : Bytes{0xEE};
  }
  return {};
}

Bytes Command(PtyClient& port, Bytes payload) {
  port.Write(EncodeFrame(payload, true));
  return Payload(port.ReadFrame(3000));
}

// The host's side of writing a small EFS image through the flash programmer: the modem then
// loses its NV items, identity and user files.
void WriteEfsImage(VirtualModem& modem) {
  PtyClient port(modem.Ports().at(0).path);
  ASSERT_TRUE(port.ok());
  auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  ASSERT_EQ(Command(port, bytes(std::string("\x01QCOM fast download protocol host\x02\x02\x01"))).at(0), 0x02);
  ASSERT_EQ(Command(port, {0x17, 0x01}), Bytes{0x18});
  ASSERT_EQ(Command(port, {0x1B, 0x09}), (Bytes{0x1C, 0x00}));
  ASSERT_EQ(Command(port, bytes(std::string(5, '\0').replace(0, 1, 1, '\x07') + std::string(100, 'Z'))).at(0), 0x08);
  ASSERT_EQ(Command(port, {0x15}), Bytes{0x16});
}

struct Stores {
  std::shared_ptr<NVStore> nv = std::make_shared<NVStore>();
  std::shared_ptr<AtIdentityStore> identity = std::make_shared<AtIdentityStore>();
  std::shared_ptr<EfsSimulation> efs = std::make_shared<EfsSimulation>();
};

std::unique_ptr<VirtualModem> MakeModem(const TempDir& dir, const Stores& stores, std::vector<int> coms) {
  auto opt = BaseOptions(dir);
  opt.startMode = ModemMode::Programmer;
  opt.comNumbers = std::move(coms);
  stores.nv->LoseAllOnDownload();
  stores.identity->LoseAllOnDownload();
  AttachNVStore(opt, stores.nv);
  AttachAtIdentityStore(opt, stores.identity);
  AttachEfs(opt, stores.efs);
  AttachEfs(opt, stores.efs);  // twice is the same as once
  auto modem = std::make_unique<VirtualModem>(opt);
  DeviceState& s = modem->State();
  s.SetNv(550, Bytes(128, 1));
  s.SetIdentity("SN", "ZV100001");
  s.SetEfsFile("/cfg/user.ini", Bytes{1, 2, 3});
  return modem;
}

bool Untouched(DeviceState& s) {
  return s.Nv(550) && s.Identity("SN") == "ZV100001" && s.EfsFile("/cfg/user.ini");
}
bool Wiped(DeviceState& s) {
  return !s.Nv(550) && s.Identity("SN").value_or("").empty() && !s.EfsFile("/cfg/user.ini");
}

TEST(StoreBinding, EachModemsStoresActOnItsOwnStateAndForgetItWhenTheModemGoes) {
  TempDir dir;
  Stores a, b;
  auto modemA = MakeModem(dir, a, {7, 8, 9});
  auto modemB = MakeModem(dir, b, {17, 18, 19});
  for (const auto& [stores, modem] : {std::pair{&a, modemA.get()}, std::pair{&b, modemB.get()}}) {
    EXPECT_EQ(stores->nv->Bound(), &modem->State());
    EXPECT_EQ(stores->identity->Bound(), &modem->State());
    EXPECT_EQ(stores->efs->Bound(), &modem->State());
  }
  modemA->Start();
  modemB->Start();

  WriteEfsImage(*modemA);
  EXPECT_TRUE(Wiped(modemA->State()));
  EXPECT_TRUE(Untouched(modemB->State()));
  EXPECT_EQ(a.nv->Losses(), 1u);
  EXPECT_EQ(b.nv->Losses(), 0u);

  // Gone with its modem: nothing refers to the state any more, an event finds no state.
  modemA.reset();
  EXPECT_EQ(a.nv->Bound(), nullptr);
  EXPECT_EQ(a.identity->Bound(), nullptr);
  EXPECT_EQ(a.efs->Bound(), nullptr);
  a.nv->OnModemEvent("partition apps written: 100 bytes");
  a.efs->OnModemEvent("partition efs written: 100 bytes");
  EXPECT_EQ(a.nv->Losses(), 1u);
  EXPECT_EQ(b.nv->Bound(), &modemB->State());
}

TEST(StoreBinding, AStoreSharedByTwoModemsActsOnTheStateOfTheModemWhoseEventItIs) {
  TempDir dir;
  Stores shared;
  auto first = MakeModem(dir, shared, {7, 8, 9});
  auto second = MakeModem(dir, shared, {17, 18, 19});
  EXPECT_EQ(shared.nv->Bound(), &second->State());  // the last one made
  first->Start();
  second->Start();
  EXPECT_EQ(shared.nv->Bound(), &second->State());
  WriteEfsImage(*first);
  EXPECT_TRUE(Wiped(first->State()));
  EXPECT_TRUE(Untouched(second->State()));
  // The first modem going away leaves the second one's binding alone.
  first.reset();
  EXPECT_EQ(shared.efs->Bound(), &second->State());
}

}  // namespace
}  // namespace zovir::sim::test
