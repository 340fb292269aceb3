// Settings, lifecycle and single images of the simulated cameras.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "drivers/camera_sim/include/pixel_types.h"
#include "drivers/camera_sim/include/scene_renderer.h"
#include "tests/unit/camera/camera_test_utils.h"

namespace tovak::test {
namespace {

using tovak::device::CameraState;
using tovak::device::RealsenseCamera;
using tovak::device::Rs2Intrinsics;
using tovak::device::UVCCamera;

CameraState stateOf(tovak::device::AbstractCamera& cam) {
  CameraState s;
  cam.getState(s);
  return s;
}

TEST(CameraSettings, ElementOrRecordWithOnlyAnIdGivesTheDefaults) {
  auto from_xml = makeCamera<RealsenseCamera>("rs");
  tovak::config::UVCCameraConfig rec;
  rec.set_id("uvc");
  UVCCamera from_record(rec);
  for (tovak::device::AbstractCamera* cam : {static_cast<tovak::device::AbstractCamera*>(from_xml.get()),
                                             static_cast<tovak::device::AbstractCamera*>(&from_record)}) {
    const CameraState s = stateOf(*cam);
    EXPECT_EQ(s.width, 640);
    EXPECT_EQ(s.height, 480);
    EXPECT_EQ(s.fps, 30);
    EXPECT_FALSE(s.is_opened);
  }
  EXPECT_EQ(from_record.id(), "uvc");
  EXPECT_EQ(from_xml->settings().gop, 30);
  EXPECT_DOUBLE_EQ(from_xml->settings().hfov, 69.0);
  EXPECT_DOUBLE_EQ(from_record.settings().hfov, 60.0);
}

TEST(CameraSettings, InvalidValuesAreRefusedNamingDeviceSettingAndValue) {
  struct Case {
    const char* attr;
    const char* value;
  };
  const Case cases[] = {{"width", "641"}, {"width", "wide"}, {"width", "8000"}, {"height", "0"},
                        {"fps", "0"},     {"fps", "500"},    {"gop", "0"},      {"hfov", "10"},
                        {"hfov", "nan"},  {"fps", "30fps"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.attr) + "=" + c.value);
    try {
      RealsenseCamera cam(xmlElement(std::string("<RealsenseCamera id=\"rs9\" ") + c.attr + "=\"" + c.value + "\"/>"));
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("rs9"), std::string::npos) << text;
      EXPECT_NE(text.find(c.attr), std::string::npos) << text;
      EXPECT_NE(text.find(c.value), std::string::npos) << text;
    }
  }
  tovak::config::RealSenseCameraConfig rec;
  rec.set_id("rs8");
  rec.set_height(-4);
  EXPECT_THROW(RealsenseCamera{rec}, std::invalid_argument);
}

TEST(CameraSettings, UpdateParamsChangesSettingsOnlyWhileStopped) {
  auto cam = makeCamera<RealsenseCamera>("rs", "fps=\"60\"");
  cam->updateParams({"width", "320"});
  cam->updateParams({"height", "240"});
  EXPECT_EQ(stateOf(*cam).width, 320);
  EXPECT_EQ(stateOf(*cam).fps, 60);
  cam->start();
  cv::Mat img;
  Rs2Intrinsics k;
  cam->getRGBImage(img, k);
  EXPECT_EQ(img.cols, 320);
  EXPECT_EQ(img.rows, 240);
  const std::string refused = thrownText([&] { cam->updateParams({"width", "640"}); });
  EXPECT_NE(refused.find("stop it first"), std::string::npos) << refused;
  EXPECT_EQ(stateOf(*cam).width, 320);
  const std::string unknown = thrownText([&] { cam->updateParams({"zoom", "2"}); });
  EXPECT_NE(unknown.find("zoom"), std::string::npos) << unknown;
  EXPECT_NE(thrownText([&] { cam->updateParams({"fps", "-1"}); }), "");
  cam->stop();
  cam->updateParams({"width", "640"});
  EXPECT_EQ(stateOf(*cam).width, 640);
}

