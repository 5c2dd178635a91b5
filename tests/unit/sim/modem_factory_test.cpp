// The factory modem: a new state is filled once; a state that exists keeps what earlier runs
// left of it, losses included.
#include <gtest/gtest.h>

#include "pty_client.h"
#include "sim/modem_factory.h"

namespace zovir::sim::test {
namespace {

struct Held {
  std::map<uint32_t, Bytes> nv;
  std::map<uint16_t, Bytes> rf;
  std::map<std::string, std::string> identity;
  std::optional<Bytes> userFile, folderFile;
  bool operator==(const Held&) const = default;
};

Held HeldBy(DeviceState& s) {
  return {s.AllNv(), s.AllRf(), s.AllIdentity(), s.EfsFile("/cfg/user.ini"), s.EfsFile("/data/settings.cfg")};
}

TEST(ModemFactory, FillsANewStateOnceAndNeverRefillsWhatALaterStartFindsLost) {
  TempDir dir;
  const std::string state = dir / "state";
  Held first;
  {
    ModemFactory factory;
    VirtualModemOptions opt = BaseOptions(dir);
    opt.stateDir = state;
    factory.Prepare(opt, 0);
    VirtualModem modem(opt);
    ASSERT_TRUE(modem.State().Fresh());
    EXPECT_TRUE(factory.Seed(modem, 0, ModemFactory::DefaultUserFiles(), ModemFactory::DefaultUserDirs()));
    first = HeldBy(modem.State());
    EXPECT_TRUE(first.identity.count("SN"));
    EXPECT_TRUE(first.identity.count("IMEI"));
    EXPECT_FALSE(first.nv.empty());
    EXPECT_FALSE(first.rf.empty());
    EXPECT_TRUE(first.userFile);
    EXPECT_TRUE(first.folderFile);
  }
  // An earlier run lost values of every kind.
  {
    DeviceState s(state);
    EXPECT_FALSE(s.Fresh());
    EXPECT_EQ(HeldBy(s), first);  // RF NV items too are kept in the folder
    s.SetIdentity("SN", "");
    s.EraseNv(s.AllNv().begin()->first);
    s.EraseRf(s.AllRf().begin()->first);
    s.RemoveEfs("/cfg/user.ini");
  }
  Held lost;
  {
    DeviceState s(state);
    lost = HeldBy(s);
  }
  ModemFactory factory;
  VirtualModemOptions opt = BaseOptions(dir);
  opt.stateDir = state;
  factory.Prepare(opt, 0);
  VirtualModem modem(opt);
  EXPECT_FALSE(factory.Seed(modem, 0, ModemFactory::DefaultUserFiles(), ModemFactory::DefaultUserDirs()));
  EXPECT_FALSE(factory.Seed(modem, 0, {"/cfg/other.ini"}, {}));
  EXPECT_EQ(HeldBy(modem.State()), lost);
  EXPECT_FALSE(modem.State().EfsFile("/cfg/other.ini"));
}

TEST(ModemFactory, AModemWithoutAFolderIsNewEachTimeAndTakesMorePathsLater) {
  TempDir dir;
  ModemFactory factory;
  VirtualModemOptions opt = BaseOptions(dir);
  factory.Prepare(opt, 3);
  VirtualModem modem(opt);
  EXPECT_TRUE(factory.Seed(modem, 3, {}, {}));
  EXPECT_TRUE(factory.Seed(modem, 3, {"/cfg/late.ini"}, {"/late"}));
  EXPECT_TRUE(modem.State().EfsFile("/cfg/late.ini"));
  EXPECT_TRUE(modem.State().EfsFile("/late/settings.cfg"));
  EXPECT_EQ(modem.State().Identity("IMEI"), "356938035643803");
  EXPECT_EQ(factory.nv->AllRFItems(), modem.State().AllRf());
}

}  // namespace
}  // namespace zovir::sim::test
