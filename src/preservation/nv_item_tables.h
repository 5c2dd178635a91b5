#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zovir {

// One row of an NV item table: the item id as the modem numbers it and its symbolic name.
struct NVItemEntry {
  int32_t Id = -1;
  std::string Name;
  bool operator==(const NVItemEntry&) const = default;
};

using NVItemTable = std::vector<NVItemEntry>;

// The item tables the NV backup draws its lists from. The built-in set carries every row
// this product knows; a firmware packet can supply complete vendor tables in the text
// format of NV_TABLES.md, read by the same loader.
struct NVItemTables {
  // The engine's base list (built-in items plus an appended table) and the written-items
  // table hold at most this many entries.
  static constexpr size_t kListCapacity = 1499;

  NVItemTable base;
  NVItemTable cdmaCalibration;
  NVItemTable cdmaIdentity;
  NVItemTable lteCalibration;
  NVItemTable rf;
  NVItemTable full;
  // The section names of the tables a vendor file supplied (Merge). Such a table is the
  // vendor's complete list; a built-in one may hold only the rows known for certain.
  std::vector<std::string> supplied;

  static const NVItemTables& BuiltIn();

  // Whether a vendor file supplied the table of that section name ("lte_calibration", ...).
  bool Supplies(std::string_view section) const;

  // Reads tables in the text format. Each section present replaces the table of that name;
  // sections not present keep their rows. On any error nothing changes, false is returned
  // and `error` names the line.
  bool Merge(std::string_view text, std::string& error);
  // Merge() on the content of a file.
  bool MergeFile(const std::string& path, std::string& error);

  // The name of the first row with `id` in any table, or empty.
  std::string NameOf(int32_t id) const;
};

// The file a firmware packet carries its vendor tables in, beside Config.ini.
inline constexpr const char* kPacketNVTablesFile = "nv_tables.txt";

// The built-in tables, completed by `folder`/nv_tables.txt when the packet carries one.
// False (with `error`) when that file is there but cannot be read or is malformed; `tables`
// then holds the built-in tables only.
bool LoadPacketNVTables(const std::string& folder, NVItemTables& tables, std::string& error);

// Parses the text format into `out` (sections present only). False with `error` set on the
// first malformed line.
bool ParseNVItemTables(std::string_view text, NVItemTables& out, std::vector<std::string>& sectionsSeen,
                       std::string& error);

}  // namespace zovir
