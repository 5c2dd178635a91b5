#include "preservation/nv_item_tables.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zovir {

namespace {

// The built-in tables, in the same text format a firmware packet uses (NV_TABLES.md), so
// one loader serves both and the rows stay easy to compare with a vendor list.
constexpr std::string_view kBuiltInTables = R"nvtables(
# Read from every modem; the start of the base list.
[base]
141 NV_THERM_I
5479 NV_ENH_THERM_I
1881 NV_VCO_TEMP_I
1882 NV_VCO_DEFAULT_I
1883 NV_VCO_SLOPE_I
1885 NV_RGS_TYPE_I
1886 NV_RGS_TIME_I
1887 NV_RGS_TEMP_I
1888 NV_RGS_ROT_I
1889 NV_RGS_VCO_I
4212 NV_XO_TRIM_VALUES_I
4953 NV_XO_FIELD_CALIBRATION_I
4954 NV_XO_FACTORY_CALIBRATION_I

# Appended to the base list for EVDO modems and the CDMA projects.
# 1749 occurs twice on purpose: both rows are read.
[cdma_calibration]
6503 NV_ZRV_APP_UIT87_I
6504 NV_ZRV_APP_UIT89_I
1738 NV_C0_BC0_RX_CAL_CHAN_I
1739 NV_C0_BC0_LNA_1_OFFSET_VS_FREQ_I
1740 NV_C0_BC0_LNA_2_OFFSET_VS_FREQ_I
1741 NV_C0_BC0_LNA_3_OFFSET_VS_FREQ_I
1742 NV_C0_BC0_LNA_4_OFFSET_VS_FREQ_I
1743 NV_C0_BC0_LNA_1_OFFSET_I
1744 NV_C0_BC0_LNA_2_OFFSET_I
1745 NV_C0_BC0_LNA_3_OFFSET_I
1746 NV_C0_BC0_LNA_4_OFFSET_I
1749 NV_C0_BC0_VGA_GAIN_OFFSET_I
1750 NV_C0_BC0_VGA_GAIN_OFFSET_VS_FREQ_I
1765 NV_C1_BC0_RX_CAL_CHAN_I
1766 NV_C1_BC0_LNA_1_OFFSET_VS_FREQ_I
1767 NV_C1_BC0_LNA_2_OFFSET_VS_FREQ_I
1768 NV_C1_BC0_LNA_3_OFFSET_VS_FREQ_I
1770 NV_C1_BC0_LNA_1_OFFSET_I
1771 NV_C1_BC0_LNA_2_OFFSET_I
1772 NV_C1_BC0_LNA_3_OFFSET_I
1776 NV_C1_BC0_VGA_GAIN_OFFSET_I
1777 NV_C1_BC0_VGA_GAIN_OFFSET_VS_FREQ_I
3265 NV_C0_BC0_INTELLICEIVER_CAL_I
4795 NV_BC0_TX_PDM_0_I
4796 NV_BC0_TX_PDM_1_I
4831 NV_BC0_TX_LIN_0_I
4832 NV_BC0_TX_LIN_1_I
4997 NV_BC0_TX_PWR_COMP0_I
4998 NV_BC0_TX_PWR_COMP1_I
1724 NV_BC0_TX_LIM_VS_FREQ_I
1731 NV_BC0_HDET_OFF_I
1732 NV_BC0_HDET_SPN_I
1733 NV_BC0_EXP_HDET_VS_AGC_I
1737 NV_C0_BC0_TX_CAL_CHAN_I
5722 NV_BC0_EXP_HDET_VS_AGC_V2_I
5738 NV_BC0_HDET_OFF_V2_I
5754 NV_BC0_HDET_SPN_V2_I
1749 NV_C0_BC1_RX_CAL_CHAN_I
1650 NV_C0_BC1_LNA_1_OFFSET_VS_FREQ_I
1651 NV_C0_BC1_LNA_2_OFFSET_VS_FREQ_I
1652 NV_C0_BC1_LNA_3_OFFSET_VS_FREQ_I
1653 NV_C0_BC1_LNA_4_OFFSET_VS_FREQ_I
1654 NV_C0_BC1_LNA_1_OFFSET_I
1655 NV_C0_BC1_LNA_2_OFFSET_I
1666 NV_C0_BC1_LNA_3_OFFSET_I
1667 NV_C0_BC1_LNA_4_OFFSET_I
1670 NV_C0_BC1_VGA_GAIN_OFFSET_I
1671 NV_C0_BC1_VGA_GAIN_OFFSET_VS_FREQ_I
4799 NV_BC1_TX_PDM_0_I
4800 NV_BC1_TX_PDM_1_I
4835 NV_BC1_TX_LIN_0_I
4836 NV_BC1_TX_LIN_1_I
5002 NV_BC1_TX_PWR_COMP0_I
5001 NV_BC1_TX_PWR_COMP1_I
1635 NV_BC1_TX_LIM_VS_FREQ_I
1642 NV_BC1_HDET_OFF_I
1643 NV_BC1_HDET_SPN_I
1644 NV_BC1_EXP_HDET_VS_AGC_I
1648 NV_C0_BC1_TX_CAL_CHAN_I
5723 NV_BC1_EXP_HDET_VS_AGC_V2_I
5739 NV_BC1_HDET_OFF_V2_I
5755 NV_BC1_HDET_SPN_V2_I

# Appended after the CDMA calibration items when RTRECFG is set (projects 36, 37).
[cdma_identity]
1943 NV_MEID_I
0 NV_ESN_I
176 NV_IMSI_MCC_I
177 NV_IMSI_11_12_I
33 NV_MIN2_I
32 NV_MIN1_I
178 NV_DIR_NUMBER_I
5 NV_SLOT_CYCLE_INDEX_I
579 NV_HDR_AN_AUTH_NAI_I
1194 NV_HDR_AN_AUTH_USER_ID_LONG_I
580 NV_HDR_AN_AUTH_PASSWORD_I
1192 NV_HDR_AN_AUTH_PASSWORD_LONG_I

# Appended to the base list for LTE modems. Only the rows known for certain are
# carried here; a firmware packet supplies the complete vendor list (NV_TABLES.md).
[lte_calibration]
5609 NV_GSM_850_AMAM_LINEAR_PA_RANGEA_F3_SEG1_I
5610 NV_GSM_850_AMAM_LINEAR_PA_RANGEA_F3_SEG2_I
20215 RFNV_LTE_B40_RX_GAIN_I_I
20216 RFNV_LTE_B40_C1_RX_GAIN_I_I

# Factory-test RF items, read when LTEType is "LTE". The B20 pair 20179/20180
# occurs twice on purpose: both rows are read.
[rf]
20309 RFNV_LTE_B3_EXP_HDET_VS_AGC_I
20310 RFNV_LTE_B3_TX_LIMIT_VS_FREQ_I
22959 RFNV_LTE_B3_TX_MULTI_LIN_DATA_I
23112 RFNV_LTE_B19_EXP_HDET_VS_AGC_I
23113 RFNV_LTE_B19_TX_LIMIT_VS_FREQ_I
20179 NV_LTE_B20_EXP_HDET_VS_AGC_I
20180 NV_LTE_B20_TX_LIMIT_VS_FREQ_I
22982 RFNV_MSM_SELF_CAL_I
23598 NV_LTE_B39_EXP_HDET_VS_AGC_I
23599 NV_LTE_B39_TX_LIMIT_VS_FREQ_I
20825 NV_LTE_B5_EXP_HDET_VS_AGC_I
20826 NV_LTE_B5_TX_LIMIT_VS_FREQ_I
20179 NV_LTE_B20_EXP_HDET_VS_AGC_I
20180 NV_LTE_B20_TX_LIMIT_VS_FREQ_I
24964 RFNV_GSM_C0_GSM850_RX_CAL_DATA
24965 RFNV_GSM_C0_GSM900_RX_CAL_DATA
24966 RFNV_GSM_C0_GSM1800_RX_CAL_DATA
24967 RFNV_GSM_C0_GSM1900_RX_CAL_DATA
24972 RFNV_GSM_C0_GSM850_TX_CAL_DATA
24973 RFNV_GSM_C0_GSM900_TX_CAL_DATA
24974 RFNV_GSM_C0_GSM1800_TX_CAL_DATA
24975 RFNV_GSM_C0_GSM1900_TX_CAL_DATA
25012 RFNV_GSM_C0_GSM850_KV_CAL_I
25013 RFNV_GSM_C0_GSM900_KV_CAL_I
20364 RFNV_LTE_B18_EXP_HDET_VS_AGC_I
20365 RFNV_LTE_B18_TX_LIMIT_VS_FREQ_I
20852 NV_LTE_B8_RX_GAIN_I
20853 NV_LTE_B8_RX_GAIN_VS_FREQ_I
20883 NV_LTE_B8_EXP_HDET_VS_AGC_I
20884 NV_LTE_B8_TX_LIMIT_VS_FREQ_I
22963 RFNV_LTE_B8_TX_MULTI_LIN_DATA_I
20848 NV_LTE_B8_RX_CAL_CHAN_I
24226 RFNV_LTE_B1_TX_MULTI_LIN_V3_DATA_I
24228 RFNV_LTE_B3_TX_MULTI_LIN_V3_DATA_I
24230 RFNV_LTE_B5_TX_MULTI_LIN_V3_DATA_I
24232 RFNV_LTE_B7_TX_MULTI_LIN_V3_DATA_I
24233 RFNV_LTE_B8_TX_MULTI_LIN_V3_DATA_I
24249 RFNV_LTE_B39_TX_MULTI_LIN_V3_DATA_I
25471 NV_LTE_B28_EXP_HDET_VS_AGC_I
25472 NV_LTE_B28_TX_LIMIT_VS_FREQ_I
25481 RFNV_LTE_B28_TX_MULTI_LIN_V3_DATA_I
24243 RFNV_LTE_B20_TX_MULTI_LIN_V3_DATA_I
27779 RFNV_LTE_B1_RX_CAL_DATA_V2_I
27781 RFNV_LTE_B3_RX_CAL_DATA_V2_I
27783 RFNV_LTE_B5_RX_CAL_DATA_V2_I
27786 RFNV_LTE_B8_RX_CAL_DATA_V2_I
27803 RFNV_LTE_B28_RX_CAL_DATA_V2_I
27811 RFNV_LTE_B39_RX_CAL_DATA_V2_I
27966 RFNV_GSM_C0_GSM850_HL_RX_CAL_I
27967 RFNV_GSM_C0_GSM900_HL_RX_CAL_I
27796 RFNV_LTE_B20_RX_CAL_DATA_V2_I
571 NV_RF_CAL_DATE_I
6735 NV_LTE_B1_EXP_HDET_VS_AGC_I
20254 RFNV_LTE_B2_EXP_HDET_VS_AGC_I
20120 RFNV_LTE_B4_EXP_HDET_VS_AGC_I
22169 NV_LTE_B12_EXP_HDET_VS_AGC_I
6527 NV_LTE_B13_EXP_HDET_VS_AGC_I
6631 NV_LTE_B17_EXP_HDET_VS_AGC_I
24637 NV_LTE_B26_EXP_HDET_VS_AGC_I
6736 NV_LTE_B1_TX_LIMIT_VS_FREQ_I
20255 RFNV_LTE_B2_TX_LIMIT_VS_FREQ_I
20121 RFNV_LTE_B4_TX_LIMIT_VS_FREQ_I
22170 NV_LTE_B12_TX_LIMIT_VS_FREQ_I
6528 NV_LTE_B13_TX_LIMIT_VS_FREQ_I
6632 NV_LTE_B17_TX_LIMIT_VS_FREQ_I
24642 NV_LTE_B26_TX_LIMIT_VS_FREQ_I
24227 RFNV_LTE_B2_TX_MULTI_LIN_V3_DATA_I
24229 RFNV_LTE_B4_TX_MULTI_LIN_V3_DATA_I
24237 RFNV_LTE_B12_TX_MULTI_LIN_V3_DATA_I
24238 RFNV_LTE_B13_TX_MULTI_LIN_V3_DATA_I
24240 RFNV_LTE_B17_TX_MULTI_LIN_V3_DATA_I
24241 RFNV_LTE_B18_TX_MULTI_LIN_V3_DATA_I
24242 RFNV_LTE_B19_TX_MULTI_LIN_V3_DATA_I
25721 RFNV_LTE_B26_TX_MULTI_LIN_V3_DATA_I
27780 RFNV_LTE_B2_RX_CAL_DATA_V2_I
27782 RFNV_LTE_B4_RX_CAL_DATA_V2_I
27790 RFNV_LTE_B12_RX_CAL_DATA_V2_I
27791 RFNV_LTE_B13_RX_CAL_DATA_V2_I
27793 RFNV_LTE_B17_RX_CAL_DATA_V2_I
27794 RFNV_LTE_B18_RX_CAL_DATA_V2_I
27795 RFNV_LTE_B19_RX_CAL_DATA_V2_I
27801 RFNV_LTE_B26_RX_CAL_DATA_V2_I

# The whole-modem list of project 12 with IsOmbrix set. Only the rows known for
# certain are carried here; a firmware packet supplies the complete vendor list.
[full]
74 NV_AUTO_ANSWER_I
3649 NV_DPA_OR_UPA_I
1102 NV_GSM_850_RX_GAIN_RANGE_1_FREQ_COMP_I
4993 NV_WCDMA_900_TX_COMP_VS_FREQ_3_SECONDARY_I
4994 NV_WCDMA_900_TX_COMP_VS_FREQ_SEC_PDM_LIST_I
)nvtables";

