#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "device_manager/include/device_factory.h"
#include "drivers/ffmpeg_microphone/include/ffmpeg_microphone.h"
#include "drivers/ffmpeg_speaker/include/ffmpeg_speaker.h"
#include "drivers/head_esp32/include/head_esp32.h"
#include "drivers/humanoid_robot/include/humanoid_robot.h"
#include "drivers/realsense_camera/include/realsense_camera.h"
#include "drivers/rh56dftp_dexhand/include/rh56dftp_dexhand.h"
#include "drivers/uvc_camera/include/uvc_camera.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"
#include "tovak/config/camera_config/camera_config.pb.h"
#include "tovak/config/dexhand_config/dexhand_config.pb.h"

namespace tovak::device {
namespace {

// What the factory made of one element: nothing, or a device whose dynamic
// type the case checks.
using Made = std::shared_ptr<AbstractDevice>;

template <class T>
std::function<Made(DeviceFactory&, const XmlNode&)> kind() {
  return [](DeviceFactory& f, const XmlNode& cfg) -> Made { return f.create<T>(cfg); };
}

template <class Driver>
std::function<bool(const Made&)> is() {
  return [](const Made& made) { return std::dynamic_pointer_cast<Driver>(made) != nullptr; };
}

struct XmlCase {
  const char* name;
  std::function<Made(DeviceFactory&, const XmlNode&)> create;
  std::string element;
  std::function<bool(const Made&)> expected_driver;  // empty: no device expected
  bool unsupported_logged;
};
void PrintTo(const XmlCase& c, std::ostream* os) { *os << c.name; }

class FactoryXmlTest : public ::testing::TestWithParam<XmlCase> {};

TEST_P(FactoryXmlTest, ChoosesTheDriverByElementName) {
  const XmlCase& c = GetParam();
  DeviceFactory factory;
  const XmlNode element = tovak::test::parseXml(c.element);
  tovak::test::LogCapture logs;
  const Made made = c.create(factory, element);

  if (c.expected_driver) {
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(c.expected_driver(made));
    EXPECT_EQ(made->id(), "d1");
  } else {
    EXPECT_EQ(made, nullptr);
  }
  const std::string unsupported = "[DeviceFactory]: Unsupported device type " + element.getNodeName();
  EXPECT_EQ(logs.count(unsupported, google::GLOG_ERROR), c.unsupported_logged ? 1 : 0);
  // Refused or failed construction is reported by the registry, not here.
  if (!c.unsupported_logged) {
    EXPECT_EQ(logs.count("[DeviceFactory]"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Factory, FactoryXmlTest,
    ::testing::Values(
        XmlCase{"uvc_camera", kind<AbstractCamera>(), R"(<UVCCamera id="d1"/>)", is<UVCCamera>(), false},
        XmlCase{"realsense_camera", kind<AbstractCamera>(), R"(<RealsenseCamera id="d1"/>)", is<RealsenseCamera>(),
                false},
        XmlCase{"mechmind_not_supported", kind<AbstractCamera>(), R"(<MechMind id="d1"/>)", {}, true},
        XmlCase{"camera_name_case", kind<AbstractCamera>(), R"(<uvcCamera id="d1"/>)", {}, true},
        XmlCase{"dexhand", kind<AbstractDexHand>(), R"(<RH56DFTP id="d1"/>)", is<RH56DFTPDexhand>(), false},
        XmlCase{"dexhand_other_name", kind<AbstractDexHand>(), R"(<RH56 id="d1"/>)", {}, true},
        XmlCase{"microphone", kind<AbstractMicrophone>(), R"(<ffmpegMicPhone id="d1"/>)", is<ffmpegMicroPhone>(),
                false},
        XmlCase{"microphone_class_name", kind<AbstractMicrophone>(), R"(<ffmpegMicroPhone id="d1"/>)", {}, true},
        XmlCase{"humanoid", kind<AbstractRobot>(), R"(<Humanoid id="d1"/>)", is<HumanoidRobot<14>>(), false},
        XmlCase{"humanoid_lower_case", kind<AbstractRobot>(), R"(<humanoid id="d1"/>)", {}, true},
        XmlCase{"aubo_not_supported", kind<AbstractRobot>(), R"(<AuboRobot id="d1"/>)", {}, true},
        XmlCase{"head", kind<AbstractBiohead>(), R"(<esp32 id="d1"/>)", is<BioHeadRobot>(), false},
        XmlCase{"head_upper_case", kind<AbstractBiohead>(), R"(<ESP32 id="d1"/>)", {}, true},
        XmlCase{"speaker", kind<AbstractSpeaker>(), R"(<ffmpegSpeaker id="d1"/>)", is<ffmpegSpeaker>(), false},
        // A type of another kind is not this kind's.
        XmlCase{"speaker_given_camera", kind<AbstractSpeaker>(), R"(<UVCCamera id="d1"/>)", {}, true},
        // The driver refuses its settings: no device, and not an unsupported type.
        XmlCase{"speaker_refuses_volume", kind<AbstractSpeaker>(), R"(<ffmpegSpeaker id="d1" volume="150"/>)", {},
                false},
        // No driver exists for these kinds, whatever the element.
        XmlCase{"battery", kind<AbstractBattery>(), R"(<Battery id="d1"/>)", {}, false},
        XmlCase{"agv", kind<AbstractAGV>(), R"(<AGV id="d1"/>)", {}, false},
        XmlCase{"gripper", kind<AbstractGripper>(), R"(<Gripper id="d1"/>)", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FactoryRecordTest, EachRecordTypeMakesItsDriver) {
  DeviceFactory factory;
  tovak::config::UVCCameraConfig uvc;
  uvc.set_id("c0");
  tovak::config::RealSenseCameraConfig realsense;
  realsense.set_id("rs0");
  tovak::config::RH56DFTPDexHandConfig hand;
  hand.set_id("h0");
  hand.set_side("right");

  const auto camera = factory.createFromConfig<AbstractCamera>(uvc);
  const auto depth = factory.createFromConfig<AbstractCamera>(realsense);
  const auto dexhand = factory.createFromConfig<AbstractDexHand>(hand);
  ASSERT_NE(std::dynamic_pointer_cast<UVCCamera>(camera), nullptr);
  ASSERT_NE(std::dynamic_pointer_cast<RealsenseCamera>(depth), nullptr);
  ASSERT_NE(std::dynamic_pointer_cast<RH56DFTPDexhand>(dexhand), nullptr);
  EXPECT_EQ(camera->id(), "c0");
  EXPECT_EQ(depth->id(), "rs0");
  EXPECT_EQ(dexhand->id(), "h0");
}

TEST(FactoryRecordTest, RefusedRecordGivesNoDeviceAndNoLogLine) {
  DeviceFactory factory;
  tovak::config::RH56DFTPDexHandConfig hand;
  hand.set_id("h0");
  hand.set_side("middle");
  tovak::test::LogCapture logs;
  EXPECT_EQ(factory.createFromConfig<AbstractDexHand>(hand), nullptr);
  EXPECT_EQ(logs.count("[DeviceFactory]"), 0);
}

}  // namespace
}  // namespace tovak::device
