#include "windows_integration/uninstall_manifest.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <gtest/gtest.h>

#include "common/hex.h"
#include "platform/env.h"
#include "platform/io_context.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

constexpr const char* kNonce = "0123456789abcdef0123456789abcdef";

UninstallManifest usualManifest() {
  UninstallManifest m;
  m.install_nonce = kNonce;
  m.identifier = "com.example.app";
  m.name = "Example \"App\"";
  m.channel = "stable";
  m.desktop_shortcut = "C:\\Users\\b\\Desktop\\Example _App_.lnk";
  m.start_menu_shortcut = "C:\\Users\\b\\Start Menu\\Example _App_.lnk";
  m.install_root_name = "stable";
  m.data_path_versions = std::vector<std::uint32_t>{1};
  return m;
}

TEST(ManifestWriter, UsualRecordIsThirteenLines) {
  EXPECT_EQ(serializeUninstallManifest(usualManifest()),
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"install_nonce\": \"0123456789abcdef0123456789abcdef\",\n"
            "  \"identifier\": \"com.example.app\",\n"
            "  \"name\": \"Example \\\"App\\\"\",\n"
            "  \"channel\": \"stable\",\n"
            "  \"desktop_shortcut\": \"C:\\\\Users\\\\b\\\\Desktop\\\\Example _App_.lnk\",\n"
            "  \"start_menu_shortcut\": \"C:\\\\Users\\\\b\\\\Start Menu\\\\Example _App_.lnk\",\n"
            "  \"install_root_name\": \"stable\",\n"
            "  \"data_path_versions\": [\n"
            "    1\n"
            "  ]\n"
            "}");
}

TEST(ManifestWriter, EscapesNullsEmptyArraysAndByteArrays) {
  UninstallManifest m = usualManifest();
  m.name = "t\tq/\x7f\xC3\xA9\x01";
  m.desktop_shortcut = "C:\\\xED\xA0\x80";  // an unpaired surrogate (WTF-8)
  m.install_root_name.reset();
  m.data_path_versions = std::vector<std::uint32_t>{};
  std::string text = serializeUninstallManifest(m);
  EXPECT_NE(text.find("  \"name\": \"t\\tq/\x7f\xC3\xA9\\u0001\",\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  \"desktop_shortcut\": [\n    67,\n    58,\n    92,\n    237,\n    160,\n"
                      "    128\n  ],\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  \"install_root_name\": null,\n  \"data_path_versions\": []\n}"),
            std::string::npos)
      << text;
  m.data_path_versions.reset();
  EXPECT_NE(serializeUninstallManifest(m).find("\"data_path_versions\": null\n}"), std::string::npos);

  // The reader takes the byte array back as the same text.
  m.data_path_versions = std::vector<std::uint32_t>{1, 4294967295u};
  Result<UninstallManifest> back = parseUninstallManifestJson(serializeUninstallManifest(m));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->desktop_shortcut, m.desktop_shortcut);
  EXPECT_EQ(back->name, m.name);
  EXPECT_FALSE(back->install_root_name.has_value());
  EXPECT_EQ(back->data_path_versions, m.data_path_versions);
}

std::string readHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeHostFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::size_t entryCount(const std::string& hostDir) {
  std::size_t n = 0;
  DIR* d = ::opendir(hostDir.c_str());
  while (dirent* e = ::readdir(d)) {
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") ++n;
  }
  ::closedir(d);
  return n;
}

TEST(ManifestWriter, ReplacesAtomicallyAndKeepsTheOldFileOnFailure) {
  test::TempDir tmp;
  std::string path = tmp.win("m.json");
  ASSERT_TRUE(writeUninstallManifest(path, usualManifest()).ok());
  UninstallManifest second = usualManifest();
  second.install_nonce = "ffffffffffffffffffffffffffffffff";
  ASSERT_TRUE(writeUninstallManifest(path, second).ok());
  EXPECT_EQ(readHostFile(tmp.host("m.json")), serializeUninstallManifest(second));
  EXPECT_EQ(entryCount(tmp.hostPath()), 1u);

  std::string temporary;
  io().setFaultHook([&](FsOp op, std::string_view name) -> Status {
    if (op != FsOp::Rename) return success();
    temporary = name;
    return Error::AccessDenied;
  });
  Status failed = writeUninstallManifest(path, usualManifest());
  io().setFaultHook(nullptr);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), Error::AccessDenied);
  // What a killed write would leave: the target's name tells it from a user's file.
  EXPECT_TRUE(std::regex_match(temporary, std::regex(R"(m\.json\.tmp-[0-9a-f]{16})"))) << temporary;
  EXPECT_EQ(readHostFile(tmp.host("m.json")), serializeUninstallManifest(second));
  EXPECT_EQ(entryCount(tmp.hostPath()), 1u);
}

