#include "ui/payload.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

#include "platform/system_paths.h"

namespace zovir {
namespace {

TEST(Payload, LookupIgnoresCaseOfKeyAndTypeButNeedsBoth) {
  Payload p;
  p.Add("NPRG9X06FILE", "MBN", "NPRG9x06.mbn", "programmer");
  p.Add("ConfigFile", "INI", "Config.ini", "[Project]\n");
  p.Add("bootFile", "IMG", "boot.img", std::string("\0\1\2", 3));

  const PayloadEntry* e = p.Find("NPRG9x06File", "mbn");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e->data), e->size), "programmer");
  ASSERT_NE(p.Find("BOOTFILE", "img"), nullptr);
  EXPECT_EQ(p.Find("BOOTFILE", "img")->size, 3u);
  EXPECT_EQ(p.Find("ConfigFile", "MBN"), nullptr);
  EXPECT_EQ(p.Find("Config", "INI"), nullptr);
  EXPECT_EQ(p.Find("", ""), nullptr);
}

TEST(Payload, AProgramWithoutAPackedPacketCarriesNothing) {
  EXPECT_TRUE(Payload::Embedded().Empty());
}

// Sets environment variables for one test and puts the old values back.
class Environment {
 public:
  explicit Environment(const std::map<std::string, std::optional<std::string>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(SystemPaths, ComeFromTheEnvironmentAndIgnoreRelativeValues) {
  const std::optional<std::string> none;
  struct Case {
    const char* what;
    std::map<std::string, std::optional<std::string>> env;
    SystemPaths expected;
  };
  const std::map<std::string, std::optional<std::string>> clean = {
      {"ZOVIR_HOME", none},      {"ZOVIR_TEMP_DIR", none}, {"XDG_RUNTIME_DIR", none}, {"TMPDIR", none},
      {"XDG_DATA_HOME", none},   {"XDG_STATE_HOME", none}, {"XDG_CONFIG_HOME", none}, {"HOME", "/home/u"}};
  auto with = [&](std::map<std::string, std::optional<std::string>> extra) {
    auto env = clean;
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  };
  const Case cases[] = {
      {"defaults",
       clean,
       {"/tmp", "/home/u/.local/share/quorvel-zovir/Backup", "/home/u/.local/state/quorvel-zovir/logs",
        "/home/u/.config/quorvel-zovir", "/home/u/.config/quorvel-zovir/autotest"}},
      {"xdg",
       with({{"XDG_RUNTIME_DIR", "/run/user/7"}, {"TMPDIR", "/var/tmp"}, {"XDG_DATA_HOME", "/d"},
             {"XDG_STATE_HOME", "/s/"}, {"XDG_CONFIG_HOME", "/c"}}),
       {"/run/user/7", "/d/quorvel-zovir/Backup", "/s/quorvel-zovir/logs", "/c/quorvel-zovir",
        "/c/quorvel-zovir/autotest"}},
      {"the cleaners' variable comes first",
       with({{"ZOVIR_TEMP_DIR", "/scratch"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}),
       {"/scratch", "/home/u/.local/share/quorvel-zovir/Backup", "/home/u/.local/state/quorvel-zovir/logs",
        "/home/u/.config/quorvel-zovir", "/home/u/.config/quorvel-zovir/autotest"}},
      {"relative values are ignored",
       with({{"XDG_RUNTIME_DIR", "run"}, {"TMPDIR", "/var/tmp"}, {"XDG_DATA_HOME", "data"}}),
       {"/var/tmp", "/home/u/.local/share/quorvel-zovir/Backup", "/home/u/.local/state/quorvel-zovir/logs",
        "/home/u/.config/quorvel-zovir", "/home/u/.config/quorvel-zovir/autotest"}},
      {"one folder for everything",
       with({{"ZOVIR_HOME", "/z"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}),
       {"/z/run", "/z/Backup", "/z/logs", "/z/config", "/z/autotest"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Environment env(c.env);
    const SystemPaths p = SystemPathsFromEnvironment();
    EXPECT_EQ(p.runtimeDir, c.expected.runtimeDir);
    EXPECT_EQ(p.backupRoot, c.expected.backupRoot);
    EXPECT_EQ(p.logDir, c.expected.logDir);
    EXPECT_EQ(p.configDir, c.expected.configDir);
    EXPECT_EQ(p.autotestMarker, c.expected.autotestMarker);
  }
}

}  // namespace
}  // namespace zovir
