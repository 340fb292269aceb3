// Whole-registry operations on registries installed with createForTesting, so
// the devices can be small recording fakes.

#include <algorithm>
#include <list>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_manager/include/device_manager.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak::device {
namespace {

using Journal = std::vector<std::string>;

// Records every lifecycle call as "<id>:<operation>" and throws on the one
// operation it is told to fail.
class RecordingBattery : public AbstractBattery {
 public:
  RecordingBattery(std::string id, Journal& journal, std::string fail_on = "")
      : AbstractBattery(XmlNode()), journal_(journal), fail_on_(std::move(fail_on)) {
    id_ = std::move(id);
  }
  void start() override { record_("start"); }
  void stop() override { record_("stop"); }
  void updateParams(const std::pair<std::string, std::string>& param) override {
    record_("updateParams " + param.first + "=" + param.second);
  }

 private:
  void record_(const std::string& op) {
    journal_.push_back(id_ + ":" + op);
    if (op.rfind(fail_on_, 0) == 0 && !fail_on_.empty()) throw std::runtime_error(id_ + " " + fail_on_ + " jammed");
  }
  Journal& journal_;
  std::string fail_on_;
};

std::vector<std::string> iterationOrder(DeviceManager& dm) {
  std::list<std::pair<std::string, std::string>> list;
  dm.getDeviceList(list);
  std::vector<std::string> ids;
  for (const auto& entry : list) ids.push_back(entry.first);
  return ids;
}

template <class Call>
std::string errorOf(Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

struct WalkCase {
  const char* name;
  const char* call;     // start, stop or restart
  const char* fail_on;  // operation the device b3 fails
  const char* expected_prefix;
};
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class LifecycleWalkTest : public ::testing::TestWithParam<WalkCase> {};

// The walk goes through the registry in its own order and stops at the
// device that throws: the ones after it are not reached.
TEST_P(LifecycleWalkTest, StopsAtTheDeviceThatThrows) {
  const WalkCase& c = GetParam();
  Journal journal;
  std::unordered_map<std::string, DeviceVariant> devices;
  for (const std::string id : {"b1", "b2", "b3", "b4", "b5"}) {
    devices[id] = std::make_shared<RecordingBattery>(id, journal, id == "b3" ? c.fail_on : "");
  }
  DeviceManager& dm = DeviceManager::createForTesting(std::move(devices));
  const std::vector<std::string> order = iterationOrder(dm);
  const std::string call = c.call;

  tovak::test::LogCapture logs;
  const std::string error = errorOf([&] {
    if (call == "start") dm.start();
    if (call == "stop") dm.stop();
    if (call == "restart") dm.restart();
  });
  EXPECT_EQ(error, std::string(c.expected_prefix) + "b3 " + c.fail_on + " jammed");
  EXPECT_EQ(logs.count("[DeviceManager]: b3 " + std::string(c.fail_on) + " jammed", google::GLOG_ERROR), 1);

  // Restart stops everything first; a walk that fails ends at b3.
  Journal expected;
  const bool stops_all_first = call == "restart" && std::string(c.fail_on) == "start";
  if (stops_all_first) {
    for (const auto& id : order) expected.push_back(id + ":stop");
  }
  const std::string walked = (call == "restart") ? c.fail_on : call;
  for (const auto& id : order) {
    expected.push_back(id + ":" + walked);
    if (id == "b3") break;
  }
  EXPECT_EQ(journal, expected);

  const std::string verb = walked == "start" ? "Start" : "Stop";
  for (const auto& id : order) {
    if (id == "b3") break;
    EXPECT_EQ(logs.count("[DeviceManager]: " + verb + " device " + id + " Success", google::GLOG_INFO), 1) << id;
  }
  EXPECT_FALSE(logs.contains(verb + " device b3 Success"));
}

INSTANTIATE_TEST_SUITE_P(
    Registry, LifecycleWalkTest,
    ::testing::Values(WalkCase{"stop", "stop", "stop", "[DeviceManager] (stop): Device manager stop failed: "},
                      WalkCase{"start", "start", "start", "[DeviceManager] (start): Device manager start failed: "},
                      WalkCase{"restart_failing_stop", "restart", "stop",
                               "[DeviceManager] (stop): Device manager stop failed: "},
                      WalkCase{"restart_failing_start", "restart", "start",
                               "[DeviceManager] (start): Device manager start failed: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryOperationsTest, StopAllWarnsAboutEmptyEntriesAndGoesOn) {
  Journal journal;
  DeviceManager& dm = DeviceManager::createForTesting({
      {"b1", std::make_shared<RecordingBattery>("b1", journal)},
      {"ghost", std::shared_ptr<AbstractCamera>()},
      {"b2", std::make_shared<RecordingBattery>("b2", journal)},
  });
  tovak::test::LogCapture logs;
  dm.stop();
  std::sort(journal.begin(), journal.end());
  EXPECT_EQ(journal, (Journal{"b1:stop", "b2:stop"}));
  EXPECT_EQ(logs.count("[DeviceManager]: Null pointer for device ghost", google::GLOG_WARNING), 1);
}

TEST(RegistryOperationsTest, DeviceListNamesEachKindAndReplacesTheListContent) {
  DeviceManager& dm = DeviceManager::createForTesting({
      {"agv", std::shared_ptr<AbstractAGV>()},
      {"battery", std::shared_ptr<AbstractBattery>()},
      {"cam0", std::shared_ptr<AbstractCamera>()},
      {"hand", std::shared_ptr<AbstractDexHand>()},
      {"gripper", std::shared_ptr<AbstractGripper>()},
      {"mic", std::shared_ptr<AbstractMicrophone>()},
      {"body", std::shared_ptr<AbstractRobot>()},
      {"spk", std::shared_ptr<AbstractSpeaker>()},
      {"head", std::shared_ptr<AbstractBiohead>()},
  });
  tovak::test::LogCapture logs;
  std::list<std::pair<std::string, std::string>> list = {{"stale", "Camera"}};
  dm.getDeviceList(list);
  std::vector<std::pair<std::string, std::string>> sorted(list.begin(), list.end());
  std::sort(sorted.begin(), sorted.end());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"agv", "AGV"},     {"battery", "Battery"}, {"body", "Robot"},       {"cam0", "Camera"}, {"gripper", "Gripper"},
      {"hand", "DexHand"}, {"head", "BioHead"},    {"mic", "Microphone"}, {"spk", "Speaker"}};
  EXPECT_EQ(sorted, expected);
  EXPECT_EQ(logs.count("[DeviceManager] (getDeviceList): get device list success", google::GLOG_INFO), 1);
}

TEST(RegistryOperationsTest, UpdateParamReachesTheDeviceOrNamesTheId) {
  Journal journal;
  DeviceManager& dm = DeviceManager::createForTesting({
      {"b1", std::make_shared<RecordingBattery>("b1", journal)},
      {"b2", std::make_shared<RecordingBattery>("b2", journal, "updateParams")},
  });
  tovak::test::LogCapture logs;

  dm.updateParam("b1", {"volume", "30"});
  EXPECT_EQ(journal, (Journal{"b1:updateParams volume=30"}));

  // The device's own error passes through untouched.
  EXPECT_EQ(errorOf([&] { dm.updateParam("b2", {"volume", "30"}); }), "b2 updateParams jammed");

  EXPECT_EQ(errorOf([&] { dm.updateParam("b9", {"volume", "30"}); }), "[DeviceManager]: Device ID b9 not found.");
  EXPECT_EQ(logs.count("[DeviceManager]: Device ID b9 not found.", google::GLOG_WARNING), 1);
}

TEST(RegistryOperationsTest, TypedLookup) {
  Journal journal;
  auto battery = std::make_shared<RecordingBattery>("b1", journal);
  DeviceManager& dm = DeviceManager::createForTesting({{"b1", battery}, {"body", std::shared_ptr<AbstractRobot>()}});
  tovak::test::LogCapture logs;

  EXPECT_EQ(dm.getDevice<AbstractBattery>("b1"), battery);
  EXPECT_EQ(errorOf([&] { dm.getDevice<AbstractCamera>("body"); }), "[DeviceManager]: Device ID body type mismatch.");
  EXPECT_EQ(errorOf([&] { dm.getDevice<AbstractCamera>("cam9"); }), "[DeviceManager]: Device ID cam9 not found.");
  EXPECT_EQ(logs.count("[DeviceManager]: Device ID body type mismatch.", google::GLOG_WARNING), 1);
  EXPECT_EQ(logs.count("[DeviceManager]: Device ID cam9 not found.", google::GLOG_WARNING), 1);
}

TEST(RegistryOperationsTest, TestRegistryReplacesTheSingletonAndIsNotRebuilt) {
  Journal journal;
  DeviceManager::createForTesting({{"old", std::make_shared<RecordingBattery>("old", journal)}});
  DeviceManager& installed =
      DeviceManager::createForTesting({{"new", std::make_shared<RecordingBattery>("new", journal)}},
                                      SystemInfo{"9", "fake", "", "", "", ""});
  EXPECT_EQ(&DeviceManager::getInstance(), &installed);
  // A configuration without Devices would end the process if it were built.
  EXPECT_EQ(&DeviceManager::getInstance(tovak::test::parseXml("<DeviceManager/>")), &installed);
  EXPECT_EQ(iterationOrder(installed), (std::vector<std::string>{"new"}));
  SystemInfo info;
  installed.getSystemInfo(info);
  EXPECT_EQ(info.version, "9");
  EXPECT_EQ(info.name, "fake");
}

}  // namespace
}  // namespace tovak::device