struct SectionName {
  std::string_view name;
  NVItemTable NVItemTables::*table;
};

constexpr SectionName kSections[] = {
    {"base", &NVItemTables::base},
    {"cdma_calibration", &NVItemTables::cdmaCalibration},
    {"cdma_identity", &NVItemTables::cdmaIdentity},
    {"lte_calibration", &NVItemTables::lteCalibration},
    {"rf", &NVItemTables::rf},
    {"full", &NVItemTables::full},
};

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Item ids travel as 16 bits on the wire; anything larger would address another item.
bool ParseId(std::string_view s, int32_t& id) {
  if (s.empty() || s.size() > 5) return false;
  int32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > 0xFFFF) return false;
  id = v;
  return true;
}

std::string LineError(size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

bool ParseNVItemTables(std::string_view text, NVItemTables& out, std::vector<std::string>& sectionsSeen,
                       std::string& error) {
  NVItemTable* current = nullptr;
  size_t lineNo = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNo;
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) continue;

    if (line.front() == '[') {
      if (line.back() != ']') {
        error = LineError(lineNo, "unterminated section heading");
        return false;
      }
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      const auto it = std::find_if(std::begin(kSections), std::end(kSections),
                                   [&](const SectionName& s) { return s.name == name; });
      if (it == std::end(kSections)) {
        error = LineError(lineNo, "unknown table [" + std::string(name) + "]");
        return false;
      }
      if (std::find(sectionsSeen.begin(), sectionsSeen.end(), name) != sectionsSeen.end()) {
        error = LineError(lineNo, "table [" + std::string(name) + "] appears twice");
        return false;
      }
      sectionsSeen.emplace_back(name);
      current = &(out.*(it->table));
      current->clear();
      continue;
    }

    if (current == nullptr) {
      error = LineError(lineNo, "item before the first table heading");
      return false;
    }
    size_t split = 0;
    while (split < line.size() && line[split] != ' ' && line[split] != '\t') ++split;
    const std::string_view idText = line.substr(0, split);
    const std::string_view name = Trim(line.substr(split));
    NVItemEntry entry;
    if (!ParseId(idText, entry.Id)) {
      error = LineError(lineNo, "item id \"" + std::string(idText) + "\" is not a number from 0 to 65535");
      return false;
    }
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsNameChar)) {
      error = LineError(lineNo, "item name must be one word of letters, digits and '_'");
      return false;
    }
    entry.Name = std::string(name);
    current->push_back(std::move(entry));
  }
  return true;
}

