// The request of --prepare-update against a real installed tree: each rule
// in one table, every rejection leaving the sandbox exactly as it was.
#include "update/prepare/prepare_request.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/env.h"
#include "update/prepare/prepare_fixture.h"

namespace tl {
namespace {

using test::jsonText;
constexpr const char* kTid = test::kTransactionId;

// What a case may change before the request is read.
struct RequestDraft {
  test::IntegrationSandbox& box;
  std::string channelRel;                     // the channel root below the sandbox
  std::string requestPath;                    // as handed to the reader
  std::map<std::string, std::string> members;  // key -> raw JSON value
  std::string prefix, suffix;                 // raw text inside the object's start, after its end
};

struct RequestCase {
  std::string name;
  std::function<void(RequestDraft&)> setup;
  std::optional<Error> expected;  // nullopt: accepted
  std::string channelFolder = "stable";
  std::string installed = ",\"channel\":\"stable\"";  // more members of the installed version.json
};
void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class PrepareRequestRules : public testing::TestWithParam<RequestCase> {};

TEST_P(PrepareRequestRules, AcceptOrRejectTouchingNothing) {
  const RequestCase& c = GetParam();
  test::IntegrationSandbox box;
  const std::string local = "Users/user/AppData/Local";
  RequestDraft s{box, local + "/" + test::kAppId + "/" + c.channelFolder, "", {}, "", ""};
  const std::string channel = box.win(s.channelRel);
  box.makeDirs(s.channelRel + "/app/Resources");
  box.writeFile(s.channelRel + "/app/Resources/version.json",
                std::string("{\"identifier\":\"") + test::kAppId +
                    "\",\"version\":\"1\",\"hash\":\"b1\",\"baseUrl\":\"https://u.example/demo/\"" + c.installed + "}");
  s.requestPath = channel + "\\.tamberlock-prepare-" + kTid + ".json";
  s.members = test::requestMembers(channel, "https://u.example/demo", "b1", "b2", "2");
  if (c.setup) c.setup(s);
  const std::string text = test::requestText(s.members, s.prefix, s.suffix);
  box.writeFile(s.channelRel + "/" + test::requestFileName(), text);

  const auto before = test::snapshot(box.host("Users"));
  Result<ValidatedPrepareRequest> got = readPrepareRequest(s.requestPath);
  EXPECT_EQ(test::snapshot(box.host("Users")), before);
  if (c.expected) {
    ASSERT_FALSE(got.ok()) << text;
    EXPECT_EQ(errorName(got.error()), errorName(*c.expected)) << text;
  } else {
    ASSERT_TRUE(got.ok()) << errorName(got.error()) << " " << text;
    EXPECT_EQ(got->bundle_name, "app");
    EXPECT_EQ(got->installed.hash, "b1");
    EXPECT_EQ(got->update_home, box.win(local + "/" + test::kAppId));
  }
}

std::function<void(RequestDraft&)> set(std::string key, std::string value) {
  return [key, value](RequestDraft& s) { s.members[key] = value; };
}
std::function<void(RequestDraft&)> tar(std::string size, std::string sha = jsonText(std::string(64, 'a'))) {
  return [size, sha](RequestDraft& s) {
    s.members["tar_size"] = size;
    s.members["tar_sha256"] = sha;
  };
}
std::function<void(RequestDraft&)> canary() {
  return [](RequestDraft& s) {
    s.members["channel"] = jsonText("canary");
    s.members["artifact_file"] = jsonText("canary-win-x64-2.tar.zst");
  };
}

const Error kBad = Error::InvalidPrepareRequest;
const Error kPath = Error::InvalidUpdatePath;
const std::string kCanaryApp = ",\"channel\":\"canary\",\"displayName\":\"App X\"";

INSTANTIATE_TEST_SUITE_P(
    Table, PrepareRequestRules,
    testing::Values(
        RequestCase{"Valid", nullptr, std::nullopt},
        RequestCase{"SchemaTwo", set("schema_version", "2"), kBad},
        RequestCase{"UppercaseTransactionId", set("transaction_id", jsonText("0123456789ABCDEF0123456789abcdef")), kBad},
        RequestCase{"VersionControlByte", set("version", "\"2\\u0001\""), kBad},
        RequestCase{"IdentifierNul", set("identifier", jsonText("nul")), kBad},
        RequestCase{"IdentifierCom1", set("identifier", jsonText("Com1")), kBad},
        RequestCase{"IdentifierTrailingDot", set("identifier", jsonText("app.")), kBad},
        RequestCase{"TarSmallest", tar("1024"), std::nullopt},
        RequestCase{"TarLargest", tar("17179869184"), std::nullopt},
        RequestCase{"TarTooSmall", tar("1023"), kBad},
        RequestCase{"TarNotBlocks", tar("1537"), kBad},
        RequestCase{"TarTooLarge", tar("17179869696"), kBad},
        RequestCase{"TarSizeAlone", tar("1024", "null"), kBad},
        RequestCase{"TarShaNullAlone", set("tar_sha256", "null"), std::nullopt},
        RequestCase{"ArtifactEmptyTail", set("artifact_file", jsonText("stable-win-x64-.tar.zst")), std::nullopt},
        RequestCase{"ArtifactNoDash", set("artifact_file", jsonText("stable-win-x64.tar.zst")), kBad},
        RequestCase{"ArtifactOtherChannel", set("artifact_file", jsonText("canary-win-x64-app.tar.zst")), kBad},
        RequestCase{"BaseUrlInCapitals", set("base_url", jsonText("HTTPS://u.example/demo")), Error::InsecureUpdateUrl},
        RequestCase{"BaseUrlWithQuery", set("base_url", jsonText("https://u.example/demo?x=1")), Error::InvalidUpdateUrl},
        RequestCase{"BaseUrlOther", set("base_url", jsonText("https://u.example/other")), Error::InvalidUpdateIdentity},
        RequestCase{"BaseHashNotInstalled", set("base_hash", jsonText("b0")), Error::InvalidUpdateIdentity},
        RequestCase{"UnknownKey", set("extra", "1"), Error::UnknownField},
        RequestCase{"MissingKey", [](RequestDraft& s) { s.members.erase("hash"); }, Error::MissingField},
        RequestCase{"NumberForText", set("version", "2"), Error::UnexpectedToken},
        RequestCase{"BytesForText", set("version", "[50]"), Error::UnexpectedToken},
        RequestCase{"TextForNumber", set("schema_version", jsonText("1")), Error::UnexpectedToken},
        RequestCase{"DuplicateKey", [](RequestDraft& s) { s.prefix = "\"hash\":\"b2\","; }, Error::DuplicateField},
        RequestCase{"TrailingText", [](RequestDraft& s) { s.suffix = "{}"; }, Error::SyntaxError},
        RequestCase{"TooLarge", [](RequestDraft& s) { s.suffix = std::string(65536, ' '); }, Error::UpdateDocumentTooLarge},
        RequestCase{"RelativePath", [](RequestDraft& s) { s.requestPath = s.requestPath.substr(3); }, kPath},
        RequestCase{"DotDotPath",
                    [](RequestDraft& s) { s.requestPath.insert(s.requestPath.rfind('\\'), "\\..\\stable"); }, kPath},
        RequestCase{"NameInOtherCase",
                    [](RequestDraft& s) { s.requestPath.replace(s.requestPath.rfind("prepare"), 7, "PREPARE"); }, kPath},
        RequestCase{"ChannelRootParentInOtherCase",
                    [](RequestDraft& s) {
                      std::string& root = s.members["channel_root"];
                      root.replace(root.find(test::kAppId), 16, "COM.EXAMPLE.DEMO");
                    },
                    std::nullopt},
        RequestCase{"ChannelRootElsewhere",
                    [](RequestDraft& s) {
                      s.box.makeDirs("elsewhere/stable/app/Resources");
                      s.members["channel_root"] = jsonText(s.box.win("elsewhere/stable"));
                    },
                    kPath},
        RequestCase{"BundleOtherThanApp",
                    [](RequestDraft& s) {
                      s.box.makeDirs(s.channelRel + "/App2/Resources");
                      s.box.writeFile(s.channelRel + "/App2/Resources/version.json",
                                      s.box.readFile(s.channelRel + "/app/Resources/version.json"));
                      s.members["app_bundle_path"] = jsonText(s.box.win(s.channelRel + "/App2"));
                    },
                    kPath},
        RequestCase{"RequestIsALink",
                    [](RequestDraft& s) {
                      s.box.writeFile(s.channelRel + "/real.json", "{}");
                      s.requestPath = s.box.win(s.channelRel + "/link.json");
                      ::symlink("real.json", s.box.host(s.channelRel + "/link.json").c_str());
                    },
                    Error::NotRegularFile},
        RequestCase{"HomeFromUserProfile", [](RequestDraft&) { env::setVar("LOCALAPPDATA", std::nullopt); }, std::nullopt},
        RequestCase{"NoHome",
                    [](RequestDraft&) {
                      env::setVar("LOCALAPPDATA", std::nullopt);
                      env::setVar("USERPROFILE", std::nullopt);
                    },
                    Error::MissingUpdateHome},
        RequestCase{"DisplayNameWithChannel", canary(), std::nullopt, "App X-canary", kCanaryApp},
        RequestCase{"DisplayNameWithoutChannel", canary(), kPath, "App X", kCanaryApp},
        RequestCase{"ChannelFolderAlways", canary(), std::nullopt, "canary", kCanaryApp},
        RequestCase{"StableDisplayName", nullptr, std::nullopt, "App X", ",\"channel\":\"stable\",\"displayName\":\"App X\""},
        RequestCase{"NamedFolder", nullptr, std::nullopt, "DemoApp", ",\"channel\":\"stable\",\"name\":\"DemoApp\""},
        RequestCase{"UnknownFolder", nullptr, kPath, "Other", ",\"channel\":\"stable\",\"name\":\"DemoApp\""},
        RequestCase{"InstalledOtherChannel", nullptr, Error::InvalidUpdateIdentity, "stable", ",\"channel\":\"dev\""}),
    [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tl
