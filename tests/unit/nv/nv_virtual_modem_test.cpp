// The tool's NV code against the virtual modem's NV responders, wire bytes in between.
#include <gmock/gmock.h>

#include "sim/device_state.h"
#include "sim/diag_dispatcher.h"
#include "sim/hdlc.h"
#include "sim/nv_responders.h"
#include "sim/port_protocol.h"
#include "sim/virtual_modem.h"
#include "unit/nv/nv_fixture.h"

namespace zovir::test {
namespace {

using ::testing::ElementsAre;

class QuietHost final : public sim::PortHost {
 public:
  explicit QuietHost(sim::DeviceState& s, const sim::VirtualModemOptions& o) : state_(s), options_(o) {}
  void Transmit(std::span<const uint8_t>) override {}
  sim::FaultPlan& Faults() override { return faults_; }
  sim::DeviceState& State() override { return state_; }
  const sim::VirtualModemOptions& Options() const override { return options_; }
  void Request(sim::Transition, int) override {}
  void Vanish(int) override {}
  bool Pause(int) override { return true; }
  void Event(const std::string&) override {}
  void ProgrammerReceived(sim::Bytes) override {}

 private:
  sim::DeviceState& state_;
  const sim::VirtualModemOptions& options_;
  sim::FaultPlan faults_;
};

class NVOnVirtualModem : public NVFixture {
 protected:
  NVOnVirtualModem() {
    sim::InstallNVResponders(diag, at, store);
    port().SetResponder([this](const std::vector<uint8_t>& written) {
      std::vector<uint8_t> wire;
      sim::Deframer deframer;
      for (uint8_t b : written) {
        auto frame = deframer.Push(b);
        if (!frame || !frame->checkOk) continue;
        sim::DiagContext ctx{state, options, host};
        if (auto reply = diag.Dispatch(frame->payload, ctx)) {
          const sim::Bytes w = sim::EncodeFrame(*reply, false);
          wire.insert(wire.end(), w.begin(), w.end());
        }
      }
      return wire;
    });
    core.cfg.PlatformType = 3;
    core.cfg.strLTEType = "LTE";
  }

  // A modem holding a value for every item of both lists.
  void Seed(const NVItems& nv) {
    for (const auto& e : nv.BaseNVList()) {
      const auto v = ValueOf(static_cast<uint16_t>(e.Id));
      state.SetNv(static_cast<uint32_t>(e.Id), sim::Bytes(v.begin(), v.end()));
    }
    for (const auto& e : nv.RFNVList()) store->SetRFItem(static_cast<uint16_t>(e.Id), sim::Bytes(e.Id % 97, 0x7D));
  }

