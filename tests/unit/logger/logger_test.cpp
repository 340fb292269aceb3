#include "utils/base/include/logger.h"

#include <gflags/gflags.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// The Logger element of a configuration with the given attribute text.
XmlNode loggerNode(const std::string& attrs) {
  std::istringstream in("<Config><Logger " + attrs + "/></Config>");
  const XmlNode root(in);
  return root.getChild("Logger");
}

std::string attr(const std::string& name, const std::string& value) {
  return name + "=\"" + value + "\" ";
}

class InitLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // With no mask the created mode is exactly what mkdir asked for, so a
    // wrong mode (0777, 0700) cannot hide behind the usual 022.
    old_umask_ = umask(0);
    std::string tmpl = (fs::temp_directory_path() / "logger_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    umask(old_umask_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Values no step of initLogger would write, to see which steps ran.
  static void setSentinels() {
    FLAGS_log_dir = "sentinel";
    FLAGS_minloglevel = 2;
    FLAGS_logbufsecs = 77;
    FLAGS_max_log_size = 77;
    FLAGS_logtostderr = true;
    FLAGS_alsologtostderr = false;
  }

  gflags::FlagSaver flags_;  // every glog flag a test touches is restored
  std::string dir_;
  mode_t old_umask_ = 0;
};

TEST_F(InitLoggerTest, CreatesMissingDirectoryWithMode0755) {
  const std::string logs = dir_ + "/logs";
  ASSERT_TRUE(initLogger(loggerNode(attr("dir", logs))));
  struct stat st {};
  ASSERT_EQ(stat(logs.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(FLAGS_log_dir, logs);

  // An existing directory is used as it is.
  ASSERT_TRUE(initLogger(loggerNode(attr("dir", dir_))));
  EXPECT_EQ(FLAGS_log_dir, dir_);
}

TEST_F(InitLoggerTest, RefusesMissingOrUncreatableDirectoryAndAppliesNothing) {
  const std::string orphan = dir_ + "/no/such";
  XmlNode noLogger;
  CaptureStdout();
  CaptureStderr();
  {
    std::istringstream in("<Config/>");
    noLogger = XmlNode(in).getChild("Logger");
  }
  GetCapturedStderr();
  GetCapturedStdout();

  const struct {
    const char* label;
    XmlNode cfg;
    std::string message;
  } cases[] = {
      {"missing parent", loggerNode(attr("dir", orphan)), "Failed to create directory: " + orphan + "\n"},
      {"empty dir", loggerNode(attr("dir", "") + attr("level", "warn")), "Error: no directory specified\n"},
      {"no dir", loggerNode(attr("level", "warn")), "Error: no directory specified\n"},
      {"no Logger element", noLogger, "Error: no directory specified\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    setSentinels();
    CaptureStderr();
    const bool ok = initLogger(c.cfg);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_FALSE(ok);
    EXPECT_EQ(FLAGS_log_dir, "sentinel");
    EXPECT_EQ(FLAGS_minloglevel, 2);
    EXPECT_EQ(FLAGS_logbufsecs, 77);
    EXPECT_EQ(FLAGS_max_log_size, 77u);
    EXPECT_TRUE(FLAGS_logtostderr);
    EXPECT_FALSE(FLAGS_alsologtostderr);
  }
  EXPECT_FALSE(fs::exists(dir_ + "/no"));  // parents are never created
}

TEST_F(InitLoggerTest, LevelWordsAreExactAndCaseSensitive) {
  const struct {
    std::optional<std::string> level;  // nullopt: attribute absent
    std::optional<int> expected;       // nullopt: level left unchanged
  } cases[] = {
      {"info", 0}, {"warn", 1}, {"error", 2}, {"fatal", 3}, {std::nullopt, 0},
      {"WARN", std::nullopt}, {"Info", std::nullopt}, {"warning", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level ? "'" + *c.level + "'" : std::string("absent"));
    // A starting level that differs from every possible outcome of the row.
    const int before = c.expected ? (*c.expected + 1) % 4 : 3;
    FLAGS_minloglevel = before;
    const std::string attrs = attr("dir", dir_) + (c.level ? attr("level", *c.level) : "");
    ASSERT_TRUE(initLogger(loggerNode(attrs)));
    EXPECT_EQ(FLAGS_minloglevel, c.expected.value_or(before));
  }
}

TEST_F(InitLoggerTest, AppliesBufferingRotationAndOutputSettings) {
  const struct {
    const char* attrs;
    int bufsecs;
    unsigned maxSize;
  } cases[] = {
      {"", 5, 1024},
      {R"(bufSize="abc")", 0, 1024},
      {R"(bufSize="12s" logSize="7")", 12, 7},
      {R"(bufSize="" logSize="x")", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attrs);
    setSentinels();
    ASSERT_TRUE(initLogger(loggerNode(attr("dir", dir_) + c.attrs)));
    EXPECT_EQ(FLAGS_logbufsecs, c.bufsecs);
    EXPECT_EQ(FLAGS_max_log_size, c.maxSize);
    EXPECT_EQ(FLAGS_log_dir, dir_);
    EXPECT_FALSE(FLAGS_logtostderr);
    EXPECT_TRUE(FLAGS_alsologtostderr);
  }
}

TEST_F(InitLoggerTest, RepeatedCallsKeepGlogAliveAndApplyLatestSettings) {
  ASSERT_TRUE(initLogger(loggerNode(attr("dir", dir_) + attr("level", "warn"))));
  ASSERT_TRUE(initLogger(loggerNode(attr("dir", dir_) + attr("level", "error") + attr("bufSize", "9"))));
  EXPECT_TRUE(google::IsGoogleLoggingInitialized());
  EXPECT_EQ(FLAGS_minloglevel, 2);
  EXPECT_EQ(FLAGS_logbufsecs, 9);
}

TEST_F(InitLoggerTest, WritesFilteredLinesToFilesInDirectoryAndToStderr) {
  const std::string logs = dir_ + "/logs";
  // In a child process: glog opens its files once per process.
  EXPECT_EXIT(
      {
        initLogger(loggerNode(attr("dir", logs) + attr("level", "warn")));
        LOG(INFO) << "quiet-marker";
        LOG(WARNING) << "loud-marker";
        google::FlushLogFiles(google::GLOG_INFO);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "loud-marker");

  std::string contents;
  bool namedAfterProgram = false;
  for (const auto& entry : fs::directory_iterator(logs)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    namedAfterProgram |= entry.path().filename().string().rfind("tovak_es.", 0) == 0;
    std::ifstream in(entry.path());
    contents.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_TRUE(namedAfterProgram);
  EXPECT_NE(contents.find("loud-marker"), std::string::npos);
  EXPECT_EQ(contents.find("quiet-marker"), std::string::npos);
}

}  // namespace