TEST(CameraLifecycle, OperationsOnAStoppedCameraNameIt) {
  auto cam = makeCamera<RealsenseCamera>("chest_camera");
  cv::Mat a, b;
  Rs2Intrinsics k;
  size_t index = 0;
  tovak::device::StreamFrameData fd;
  const std::function<void()> ops[] = {
      [&] { cam->getRGBImage(a, k); },        [&] { cam->getDepthImage(a, k); },
      [&] { cam->getRGBDImages(a, b, k); },   [&] { cam->startRecording("/tmp/x.mp4"); },
      [&] { cam->startStreaming(); },         [&] { cam->getEncodedFrame(fd, index); },
      [&] { cam->get3DPointFromPixel(1, 1); }};
  for (int round = 0; round < 2; ++round) {
    for (const auto& op : ops) EXPECT_EQ(thrownText(op), "camera chest_camera is not started");
    cam->start();
    cam->start();  // already started: nothing changes
    EXPECT_TRUE(stateOf(*cam).is_opened);
    cam->getRGBImage(a, k);
    cam->stop();
    cam->stop();
    EXPECT_FALSE(stateOf(*cam).is_opened);
  }
  auto uninitialised = std::make_shared<RealsenseCamera>(xmlElement("<RealsenseCamera id=\"raw\"/>"));
  EXPECT_EQ(thrownText([&] { uninitialised->start(); }), "camera raw is not initialised");
  EXPECT_TRUE(stateOf(*cam).is_initialized);
  EXPECT_FALSE(stateOf(*uninitialised).is_initialized);
}

TEST(CameraImages, DepthAndColourComeFromOneSceneThroughTheIntrinsics) {
  auto cam = makeCamera<RealsenseCamera>("rs");
  cam->start();
  cv::Mat color, depth;
  Rs2Intrinsics k;
  cam->getRGBDImages(color, depth, k);
  ASSERT_EQ(color.type(), CV_8UC3);
  ASSERT_EQ(depth.type(), CV_16UC1);
  EXPECT_TRUE(color.isContinuous());
  EXPECT_TRUE(depth.isContinuous());
  EXPECT_EQ(color.size(), cv::Size(640, 480));
  EXPECT_EQ(depth.size(), color.size());
  const double f = 640 / (2 * std::tan(69.0 * M_PI / 360));
  EXPECT_NEAR(k.fx, f, 1e-3);
  EXPECT_NEAR(k.fy, f, 1e-3);
  EXPECT_FLOAT_EQ(k.cx, 319.5f);
  EXPECT_FLOAT_EQ(k.cy, 239.5f);
  for (float c : k.coeffs) EXPECT_EQ(c, 0.0f);

  // The bottom rows always see the floor: deprojected through the
  // intrinsics, every such pixel lies at the camera's height below it.
  const double h = tovak::device::sim::SceneRenderer::kCameraHeight;
  for (int u = 0; u < 640; u += 71) {
    const int v = 479;
    const double z = depth.at<uint16_t>(v, u) / 1000.0;
    EXPECT_NEAR((v - k.cy) * z / k.fy, h, 0.01) << "u=" << u;
    const Eigen::Vector3f p = cam->get3DPointFromPixel(u, v);
    EXPECT_NEAR(p.y(), h, 0.01);
    EXPECT_NEAR(p.z(), z, 0.002);
    EXPECT_NEAR(p.x(), (u - k.cx) * z / k.fx, 0.002);
  }
  // The top row sees the back wall.
  EXPECT_EQ(depth.at<uint16_t>(0, 320), 6000);
  EXPECT_NE(thrownText([&] { cam->get3DPointFromPixel(640, 0); }).find("0..639"), std::string::npos);
  EXPECT_NE(thrownText([&] { cam->get3DPointFromPixel(0, -1); }).find("0..479"), std::string::npos);
}

TEST(CameraImages, TheSceneMovesWithTime) {
  auto cam = makeCamera<UVCCamera>("uvc");
  cam->start();
  cv::Mat first, later;
  Rs2Intrinsics k;
  cam->getRGBImage(first, k);
  int changed = 0;
  // 300 ms is nine frames; a slow (sanitised, loaded) machine may need longer.
  for (int i = 0; i < 50 && changed <= 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cam->getRGBImage(later, k);
    cv::Mat diff;
    cv::absdiff(first, later, diff);
    changed = cv::countNonZero(diff.reshape(1));
  }
  EXPECT_GT(changed, 1000);
}

TEST(CameraImages, UvcCameraRefusesDepth) {
  auto cam = makeCamera<UVCCamera>("head_camera");
  cam->start();
  cv::Mat a, b;
  Rs2Intrinsics k;
  const std::string no_depth = "camera head_camera has no depth sensor (colour-only UVC camera)";
  EXPECT_EQ(thrownText([&] { cam->getDepthImage(a, k); }), no_depth);
  EXPECT_EQ(thrownText([&] { cam->getRGBDImages(a, b, k); }), no_depth);
  EXPECT_EQ(thrownText([&] { cam->get3DPointFromPixel(0, 0); }), no_depth);
  EXPECT_NE(thrownText([&] { cam->updateParams({"depth_pixel_type", "CV_16UC1"}); }), "");
  cam->getRGBImage(a, k);
  EXPECT_EQ(a.type(), CV_8UC3);
}

