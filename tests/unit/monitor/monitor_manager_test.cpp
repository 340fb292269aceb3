// The monitor manager is created once per process, so each test here needs a
// process of its own: CTest runs each test separately, and a test that finds
// the manager already created is skipped.

#include "monitor_manager/include/monitor_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "monitor/diskmonitor/include/disk_monitor.h"
#include "monitor_manager/include/monitor_factory.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak::monitor {
namespace {

using tovak::test::parseXml;

bool managerExists() {
  try {
    MonitorManager::getInstance();
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

#define REQUIRE_FRESH_PROCESS() \
  if (managerExists()) GTEST_SKIP() << "the manager was created earlier in this process; run through ctest"

// Two real folders, so each monitor can be told apart by the path it watches.
class MonitorManagerTest : public ::testing::Test {
 protected:
  std::string disk(const std::string& attrs) const { return "<DiskMonitor " + attrs + "/>"; }
  tovak::test::ScratchDir first_;
  tovak::test::ScratchDir second_;
  std::string first_path_ = first_.file("");
  std::string second_path_ = second_.file("");
};

std::string pathOf(const std::shared_ptr<AbstractMonitor>& monitor) {
  auto disk = std::dynamic_pointer_cast<DiskMonitor>(monitor);
  return disk ? disk->path() : "(not a DiskMonitor)";
}

TEST_F(MonitorManagerTest, KeepsTheFirstDiskMonitorUnderItsId) {
  REQUIRE_FRESH_PROCESS();
  MonitorManager& manager = MonitorManager::getInstance(
      parseXml("<MonitorManager><CpuMonitor id=\"cpu\"/>" + disk("id=\"d\" path=\"" + first_path_ + "\"") +
               disk("id=\"e\" path=\"" + second_path_ + "\"") + "</MonitorManager>"));
  ASSERT_EQ(manager.monitors().size(), 1u);
  ASSERT_EQ(manager.monitors().count("d"), 1u);
  EXPECT_EQ(pathOf(manager.monitors().at("d")), first_path_);
  EXPECT_EQ(&MonitorManager::getInstance(), &manager);
}

TEST_F(MonitorManagerTest, MonitorWithoutIdIsKeptUnderTheEmptyText) {
  REQUIRE_FRESH_PROCESS();
  MonitorManager& manager = MonitorManager::getInstance(
      parseXml("<MonitorManager>" + disk("path=\"" + first_path_ + "\"") + "</MonitorManager>"));
  ASSERT_EQ(manager.monitors().size(), 1u);
  EXPECT_EQ(pathOf(manager.monitors().at("")), first_path_);
}

TEST_F(MonitorManagerTest, LaterGetInstanceReturnsTheFirstManager) {
  REQUIRE_FRESH_PROCESS();
  MonitorManager& first = MonitorManager::getInstance(
      parseXml("<MonitorManager>" + disk("id=\"a\" path=\"" + first_path_ + "\"") + "</MonitorManager>"));
  MonitorManager& again = MonitorManager::getInstance(
      parseXml("<MonitorManager>" + disk("id=\"b\" path=\"" + second_path_ + "\"") + "</MonitorManager>"));
  EXPECT_EQ(&first, &again);
  ASSERT_EQ(again.monitors().size(), 1u);
  EXPECT_EQ(pathOf(again.monitors().at("a")), first_path_);
}

TEST_F(MonitorManagerTest, WithoutDiskMonitorRunsNoMonitor) {
  REQUIRE_FRESH_PROCESS();
  tovak::test::LogCapture logs;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  MonitorManager& manager =
      MonitorManager::getInstance(parseXml("<MonitorManager><CpuMonitor id=\"c\"/></MonitorManager>"));
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(manager.monitors().empty());
  EXPECT_EQ(logs.count("[MonitorManager] (init_monitors): no DiskMonitor configured, running without monitors",
                       google::GLOG_INFO),
            1);
  // The missing element is not looked up as if it were there.
  EXPECT_EQ(err.find("failed to get child:"), std::string::npos) << err;
  EXPECT_EQ(out.find("xmlparser cannot get node"), std::string::npos) << out;
}

TEST_F(MonitorManagerTest, AMonitorThatCannotBeBuiltFailsCreationWhichCanBeRetried) {
  REQUIRE_FRESH_PROCESS();
  tovak::test::LogCapture logs;
  const std::string text = "[DiskMonitor]: threshold '0' is not valid: expected an integer from 1 to 100";
  try {
    MonitorManager::getInstance(parseXml(
        "<MonitorManager>" + disk("id=\"d\" threshold=\"0\" path=\"" + first_path_ + "\"") + "</MonitorManager>"));
    FAIL() << "created";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
  // Logged as it is, without a tag of the manager's own.
  ASSERT_EQ(logs.lines().size(), 1u);
  EXPECT_EQ(logs.lines()[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(logs.lines()[0].text, text);
  EXPECT_FALSE(managerExists());

  MonitorManager& manager = MonitorManager::getInstance(
      parseXml("<MonitorManager>" + disk("id=\"d\" path=\"" + first_path_ + "\"") + "</MonitorManager>"));
  EXPECT_EQ(manager.monitors().count("d"), 1u);
}

TEST(MonitorManagerSingletonTest, GetInstanceBeforeCreationThrows) {
  REQUIRE_FRESH_PROCESS();
  try {
    MonitorManager::getInstance();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "[MonitorManager] (getInstance): MonitorManager not initialized. Call getInstance(const XmlNode&) "
                 "first.");
  }
}

TEST(MonitorFactoryTest, GenericCreateChoosesByElementNameOrThrows) {
  MonitorFactory factory;
  EXPECT_NE(std::dynamic_pointer_cast<DiskMonitor>(factory.create(parseXml(R"(<DiskMonitor path="/"/>)"))), nullptr);
  try {
    factory.create(parseXml(R"(<CpuMonitor/>)"));
    FAIL() << "created";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[MonitorFactory]: Unsupported monitor type CpuMonitor");
  }
}

}  // namespace
}  // namespace tovak::monitor
