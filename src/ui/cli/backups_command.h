#pragma once
#include <CLI/CLI.hpp>

#include "ui/cli/cli_output.h"

namespace zovir::cli {

// `zovir-cli backups`: every backup in the backup root with its serial number, date, what it
// holds and whether it is complete; the folder name it shows is what `run --sn` takes.
CLI::App* AddBackupsCommand(CLI::App& app, bool& json);
int BackupsCommand(CliOutput& out);

}  // namespace zovir::cli
