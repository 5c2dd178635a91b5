#include "ui/cli/backups_command.h"

#include <nlohmann/json.hpp>

#include "platform/system_paths.h"
#include "preservation/backup_catalogue.h"

namespace zovir::cli {

CLI::App* AddBackupsCommand(CLI::App& app, bool& json) {
  auto* sub = app.add_subcommand(
      "backups", "list the saved backups (serial number, date, contents, complete or not); run --sn FOLDER restores one");
  sub->add_flag("--json", json, "one JSON object per backup");
  return sub;
}

int BackupsCommand(CliOutput& out) {
  const std::string root = SystemPathsFromEnvironment().backupRoot;
  const auto backups = ListBackups(root);
  const bool json = out.style() == CliOutput::Style::Json;
  for (const auto& b : backups) {
    const BackupContents& c = b.contents;
    nlohmann::json fields{{"folder", b.folder},         {"path", b.path},  {"serial", b.serial},
                          {"date", b.date},             {"complete", b.complete}, {"identity", c.identity},
                          {"nv", c.nv},                 {"rf_nv", c.rfNv}, {"user_files", c.userFiles}};
    // Whether the update that made it went on to write the modem: only then can it hold what
    // the modem lost ("modem": what became of the modem since, as its record says).
    fields["modem_written"] = c.modem != ModemMark::Untouched;
    fields["modem"] = ModemMarkName(c.modem);
    if (!b.complete) fields["problem"] = b.problem;
    out.Event(std::nullopt, "backup", std::move(fields),
              b.folder + "  SN " + (b.serial.empty() ? "-" : b.serial) + "  " + b.date + "  " + DescribeContents(c) +
                  "  " + (b.complete ? "complete, " + DescribeModemMark(c.modem) : "INCOMPLETE: " + b.problem));
  }
  if (!json) {
    if (backups.empty())
      out.Note("No backups in " + root + ".");
    else
      out.Note("Restore a complete one with: zovir-cli run --sn FOLDER (the name in the first column)");
  }
  return 0;
}

}  // namespace zovir::cli
