// Reading the camera and hand configuration files.

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/utils/config_helper/include/config_helper.h"
#include "common/utils/io/proto_message_utils.h"
#include "drivers/common/include/config_flags.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak {
namespace {

const std::string kNoSuchFile = ": No such file or directory [2]";

// "{path}" in an expected line stands for the file the case uses.
std::string withPath(std::string text, const std::string& path) {
  const auto at = text.find("{path}");
  if (at != std::string::npos) text.replace(at, 6, path);
  return text;
}

std::vector<std::string> linesFrom(const test::LogCapture& logs) {
  std::vector<std::string> out;
  for (const auto& line : logs.lines()) {
    out.push_back(std::string(line.severity == google::GLOG_INFO ? "I " : "E ") + line.text);
  }
  return out;
}

std::string idsOf(const config::CameraConfig& c) {
  std::string ids;
  for (const auto& u : c.uvc_cameras()) ids += "uvc:" + u.id() + " ";
  for (const auto& r : c.realsense_cameras()) ids += "rs:" + r.id() + " ";
  return ids;
}

std::string idsOf(const config::DexHandConfig& c) {
  std::string ids;
  for (const auto& h : c.rh56dftp_dexhands()) ids += "hand:" + h.id() + " ";
  return ids;
}

struct HelperCase {
  const char* name;
  bool cameras;                        // camera file, else hand file
  std::optional<std::string> content;  // nullopt: no such file
  bool empty_flag;
  bool expected_result;
  std::vector<std::string> expected_lines;  // "I "/"E " + text, in order
  std::string expected_ids;                 // the message starts with one "stale" entry
};
void PrintTo(const HelperCase& c, std::ostream* os) { *os << c.name; }

class ConfigHelperTest : public ::testing::TestWithParam<HelperCase> {
 protected:
  test::ScratchDir dir_;
};

TEST_P(ConfigHelperTest, ReadsTheFileTheFlagNames) {
  const HelperCase& c = GetParam();
  const std::string path = dir_.file("config.pb.txt");
  if (c.content) dir_.write("config.pb.txt", *c.content);
  const std::string flag_value = c.empty_flag ? "" : path;
  (c.cameras ? FLAGS_camera_config_file : FLAGS_dexhand_config_file) = flag_value;

  test::LogCapture logs;
  bool result = false;
  std::string ids;
  if (c.cameras) {
    config::CameraConfig message;
    message.add_uvc_cameras()->set_id("stale");
    result = ConfigHelper::getCamerasConfig(message);
    ids = idsOf(message);
  } else {
    config::DexHandConfig message;
    message.add_rh56dftp_dexhands()->set_id("stale");
    result = ConfigHelper::getDexHandsConfig(message);
    ids = idsOf(message);
  }

  EXPECT_EQ(result, c.expected_result);
  std::vector<std::string> expected = {std::string("I FLAGS_") + (c.cameras ? "camera" : "dexhand") +
                                       "_config_file = " + flag_value};
  for (const auto& line : c.expected_lines) expected.push_back(withPath(line, path));
  EXPECT_EQ(linesFrom(logs), expected);
  EXPECT_EQ(ids, c.expected_ids);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigHelperTest,
    ::testing::Values(
        HelperCase{"cameras_in_file_order",
                   true,
                   R"(uvc_cameras { id: "u1" width: 320 }
                      realsense_cameras { id: "r1" }
                      uvc_cameras { id: "u2" })",
                   false,
                   true,
                   {},
                   "uvc:u1 uvc:u2 rs:r1 "},
        HelperCase{"hands",
                   false,
                   R"(rh56dftp_dexhands { id: "l" side: "left" } rh56dftp_dexhands { id: "r" })",
                   false,
                   true,
                   {},
                   "hand:l hand:r "},
        HelperCase{"empty_file_gives_empty_message", true, "", false, true, {}, ""},
        HelperCase{"missing_file",
                   false,
                   std::nullopt,
                   false,
                   false,
                   {"E Failed to open ASCII proto file: {path}" + kNoSuchFile,
                    "E Failed to load ASCII proto config from: {path}"},
                   "hand:stale "},
        HelperCase{"unknown_field",
                   true,
                   R"(uvc_cameras { id: "u1" } mech_cameras { id: "m" })",
                   false,
                   false,
                   {"E Failed to parse ASCII proto file: {path}", "E Failed to load ASCII proto config from: {path}"},
                   "uvc:u1 "},
        HelperCase{"wrong_type",
                   false,
                   R"(rh56dftp_dexhands { id: "h" baudrate: "fast" })",
                   false,
                   false,
                   {"E Failed to parse ASCII proto file: {path}", "E Failed to load ASCII proto config from: {path}"},
                   "hand:h "},
        HelperCase{"empty_flag", false, "", true, false, {"E Empty file name."}, "hand:stale "}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReaderCase {
  const char* name;
  std::optional<std::string> content;
  bool optional;
  std::vector<std::string> expected_lines;
};
void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class ProtoReaderTest : public ::testing::TestWithParam<ReaderCase> {
 protected:
  test::ScratchDir dir_;
};

TEST_P(ProtoReaderTest, FailuresAreLoggedBySeverityOfNeed) {
  const ReaderCase& c = GetParam();
  const std::string path = dir_.file("m.pb.txt");
  if (c.content) dir_.write("m.pb.txt", *c.content);
  config::CameraConfig message;
  test::LogCapture logs;
  EXPECT_FALSE(ProtoMessageIo::getProtoFromAsciiFile(path, &message, c.optional));
  std::vector<std::string> expected;
  for (const auto& line : c.expected_lines) expected.push_back(withPath(line, path));
  EXPECT_EQ(linesFrom(logs), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProtoReaderTest,
    ::testing::Values(
        ReaderCase{
            "required_missing", std::nullopt, false, {"E Failed to open ASCII proto file: {path}" + kNoSuchFile}},
        ReaderCase{"optional_missing",
                   std::nullopt,
                   true,
                   {"I Optional ASCII proto file not found/openable: {path}" + kNoSuchFile}},
        ReaderCase{"required_invalid", "uvc_cameras {", false, {"E Failed to parse ASCII proto file: {path}"}},
        ReaderCase{"optional_invalid", "uvc_cameras {", true, {"I Failed to parse optional ASCII proto file: {path}"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtoReaderTest, NullMessageIsRefused) {
  test::LogCapture logs;
  EXPECT_FALSE(ProtoMessageIo::getProtoFromAsciiFile("/etc/hostname", nullptr, true));
  EXPECT_EQ(linesFrom(logs),
            std::vector<std::string>{"E Null message pointer when reading ASCII proto file: /etc/hostname"});
}

size_t openDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(ProtoReaderTest, ClosesTheFileOnEveryPath) {
  test::ScratchDir dir;
  const std::string good = dir.write("good.pb.txt", R"(uvc_cameras { id: "u" })");
  const std::string bad = dir.write("bad.pb.txt", "uvc_cameras {");
  config::CameraConfig message;
  const size_t before = openDescriptors();
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(ProtoMessageIo::getProtoFromAsciiFile(good, &message, false));
    EXPECT_FALSE(ProtoMessageIo::getProtoFromAsciiFile(bad, &message, true));
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tovak