  sim::DeviceState state;
  sim::VirtualModemOptions options;
  QuietHost host{state, options};
  sim::DiagDispatcher diag;
  sim::AtDispatcher at;
  std::shared_ptr<sim::NVStore> store = std::make_shared<sim::NVStore>();
};

TEST_F(NVOnVirtualModem, BackupAndRestoreSurviveTheLossOfEveryValue) {
  NVItems nv{core, link};
  nv.BuildNVLists();
  Seed(nv);
  store->SetStatus(1887, sim::NVStore::kInactive);  // never written on this modem
  store->SetRFStatus(22982, sim::NVStore::kRFInactive);  // nothing stored under it
  const auto nvBefore = state.AllNv();
  const auto rfBefore = store->AllRFItems();

  nv.BackupNV();
  nv.BackupRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(ReadFile(core.cfg.bakFile).size(), 130u * (nv.BaseNVList().size() - 1));

  // The download erases everything; the new firmware reports the items inactive.
  store->LoseAllOnDownload();
  store->OnModemEvent("partition apps written: 4096 bytes");
  EXPECT_TRUE(state.AllNv().empty());
  EXPECT_TRUE(store->AllRFItems().empty());

  nv.RestoreNV();
  nv.RestoreRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  for (const auto& [id, value] : nvBefore) {
    if (id == 1887) continue;  // was inactive: nothing to restore
    EXPECT_EQ(state.Nv(id), value) << id;
  }
  EXPECT_FALSE(state.Nv(1887).has_value());
  for (const auto& [id, data] : rfBefore) {
    if (id == 22982) continue;
    EXPECT_EQ(store->RFItem(id), data) << id;
  }
  EXPECT_EQ(store->Writes(141), 1u);
}

TEST_F(NVOnVirtualModem, ModemLosesOnlyWhatATestAsksForAndOnlyWhenFlashIsWritten) {
  state.SetNv(141, sim::Bytes(128, 1));
  state.SetNv(5479, sim::Bytes(128, 2));
  store->SetRFItem(571, {3});
  store->SetRFItem(20309, {4});
  store->Bind(state);
  store->OnModemEvent("partition sbl1 written: 10 bytes");  // nothing asked for yet
  EXPECT_EQ(state.AllNv().size(), 2u);
  store->LoseOnDownload({141}, {571});
  store->OnModemEvent("mode Programmer");
  EXPECT_EQ(state.AllNv().size(), 2u);
  store->OnModemEvent("partition sbl1 written: 10 bytes");
  EXPECT_FALSE(state.Nv(141).has_value());
  EXPECT_TRUE(state.Nv(5479).has_value());
  EXPECT_FALSE(store->RFItem(571).has_value());
  EXPECT_TRUE(store->RFItem(20309).has_value());
  EXPECT_EQ(store->Losses(), 1u);
}

TEST_F(NVOnVirtualModem, PlatformIsTheLowByteOfTheModelId) {
  NVItems nv{core, link};
  EXPECT_EQ(nv.GetPlatformID(), options.platformId);
  store->SetBuildID(2, 0x00A1B2C3, "X");
  EXPECT_EQ(nv.GetPlatformID(), 0xC3);
  store->SetBuildID(3, 0x00A1B2C3, "X");
  EXPECT_EQ(nv.GetPlatformID(), -1);
}

TEST_F(NVOnVirtualModem, ReadOnlyItemReadsButRefusesWrites) {
  state.SetNv(453, sim::Bytes(128, 0x42));
  store->SetStatus(453, sim::NVStore::kReadOnly);
  NVItems nv{core, link};
  core.cfg.NVItemList = {"453:01"};
  nv.WriteNVItemList();
  EXPECT_THAT(errors, ElementsAre(ErrorText("Custom NV:Item was read-only")));
  EXPECT_EQ(state.Nv(453), sim::Bytes(128, 0x42));
  uint32_t length = 0;
  // A fresh engine can still read it.
  EngineCore fresh{clock, ports, nullptr};
  fresh.hDiagPort = std::move(core.hDiagPort);
  Link freshLink{fresh};
  NVItems reader{fresh, freshLink};
  ASSERT_TRUE(reader.NVExchange(NVItems::NVReadRequest(453), {0x26, NVReplyShape::Item, 453}, 99, 2, length));
  EXPECT_EQ(freshLink.Response()[3], 0x42);
  EXPECT_EQ(freshLink.Response()[131], 0);
}

TEST_F(NVOnVirtualModem, RFWriteTheModemRefusesFailsTheRestore) {
  NVItems nv{core, link};
  nv.BuildNVLists();
  Seed(nv);
  nv.BackupRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  store->SetRFWriteStatus(22959, sim::NVStore::kRFWriteFailed);
  nv.RestoreRFNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("Fail to restore NV items: [22959]RFNV_LTE_B3_TX_MULTI_LIN_DATA_I")));
  EXPECT_FALSE(Logged("Restore NV......OK"));
}

// A planned status fault makes the modem's NV task fail the command, as a busy or failing flash
// does: the read answers the status with no data, the write answers it and stores nothing.
TEST_F(NVOnVirtualModem, AStatusFaultFailsTheNVCommandItHits) {
  const auto value = ValueOf(5700);
  state.SetNv(5700, sim::Bytes(value.begin(), value.end()));
  ASSERT_EQ(host.Faults().AddSpec("diag:26@1=status:4,diag:27@1=status:9"), "");
  const auto exchange = [&](std::vector<uint8_t> request) {
    sim::DiagContext ctx{state, options, host};
    const auto reply = diag.Dispatch(request, ctx);
    host.Faults().Hit(sim::DiagDispatcher::FaultKey(request));  // the port sends it
    return reply.value_or(sim::Bytes{});
  };
  const auto failed = exchange(NVItems::NVReadRequest(5700));
  ASSERT_EQ(failed.size(), 133u);
  EXPECT_EQ(failed[131], 4);
  EXPECT_EQ(failed[132], 0);
  EXPECT_EQ(std::count(failed.begin() + 3, failed.begin() + 131, 0), 128);
  const auto read = exchange(NVItems::NVReadRequest(5700));
  EXPECT_EQ(read[131], 0);
  EXPECT_TRUE(std::equal(value.begin(), value.end(), read.begin() + 3));

  std::vector<uint8_t> write(133, 0);
  write[0] = 0x27;
  write[1] = 5700 & 0xFF;
  write[2] = 5700 >> 8;
  write[3] = 0x42;
  EXPECT_EQ(exchange(write)[131], 9);
  EXPECT_EQ(state.Nv(5700), sim::Bytes(value.begin(), value.end()));
  EXPECT_EQ(exchange(write)[131], 0);
  EXPECT_EQ((*state.Nv(5700))[0], 0x42);
}

}  // namespace
}  // namespace zovir::test