TEST(CameraImages, ChosenPixelTypesAndEmptyImagesReachTheCaller) {
  auto cam = makeCamera<RealsenseCamera>("rs", "width=\"64\" height=\"48\"");
  cam->start();
  const int types[] = {CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3, CV_16FC1, CV_32FC1, CV_32SC1, CV_64FC1};
  cv::Mat img, depth;
  Rs2Intrinsics k;
  for (int type : types) {
    const std::string name = tovak::device::sim::pixelTypeName(type);
    SCOPED_TRACE(name);
    cam->updateParams({"color_pixel_type", name});
    cam->updateParams({"depth_pixel_type", name});
    cam->getRGBImage(img, k);
    EXPECT_EQ(img.type(), type);
    EXPECT_EQ(img.size(), cv::Size(64, 48));
    EXPECT_TRUE(img.isContinuous());
    cam->getDepthImage(depth, k);
    EXPECT_EQ(depth.type(), type);
    EXPECT_EQ(depth.size(), cv::Size(64, 48));
    cam->getRGBDImages(img, depth, k);
    EXPECT_EQ(img.type(), type);
    EXPECT_EQ(depth.type(), type);
  }
  cam->updateParams({"color_pixel_type", "native"});
  cam->updateParams({"depth_pixel_type", "CV_32FC1"});
  cam->getRGBDImages(img, depth, k);
  EXPECT_EQ(img.type(), CV_8UC3);
  // Metres: the wall is 6 m away.
  EXPECT_NEAR(depth.at<float>(0, 32), 6.0f, 1e-3);
  const std::string bad = thrownText([&] { cam->updateParams({"color_pixel_type", "CV_8SC1"}); });
  EXPECT_NE(bad.find("CV_8SC1"), std::string::npos) << bad;
  EXPECT_NE(bad.find("CV_16UC1"), std::string::npos) << bad;

  cam->updateParams({"empty_image", "color"});
  cam->getRGBDImages(img, depth, k);
  EXPECT_TRUE(img.empty());
  EXPECT_FALSE(depth.empty());
  EXPECT_NEAR(k.fx, 64 / (2 * std::tan(69.0 * M_PI / 360)), 1e-3);  // intrinsics still filled
  cam->updateParams({"empty_image", "both"});
  cam->getDepthImage(depth, k);
  EXPECT_TRUE(depth.empty());
  cam->updateParams({"empty_image", "none"});
  cam->getRGBImage(img, k);
  EXPECT_FALSE(img.empty());
  EXPECT_NE(thrownText([&] { cam->updateParams({"empty_image", "sometimes"}); }), "");
}

TEST(CameraImages, InjectedFaultHitsTheNamedOperationOnce) {
  auto cam = makeCamera<RealsenseCamera>("rs");
  cam->start();
  cam->updateParams({"fault", "getDepthImage:sensor unplugged"});
  cv::Mat img;
  Rs2Intrinsics k;
  cam->getRGBImage(img, k);
  EXPECT_EQ(thrownText([&] { cam->getDepthImage(img, k); }), "sensor unplugged");
  EXPECT_EQ(thrownText([&] { cam->getDepthImage(img, k); }), "");
}

TEST(UvcDevice, AMissingOrUnusableDeviceIsRefusedAtStartNamingIt) {
  for (const std::string device : {"/dev/video-does-not-exist", "/dev/null"}) {
    SCOPED_TRACE(device);
    auto cam = makeCamera<UVCCamera>("head_camera", "device=\"" + device + "\"");
    const std::string text = thrownText([&] { cam->start(); });
    EXPECT_NE(text.find("camera head_camera"), std::string::npos) << text;
    EXPECT_NE(text.find(device), std::string::npos) << text;
    const CameraState s = stateOf(*cam);
    EXPECT_FALSE(s.is_opened);
    EXPECT_TRUE(s.is_error);
    EXPECT_EQ(s.error_message, text);
    // Back to the synthetic scene: the camera starts and the error is cleared.
    cam->updateParams({"device", ""});
    cam->start();
    EXPECT_FALSE(stateOf(*cam).is_error);
  }
}

}  // namespace
}  // namespace tovak::test
