// The registry built from configuration. Building it is a once-per-process
// affair, so every test here needs a process of its own: CTest runs each test
// separately, and a test that finds a registry already built is skipped.

#include <sys/utsname.h>

#include <algorithm>
#include <fstream>
#include <list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include "device_manager/include/device_manager.h"
#include "drivers/common/include/config_flags.h"
#include "drivers/realsense_camera/include/realsense_camera.h"
#include "drivers/uvc_camera/include/uvc_camera.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak::device {
namespace {

using tovak::test::deviceManagerXml;
using tovak::test::literalRegex;
using tovak::test::parseXml;
using tovak::test::ScratchDir;

const std::string kFatalPrefix = "[DeviceManager] (DeviceManager): Device manager initialization failed: ";

bool registryExists() {
  try {
    DeviceManager::getInstance();
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

#define REQUIRE_FRESH_PROCESS() \
  if (registryExists()) GTEST_SKIP() << "the registry was built earlier in this process; run through ctest"

// Points the two flags at files in a scratch folder. nullopt leaves the file
// missing.
class RegistryConfigTest : public ::testing::Test {
 protected:
  void useFiles(const std::optional<std::string>& cameras, const std::optional<std::string>& hands) {
    FLAGS_camera_config_file = dir_.file("cameras.pb.txt");
    FLAGS_dexhand_config_file = dir_.file("hands.pb.txt");
    if (cameras) dir_.write("cameras.pb.txt", *cameras);
    if (hands) dir_.write("hands.pb.txt", *hands);
  }

  static std::vector<std::pair<std::string, std::string>> sortedDeviceList(DeviceManager& dm) {
    std::list<std::pair<std::string, std::string>> list;
    dm.getDeviceList(list);
    std::vector<std::pair<std::string, std::string>> sorted(list.begin(), list.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  ScratchDir dir_;
};

TEST_F(RegistryConfigTest, BuildsEveryKindInOrder) {
  REQUIRE_FRESH_PROCESS();
  useFiles(R"(uvc_cameras { id: "c0" } realsense_cameras { id: "rs0" } uvc_cameras { id: "c1" })",
           R"(rh56dftp_dexhands { id: "h0" side: "left" })");
  const XmlNode cfg = parseXml(deviceManagerXml({{"Robot", R"(<Humanoid id="body"/>)"},
                                                 {"Microphone", R"(<ffmpegMicPhone id="mic"/>)"},
                                                 {"Speaker", R"(<ffmpegSpeaker id="spk"/>)"},
                                                 {"BioHead", R"(<esp32 id="head"/>)"}}));
  tovak::test::LogCapture logs;
  ::testing::internal::CaptureStdout();
  DeviceManager& dm = DeviceManager::getInstance(cfg);
  const std::string out = ::testing::internal::GetCapturedStdout();

  // Indices count within each record list; cameras come before hands.
  EXPECT_NE(out.find("UVCCamera[0]: c0\nUVCCamera[1]: c1\nRealsenseCamera[0]: rs0\nDexHand[0]: h0\n"),
            std::string::npos)
      << out;

  // The files are read between the XML kinds AGV and Robot, and the XML kinds
  // follow in their fixed order.
  const std::vector<std::string> in_order = {
      "FLAGS_camera_config_file = " + FLAGS_camera_config_file,
      "FLAGS_dexhand_config_file = " + FLAGS_dexhand_config_file,
      "[DeviceManager]: Init Robot body Success",
      "[DeviceManager]: Init Microphone mic Success",
      "[DeviceManager]: Init Speaker spk Success",
      "[BioHead]: Init biohead head Success",
  };
  const auto lines = logs.lines();
  size_t next = 0;
  for (const std::string& expected : in_order) {
    auto it = std::find_if(lines.begin() + next, lines.end(), [&](const auto& l) { return l.text == expected; });
    ASSERT_NE(it, lines.end()) << "missing, or out of order: " << expected;
    EXPECT_EQ(it->severity, google::GLOG_INFO) << expected;
    next = static_cast<size_t>(it - lines.begin()) + 1;
  }
  // Record kinds log no success line.
  EXPECT_FALSE(logs.contains("c0 Success"));

  const std::vector<std::pair<std::string, std::string>> expected_list = {
      {"body", "Robot"}, {"c0", "Camera"}, {"c1", "Camera"},     {"h0", "DexHand"},
      {"head", "BioHead"}, {"mic", "Microphone"}, {"rs0", "Camera"}, {"spk", "Speaker"}};
  EXPECT_EQ(sortedDeviceList(dm), expected_list);

  // Each record reached the driver chosen by its list.
  EXPECT_NE(std::dynamic_pointer_cast<UVCCamera>(dm.getDevice<AbstractCamera>("c1")), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<RealsenseCamera>(dm.getDevice<AbstractCamera>("rs0")), nullptr);
  EXPECT_EQ(dm.getDevice<AbstractCamera>("c1")->id(), "c1");
  EXPECT_EQ(dm.getDevice<AbstractDexHand>("h0")->id(), "h0");
  EXPECT_EQ(dm.getDevice<AbstractRobot>("body")->id(), "body");
  EXPECT_THROW(
      {
        try {
          dm.getDevice<AbstractCamera>("body");
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "[DeviceManager]: Device ID body type mismatch.");
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(RegistryConfigTest, LaterGetInstanceReturnsTheFirstRegistry) {
  REQUIRE_FRESH_PROCESS();
  useFiles("", {});
  DeviceManager& first =
      DeviceManager::getInstance(parseXml(deviceManagerXml({{"Speaker", R"(<ffmpegSpeaker id="spk"/>)"}})));
  DeviceManager& second =
      DeviceManager::getInstance(parseXml(deviceManagerXml({{"BioHead", R"(<esp32 id="head"/>)"}})));
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(&first, &DeviceManager::getInstance());
  const std::vector<std::pair<std::string, std::string>> only_first = {{"spk", "Speaker"}};
  EXPECT_EQ(sortedDeviceList(second), only_first);
}

TEST(RegistrySingletonTest, GetInstanceBeforeCreationThrows) {
  REQUIRE_FRESH_PROCESS();
  try {
    DeviceManager::getInstance();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "[DeviceManager] (getInstance): DeviceManager not initialized. Call getInstance(const XmlNode&) "
                 "first.");
  }
}

struct InfoCase {
  const char* name;
  const char* attrs;
  SystemInfo expected;  // version, name, description only
};
void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class SystemInfoTest : public RegistryConfigTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(SystemInfoTest, AttributesAndHostFacts) {
  REQUIRE_FRESH_PROCESS();
  useFiles("", {});
  DeviceManager& dm = DeviceManager::getInstance(parseXml(deviceManagerXml({}, {}, GetParam().attrs)));
  SystemInfo info;
  dm.getSystemInfo(info);
  EXPECT_EQ(info.version, GetParam().expected.version);
  EXPECT_EQ(info.name, GetParam().expected.name);
  EXPECT_EQ(info.description, GetParam().expected.description);

  struct utsname uts{};
  ASSERT_EQ(uname(&uts), 0);
  EXPECT_EQ(info.kernel_version, uts.release);
  EXPECT_EQ(info.architecture, uts.machine);
  std::string os = "(no os-release)";
  std::ifstream os_release("/etc/os-release");
  readPrettyName(os_release, os);
  EXPECT_EQ(info.os, os);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, SystemInfoTest,
    ::testing::Values(InfoCase{"defaults", "", {"1.0", "tovak_es", "empty", "", "", ""}},
                      InfoCase{"configured", R"( ver="2.5" name="pelmo" description="test rig")",
                               {"2.5", "pelmo", "test rig", "", "", ""}},
                      InfoCase{"present_but_empty", R"( ver="" name="" description="")", {"", "", "", "", "", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

// Files that cannot be read, or hold nothing, give a registry without
// cameras or hands, and start-up goes on; a file that breaks off after valid
// entries still yields those entries.
struct FilesCase {
  const char* name;
  std::optional<std::string> cameras;  // nullopt: file missing
  std::optional<std::string> hands;
  bool empty_flags;
  std::vector<std::pair<std::string, std::string>> expected;
};
void PrintTo(const FilesCase& c, std::ostream* os) { *os << c.name; }

class ConfigFilesRegistryTest : public RegistryConfigTest, public ::testing::WithParamInterface<FilesCase> {};

TEST_P(ConfigFilesRegistryTest, RegistryHoldsWhatTheFilesList) {
  REQUIRE_FRESH_PROCESS();
  useFiles(GetParam().cameras, GetParam().hands);
  if (GetParam().empty_flags) {
    FLAGS_camera_config_file = "";
    FLAGS_dexhand_config_file = "";
  }
  DeviceManager& dm = DeviceManager::getInstance(parseXml(deviceManagerXml({{"Robot", R"(<Humanoid id="body"/>)"}})));
  EXPECT_EQ(sortedDeviceList(dm), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, ConfigFilesRegistryTest,
    ::testing::Values(
        FilesCase{"empty_files", "", "", false, {{"body", "Robot"}}},
        FilesCase{"missing_files", std::nullopt, std::nullopt, false, {{"body", "Robot"}}},
        FilesCase{"empty_flags", "", "", true, {{"body", "Robot"}}},
        FilesCase{"broken_after_first_entry",
                  R"(uvc_cameras { id: "a" } colour: 3)",
                  R"(rh56dftp_dexhands { id: "h" } not a proto)",
                  false,
                  {{"a", "Camera"}, {"body", "Robot"}, {"h", "DexHand"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Start-up failures end the process through one FATAL line.
struct FatalCase {
  const char* name;
  std::string cameras;
  std::string hands;
  std::map<std::string, std::string> groups;
  std::set<std::string> omit;
  bool with_devices;
  std::string expected;              // what follows the FATAL prefix
  std::vector<std::string> earlier;  // lines that must come before it, in order
};
void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.name; }

class FatalStartupTest : public RegistryConfigTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FatalStartupTest, EndsWithTheFatalLine) {
  REQUIRE_FRESH_PROCESS();
  const FatalCase& c = GetParam();
  useFiles(c.cameras, c.hands);
  const XmlNode cfg = parseXml(deviceManagerXml(c.groups, c.omit, "", c.with_devices));
  std::string pattern;
  for (const std::string& line : c.earlier) pattern += literalRegex(line) + ".*";
  pattern += literalRegex(kFatalPrefix + c.expected) + "\n";
  EXPECT_DEATH(DeviceManager::getInstance(cfg), pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Duplicates, FatalStartupTest,
    ::testing::Values(
        FatalCase{"camera_twice", R"(uvc_cameras { id: "c" } uvc_cameras { id: "c" })", "", {}, {}, true,
                  "[DeviceManager]: Duplicate Camera Device IDc", {}},
        FatalCase{"realsense_repeats_uvc", R"(uvc_cameras { id: "c" } realsense_cameras { id: "c" })", "", {}, {},
                  true, "[DeviceManager]: Duplicate Camera Device IDc", {}},
        FatalCase{"hand_repeats_camera", R"(uvc_cameras { id: "x" })", R"(rh56dftp_dexhands { id: "x" })", {}, {},
                  true, "[DeviceManager]: Duplicate DexHand Device IDx", {}},
        FatalCase{"robot_repeats_hand", "", R"(rh56dftp_dexhands { id: "x" })",
                  {{"Robot", R"(<Humanoid id="x"/>)"}}, {}, true, "[DeviceManager]: Duplicate robot Device IDx", {}},
        FatalCase{"microphone_repeats_robot", "", "",
                  {{"Robot", R"(<Humanoid id="x"/>)"}, {"Microphone", R"(<ffmpegMicPhone id="x"/>)"}}, {}, true,
                  "[DeviceManager]: Duplicate Microphone Device IDx", {}},
        FatalCase{"speaker_repeats_microphone", "", "",
                  {{"Microphone", R"(<ffmpegMicPhone id="x"/>)"}, {"Speaker", R"(<ffmpegSpeaker id="x"/>)"}}, {},
                  true, "[DeviceManager]: Duplicate AbstractSpeaker Device IDx",
                  // logged at detection, then again by the registry's handler
                  {"] [DeviceManager]: Duplicate AbstractSpeaker Device IDx\n",
                   "] [DeviceManager]: Duplicate AbstractSpeaker Device IDx\n"}},
        FatalCase{"head_repeats_speaker", "", "",
                  {{"Speaker", R"(<ffmpegSpeaker id="x"/>)"}, {"BioHead", R"(<esp32 id="x"/><esp32 id="y"/>)"}}, {},
                  true, "[DeviceManager]: Duplicate AbstractBiohead Device IDx", {}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RefusedDevices, FatalStartupTest,
    ::testing::Values(
        // No driver exists for batteries and AGVs: any element stops start-up.
        FatalCase{"battery", "", "", {{"Battery", R"(<Pack id="b1"/>)"}}, {}, true,
                  "[DeviceManager]: Factory returned nullptr for device ID: b1", {}},
        FatalCase{"agv", "", "", {{"AGV", R"(<Base id="a1"/>)"}}, {}, true,
                  "[DeviceManager]: Factory returned nullptr for device ID: a1", {}},
        FatalCase{"unsupported_robot", "", "", {{"Robot", R"(<AuboRobot id="arm"/>)"}}, {}, true,
                  "[DeviceManager]: Factory returned nullptr for device ID: arm",
                  {"[DeviceFactory]: Unsupported device type AuboRobot\n"}},
        FatalCase{"type_name_case", "", "", {{"Robot", R"(<humanoid id="body"/>)"}}, {}, true,
                  "[DeviceManager]: Factory returned nullptr for device ID: body",
                  {"[DeviceFactory]: Unsupported device type humanoid\n"}},
        FatalCase{"driver_refuses_settings", "", "", {{"Speaker", R"(<ffmpegSpeaker id="s" volume="150"/>)"}}, {},
                  true, "[DeviceManager]: Factory returned nullptr for device ID: s", {}},
        FatalCase{"hand_record_refused", "", R"(rh56dftp_dexhands { id: "h" side: "middle" })", {}, {}, true,
                  "[DeviceManager]: Factory returned nullptr for device ID: h", {}},
        FatalCase{"later_group_after_good_devices", "", "",
                  {{"Robot", R"(<Humanoid id="body"/>)"}, {"BioHead", R"(<esp32 id="h"/><esp32 id="h2" />
                    <ESP32 id="h3"/>)"}},
                  {}, true, "[DeviceManager]: Factory returned nullptr for device ID: h3",
                  {"[DeviceFactory]: Unsupported device type ESP32\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    MissingElements, FatalStartupTest,
    ::testing::Values(FatalCase{"Devices", "", "", {}, {}, false, "[DeviceManager]: missing element Devices", {}},
                      FatalCase{"Battery", "", "", {}, {"Battery"}, true,
                                "[DeviceManager]: missing element Devices/Battery", {}},
                      FatalCase{"AGV", "", "", {}, {"AGV"}, true, "[DeviceManager]: missing element Devices/AGV", {}},
                      FatalCase{"Robot", "", "", {}, {"Robot"}, true,
                                "[DeviceManager]: missing element Devices/Robot", {}},
                      FatalCase{"Microphone", "", "", {}, {"Microphone"}, true,
                                "[DeviceManager]: missing element Devices/Microphone", {}},
                      FatalCase{"Speaker", "", "", {}, {"Speaker"}, true,
                                "[DeviceManager]: missing element Devices/Speaker", {}},
                      FatalCase{"BioHead", "", "", {{"Robot", R"(<Humanoid id="body"/>)"}}, {"BioHead"}, true,
                                "[DeviceManager]: missing element Devices/BioHead", {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovak::device