TEST(ManifestNames, NonceAndRootRules) {
  EXPECT_TRUE(isHex32AnyCase("0123456789ABCDEFabcdef0123456789"));
  EXPECT_FALSE(isHex32AnyCase("0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(isHex32AnyCase("0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(isHex32AnyCase("g123456789abcdef0123456789abcdef"));
  std::string id = newRandomHexId();
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(id, newRandomHexId());

  struct Case {
    std::string_view root, channel, name;
    std::optional<std::string_view> rootName;
    bool matches;
  } cases[] = {
      {"C:\\L\\id\\CANARY\\", "canary", "App", std::nullopt, true},
      {"C:\\L\\id\\My App", "stable", "my app", std::nullopt, true},
      {"C:\\L\\id\\Custom", "stable", "App", "custom", true},
      {"C:\\L\\id\\App", "stable", "App", "Custom", false},
      {"C:\\L\\id\\App.", "stable", "App.", std::nullopt, false},  // not a valid file name
      {"C:\\", "stable", "App", std::nullopt, false},
      {"C:\\L\\id\\stable2", "stable", "App", std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchesInstallRootName(c.root, c.channel, c.name, c.rootName), c.matches) << c.root;
  }
}

// A real installation tree with the shell folders taken from the
// environment (there is no PowerShell under this SystemRoot).
class ManifestReader : public testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(tmp_.host("Local").c_str(), 0700);
    ::mkdir(tmp_.host("Local/com.example.app").c_str(), 0700);
    ::mkdir(tmp_.host("Local/com.example.app/stable").c_str(), 0700);
    env::setForTesting({{"LOCALAPPDATA", tmp_.win("Local")},
                        {"USERPROFILE", tmp_.win("User")},
                        {"SystemRoot", tmp_.win("NoWindows")}});
    root_ = tmp_.win("Local\\com.example.app\\stable");
    path_ = root_ + "\\.tamberlock-uninstall.json";
    hostPath_ = tmp_.host("Local/com.example.app/stable/.tamberlock-uninstall.json");
  }

  // The usual members as key and raw JSON value; the shortcuts follow the
  // name.
  std::vector<std::pair<std::string, std::string>> members(const std::string& name = "Example") const {
    std::string desktop = tmp_.win("User\\Desktop\\" + name + ".lnk");
    std::string start =
        tmp_.win("User\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\" + name + ".lnk");
    auto q = [](const std::string& s) {
      std::string out = "\"";
      for (char c : s) {
        if (c == '\\') out += '\\';
        out += c;
      }
      return out + "\"";
    };
    return {{"schema_version", "1"},          {"install_nonce", q(kNonce)},
            {"identifier", "\"com.example.app\""}, {"name", q(name)},
            {"channel", "\"stable\""},        {"desktop_shortcut", q(desktop)},
            {"start_menu_shortcut", q(start)}, {"install_root_name", "\"stable\""},
            {"data_path_versions", "[1]"}};
  }

  static std::string render(const std::vector<std::pair<std::string, std::string>>& ms) {
    std::string out = "{";
    for (std::size_t i = 0; i < ms.size(); ++i) {
      if (i) out += ",";
      out += "\"" + ms[i].first + "\":" + ms[i].second;
    }
    return out + "}";
  }

  // The usual manifest with one member replaced (or removed for an empty
  // value, or added when new).
  std::string with(const std::string& key, const std::string& value) const {
    auto ms = members();
    bool found = false;
    for (auto it = ms.begin(); it != ms.end(); ++it) {
      if (it->first == key) {
        found = true;
        if (value.empty()) {
          ms.erase(it);
        } else {
          it->second = value;
        }
        break;
      }
    }
    if (!found) ms.emplace_back(key, value);
    return render(ms);
  }

  Result<UninstallManifest> readText(std::string_view text) {
    writeHostFile(hostPath_, text);
    return readUninstallManifest(path_, root_);
  }

  test::TempDir tmp_;
  std::string root_, path_, hostPath_;
};

TEST_F(ManifestReader, AcceptsTheUsualManifestAndItsVariants) {
  const std::pair<std::string, std::string> accepted[] = {
      {"install_nonce", "\"0123456789ABCDEF0123456789ABCDEF\""},
      {"data_path_versions", "null"},
      {"data_path_versions", ""},
      {"install_root_name", "null"},
      {"extra", "{\"deep\":[1,{\"x\":null}],\"identifier\":2}"},
      {"identifier", "[99,111,109,46,101,120,97,109,112,108,101,46,97,112,112]"},
  };
  for (const auto& [key, value] : accepted) {
    Result<UninstallManifest> m = readText(with(key, value));
    ASSERT_TRUE(m.ok()) << key << "=" << value << ": " << errorName(m.error());
    EXPECT_EQ(m->identifier, "com.example.app");
  }
  std::string longest(240, 'n');
  Result<UninstallManifest> m = readText(render(members(longest)));
  ASSERT_TRUE(m.ok()) << errorName(m.error());
  EXPECT_EQ(m->name, longest);
}

TEST_F(ManifestReader, RefusesEachBrokenField) {
  const struct {
    std::string key, value;
    Error error;
  } refused[] = {
      {"schema_version", "2", Error::InvalidUninstallManifest},
      {"install_nonce", "\"0123456789abcdef0123456789abcde\"", Error::InvalidUninstallManifest},
      {"install_nonce", "\"0123456789abcdef0123456789abcdefa\"", Error::InvalidUninstallManifest},
      {"install_nonce", "\"g123456789abcdef0123456789abcdef\"", Error::InvalidUninstallManifest},
      {"identifier", "\"com.example.app.\"", Error::InvalidUninstallManifest},
      {"channel", "\"Stable\"", Error::InvalidUninstallManifest},
      {"name", "\"" + std::string(241, 'n') + "\"", Error::InvalidUninstallManifest},
      {"name", "\"\"", Error::InvalidUninstallManifest},
      {"name", "\"a\\tb\"", Error::InvalidUninstallManifest},
      {"data_path_versions", "[]", Error::InvalidUninstallManifest},
      {"data_path_versions", "[2]", Error::InvalidUninstallManifest},
      {"data_path_versions", "[1,1]", Error::InvalidUninstallManifest},
      {"desktop_shortcut", "\"Example.lnk\"", Error::InvalidUninstallManifest},
      {"desktop_shortcut", "\"C:\\\\Elsewhere\\\\Example.lnk\"", Error::InvalidUninstallManifest},
      {"start_menu_shortcut", "\"C:Example.lnk\"", Error::InvalidUninstallManifest},
      {"name", "", Error::MissingField},
      {"schema_version", "\"1\"", Error::UnexpectedToken},
      {"install_root_name", "7", Error::UnexpectedToken},
  };
  for (const auto& r : refused) {
    Result<UninstallManifest> m = readText(with(r.key, r.value));
    ASSERT_FALSE(m.ok()) << r.key << "=" << r.value;
    EXPECT_EQ(m.error(), r.error) << r.key << "=" << r.value << ": " << errorName(m.error());
  }
  std::string twice = with("name", "\"Example\"");
  twice.insert(1, "\"identifier\":\"x\",");
  EXPECT_EQ(readText(twice).error(), Error::DuplicateField);
  EXPECT_EQ(readText("{\"schema_version\":1,").error(), Error::UnexpectedEndOfInput);
}

TEST_F(ManifestReader, RootNameMustFitTheChannelRoot) {
  ::mkdir(tmp_.host("Local/com.example.app/Custom").c_str(), 0700);
  root_ = tmp_.win("Local\\com.example.app\\Custom");
  path_ = root_ + "\\.tamberlock-uninstall.json";
  hostPath_ = tmp_.host("Local/com.example.app/Custom/.tamberlock-uninstall.json");
  EXPECT_EQ(readText(with("install_root_name", "\"stable\"")).error(), Error::InvalidUninstallManifest);
  EXPECT_TRUE(readText(with("install_root_name", "\"CUSTOM\"")).ok());
  EXPECT_EQ(readText(with("install_root_name", "\"Custom.\"")).error(), Error::InvalidUninstallManifest);
}

TEST_F(ManifestReader, SizeCapIsDecidedBeforeParsing) {
  std::string base = render(members());
  std::string exact = base + std::string(kMaxManifestBytes - base.size(), ' ');
  ASSERT_EQ(exact.size(), 65536u);
  EXPECT_TRUE(readText(exact).ok());
  std::string over = base + std::string(kMaxManifestBytes + 1 - base.size(), '!');
  EXPECT_EQ(readText(over).error(), Error::InvalidUninstallManifest);  // not SyntaxError
}

TEST_F(ManifestReader, FileKindAndOpenErrors) {
  EXPECT_EQ(readUninstallManifest(path_, root_).error(), Error::FileNotFound);
  ::mkdir(hostPath_.c_str(), 0700);
  EXPECT_EQ(readUninstallManifest(path_, root_).error(), Error::InvalidUninstallManifest);
  ::rmdir(hostPath_.c_str());
  writeHostFile(tmp_.host("real.json"), render(members()));
  ASSERT_EQ(::symlink(tmp_.host("real.json").c_str(), hostPath_.c_str()), 0);
  EXPECT_EQ(readUninstallManifest(path_, root_).error(), Error::InvalidUninstallManifest);
}

TEST_F(ManifestReader, FieldChecksComeBeforeTheLayoutAndTheShellFolders) {
  // Without USERPROFILE the shell folders cannot be found and the layout of a
  // root outside LOCALAPPDATA is refused; a bad field is still reported as such.
  env::setVar("USERPROFILE", std::nullopt);
  EXPECT_EQ(readText(with("channel", "\"beta\"")).error(), Error::InvalidUninstallManifest);
  EXPECT_EQ(readText(render(members())).error(), Error::EnvironmentVariableNotFound);
  env::setVar("USERPROFILE", tmp_.win("User"));
  env::setVar("LOCALAPPDATA", tmp_.win("Other"));
  EXPECT_EQ(readText(render(members())).error(), Error::InvalidUninstallLocation);
}

}  // namespace
}  // namespace tl
