#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "preservation/nv_item_tables.h"

namespace zovir {
namespace {

TEST(NVItemTables, BuiltInTablesCarryTheKnownRows) {
  const NVItemTables& t = NVItemTables::BuiltIn();
  EXPECT_EQ(t.base.size(), 13u);
  EXPECT_EQ(t.cdmaCalibration.size(), 62u);
  EXPECT_EQ(t.cdmaIdentity.size(), 12u);
  EXPECT_EQ(t.rf.size(), 82u);
  EXPECT_EQ(t.base.front(), (NVItemEntry{141, "NV_THERM_I"}));
  EXPECT_EQ(t.base.back(), (NVItemEntry{4954, "NV_XO_FACTORY_CALIBRATION_I"}));
  EXPECT_EQ(t.cdmaCalibration[0], (NVItemEntry{6503, "NV_ZRV_APP_UIT87_I"}));
  EXPECT_EQ(t.cdmaCalibration[37], (NVItemEntry{1749, "NV_C0_BC1_RX_CAL_CHAN_I"}));
  EXPECT_EQ(t.cdmaCalibration.back(), (NVItemEntry{5755, "NV_BC1_HDET_SPN_V2_I"}));
  EXPECT_EQ(t.cdmaIdentity[1], (NVItemEntry{0, "NV_ESN_I"}));
  EXPECT_EQ(t.rf[12], (NVItemEntry{20179, "NV_LTE_B20_EXP_HDET_VS_AGC_I"}));
  EXPECT_EQ(t.rf.back(), (NVItemEntry{27801, "RFNV_LTE_B26_RX_CAL_DATA_V2_I"}));
  // Only the rows known for certain; the vendor list completes them.
  EXPECT_EQ(t.lteCalibration,
            (NVItemTable{{5609, "NV_GSM_850_AMAM_LINEAR_PA_RANGEA_F3_SEG1_I"},
                         {5610, "NV_GSM_850_AMAM_LINEAR_PA_RANGEA_F3_SEG2_I"},
                         {20215, "RFNV_LTE_B40_RX_GAIN_I_I"},
                         {20216, "RFNV_LTE_B40_C1_RX_GAIN_I_I"}}));
  EXPECT_EQ(t.full.size(), 5u);
  EXPECT_EQ(t.full.front(), (NVItemEntry{74, "NV_AUTO_ANSWER_I"}));
  EXPECT_EQ(t.full.back(), (NVItemEntry{4994, "NV_WCDMA_900_TX_COMP_VS_FREQ_SEC_PDM_LIST_I"}));
}

TEST(NVItemTables, AVendorFileReplacesOnlyTheTablesItNames) {
  const std::string path = std::filesystem::temp_directory_path() / ("nv_tables_" + std::to_string(::getpid()));
  {
    std::ofstream out(path);
    out << "# vendor list\r\n[lte_calibration]\r\n5609 NV_A_I   # first\n\t5610\tNV_B_I\n\n[ full ]\n74 NV_AUTO_ANSWER_I\n";
  }
  NVItemTables t = NVItemTables::BuiltIn();
  std::string error;
  ASSERT_TRUE(t.MergeFile(path, error)) << error;
  std::filesystem::remove(path);
  EXPECT_EQ(t.lteCalibration, (NVItemTable{{5609, "NV_A_I"}, {5610, "NV_B_I"}}));
  EXPECT_EQ(t.full, (NVItemTable{{74, "NV_AUTO_ANSWER_I"}}));
  EXPECT_EQ(t.base, NVItemTables::BuiltIn().base);
  EXPECT_EQ(t.rf, NVItemTables::BuiltIn().rf);
  // The vendor's tables are complete lists; the built-in ones may not be.
  EXPECT_TRUE(t.Supplies("lte_calibration"));
  EXPECT_TRUE(t.Supplies("full"));
  EXPECT_FALSE(t.Supplies("base"));
  EXPECT_TRUE(NVItemTables::BuiltIn().supplied.empty());

  EXPECT_FALSE(t.MergeFile(path, error));
  EXPECT_THAT(error, ::testing::HasSubstr(path));
}

TEST(NVItemTables, APacketMayCarryTheVendorTables) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("nv_packet_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  NVItemTables tables;
  std::string error;
  EXPECT_TRUE(LoadPacketNVTables(folder.string(), tables, error));  // none: the built-in ones
  EXPECT_EQ(tables.full, NVItemTables::BuiltIn().full);

  std::ofstream(folder / "nv_tables.txt") << "[full]\n74 NV_AUTO_ANSWER_I\n3649 NV_DPA_OR_UPA_I\n";
  EXPECT_TRUE(LoadPacketNVTables(folder.string(), tables, error)) << error;
  EXPECT_EQ(tables.full.size(), 2u);
  EXPECT_EQ(tables.rf, NVItemTables::BuiltIn().rf);

  std::ofstream(folder / "nv_tables.txt") << "[full]\n74\n";
  EXPECT_FALSE(LoadPacketNVTables(folder.string(), tables, error));
  EXPECT_THAT(error, ::testing::HasSubstr("nv_tables.txt: line 2: "));
  EXPECT_EQ(tables.full, NVItemTables::BuiltIn().full);
  std::filesystem::remove_all(folder);
}

TEST(NVItemTables, MalformedTextChangesNothingAndNamesTheLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  std::string tooMany = "[lte_calibration]\n";
  for (int i = 0; i < 1487; ++i) tooMany += std::to_string(i) + " NV_X_I\n";
  const Case cases[] = {
      {"5609 NV_A_I\n", "line 1: item before the first table heading"},
      {"[lte]\n", "line 1: unknown table [lte]"},
      {"[full\n", "line 1: unterminated section heading"},
      {"[full]\n1 A\n[full]\n", "line 3: table [full] appears twice"},
      {"[full]\n\n-1 NV_A_I\n", "line 3: item id \"-1\" is not a number from 0 to 65535"},
      {"[full]\n65536 NV_A_I\n", "line 2: item id \"65536\" is not a number from 0 to 65535"},
      {"[full]\n0x10 NV_A_I\n", "line 2: item id \"0x10\" is not a number from 0 to 65535"},
      {"[full]\n74\n", "line 2: item name must be one word of letters, digits and '_'"},
      {"[full]\n74 NV A\n", "line 2: item name must be one word of letters, digits and '_'"},
      {tooMany.c_str(), "the base items and an appended table hold more than 1499 items"},
  };
  for (const Case& c : cases) {
    NVItemTables t = NVItemTables::BuiltIn();
    std::string error;
    EXPECT_FALSE(t.Merge(c.text, error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(t.full, NVItemTables::BuiltIn().full);
    EXPECT_EQ(t.lteCalibration, NVItemTables::BuiltIn().lteCalibration);
  }
}

}  // namespace
}  // namespace zovir