const NVItemTables& NVItemTables::BuiltIn() {
  static const NVItemTables tables = [] {
    NVItemTables t;
    std::vector<std::string> seen;
    std::string error;
    ParseNVItemTables(kBuiltInTables, t, seen, error);
    return t;
  }();
  return tables;
}

bool NVItemTables::Merge(std::string_view text, std::string& error) {
  NVItemTables merged = *this;
  std::vector<std::string> seen;
  if (!ParseNVItemTables(text, merged, seen, error)) return false;
  const size_t appended =
      std::max(merged.cdmaCalibration.size() + merged.cdmaIdentity.size(), merged.lteCalibration.size());
  if (merged.base.size() + appended > kListCapacity) {
    error = "the base items and an appended table hold more than " + std::to_string(kListCapacity) + " items";
    return false;
  }
  if (merged.rf.size() > kListCapacity || merged.full.size() > kListCapacity) {
    error = "a table holds more than " + std::to_string(kListCapacity) + " items";
    return false;
  }
  for (std::string& name : seen)
    if (!merged.Supplies(name)) merged.supplied.push_back(std::move(name));
  *this = std::move(merged);
  return true;
}

bool NVItemTables::MergeFile(const std::string& path, std::string& error) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    error = path + ": read failed";
    return false;
  }
  std::string why;
  if (!Merge(content.str(), why)) {
    error = path + ": " + why;
    return false;
  }
  return true;
}

bool LoadPacketNVTables(const std::string& folder, NVItemTables& tables, std::string& error) {
  tables = NVItemTables::BuiltIn();
  const std::filesystem::path path = std::filesystem::path(folder) / kPacketNVTablesFile;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return true;
  NVItemTables loaded = tables;
  if (!loaded.MergeFile(path.string(), error)) return false;
  tables = std::move(loaded);
  return true;
}

bool NVItemTables::Supplies(std::string_view section) const {
  return std::find(supplied.begin(), supplied.end(), section) != supplied.end();
}

std::string NVItemTables::NameOf(int32_t id) const {
  for (const NVItemTable* t : {&base, &cdmaCalibration, &cdmaIdentity, &lteCalibration, &rf, &full}) {
    for (const NVItemEntry& e : *t)
      if (e.Id == id) return e.Name;
  }
  return {};
}

}  // namespace zovir
