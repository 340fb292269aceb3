// tovakctl as a user runs it: a child process talking to the real tovak_es
// over 127.0.0.1, judged by its exit status, its output and the files it
// writes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "drivers/common/include/ffmpeg_raii.h"
#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using tovak::test::ServerProcess;
using tovak::test::TestConfig;

struct CtlRun {
  int code = -1;  // exit status; -1 when it had to be killed
  std::string out, err;
  double seconds = 0;
};

// Runs tovakctl with `args`; sends SIGINT once `interrupt_when` holds, if
// given; kills it (code -1) if it outlives `limit`.
CtlRun runCtl(const std::vector<std::string>& args, const std::string& dir, std::chrono::milliseconds limit = 30s,
              const std::function<bool()>& interrupt_when = nullptr) {
  const std::string exe = std::string(TOVAK_BIN_DIR) + "/tovakctl";
  const std::string out_path = dir + "/ctl.out", err_path = dir + "/ctl.err";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  CtlRun r;
  bool interrupted = false;
  while (true) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      r.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (interrupt_when && !interrupted && interrupt_when()) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    if (elapsed > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.out = tovak::test::readFile(out_path);
  r.err = tovak::test::readFile(err_path);
  return r;
}

std::string describe(const std::vector<std::string>& args, const CtlRun& r) {
  std::string s = "tovakctl";
  for (const auto& a : args) s += " " + a;
  return s + "\n  exit " + std::to_string(r.code) + "\n  stdout: " + r.out + "\n  stderr: " + r.err;
}

size_t lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

std::vector<Json::Value> parseJsonLines(const std::string& text) {
  std::vector<Json::Value> out;
  std::istringstream in(text);
  Json::CharReaderBuilder b;
  for (std::string line; std::getline(in, line);) {
    Json::Value v;
    std::string errs;
    std::istringstream ls(line);
    EXPECT_TRUE(Json::parseFromStream(b, ls, &v, &errs)) << errs << " in: " << line;
    EXPECT_TRUE(v.isObject()) << line;
    out.push_back(v);
  }
  return out;
}

// Decodes a raw H.264 file the way a player opens it (demuxer, then decoder).
struct Decoded {
  int frames = 0, width = 0, height = 0;
  std::string error;
};

Decoded decodeH264File(const std::string& path) {
  namespace ff = tovak::ffmpeg;
  Decoded d;
  AVFormatContext* raw = nullptr;
  if (int e = avformat_open_input(&raw, path.c_str(), av_find_input_format("h264"), nullptr); e < 0) {
    d.error = "open: " + ff::errorText(e);
    return d;
  }
  ff::InputFormatPtr in(raw);
  if (int e = avformat_find_stream_info(in.get(), nullptr); e < 0 || in->nb_streams < 1) {
    d.error = "stream info: " + ff::errorText(e);
    return d;
  }
  const AVCodec* codec = avcodec_find_decoder(in->streams[0]->codecpar->codec_id);
  ff::CodecContextPtr cc(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(cc.get(), in->streams[0]->codecpar);
  if (int e = avcodec_open2(cc.get(), codec, nullptr); e < 0) {
    d.error = "decoder: " + ff::errorText(e);
    return d;
  }
  auto pkt = ff::makePacket();
  auto frame = ff::makeFrame();
  auto drain = [&] {
    while (avcodec_receive_frame(cc.get(), frame.get()) == 0) {
      ++d.frames;
      d.width = frame->width;
      d.height = frame->height;
    }
  };
  while (av_read_frame(in.get(), pkt.get()) >= 0) {
    if (avcodec_send_packet(cc.get(), pkt.get()) < 0) d.error = "a packet did not decode";
    av_packet_unref(pkt.get());
    drain();
  }
  avcodec_send_packet(cc.get(), nullptr);
  drain();
  return d;
}

class ClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tovak::test::makeTempDir("tovakctl_test_");
    server_ = std::make_unique<ServerProcess>(TestConfig{});
    ASSERT_TRUE(server_->waitListening()) << server_->err();
  }
  void TearDown() override {
    server_.reset();
    tovak::test::removeTree(dir_);
  }

  CtlRun ctl(std::vector<std::string> args, std::chrono::milliseconds limit = 30s,
             const std::function<bool()>& interrupt_when = nullptr) {
    args.insert(args.begin(), {"--address", server_->address()});
    return runCtl(args, dir_, limit, interrupt_when);
  }
  // A step a test depends on; its failure is the test's failure.
  void must(const std::vector<std::string>& args) {
    const CtlRun r = ctl(args);
    ASSERT_EQ(r.code, 0) << describe(args, r);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  std::unique_ptr<ServerProcess> server_;
};

// One or more calls of every service, each with the text that shows the
// answer was understood and printed.
TEST_F(ClientE2E, CallsOfEveryServiceSucceedWithReadableOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {{"list"}, "left_hand"},
      {{"system", "info"}, "tovak_es"},
      {{"system", "status"}, "MiB"},
      {{"system", "update-params", "speaker", "volume=40"}, "1 parameter(s) handed to speaker"},
      {{"camera", "status", "head_camera"}, "640x480 px"},
      {{"camera", "start", "chest_camera"}, "ok"},
      {{"camera", "depth", "chest_camera"}, "U16C1"},
      {{"camera", "GetRGBImage", "chest_camera"}, "fx "},
      {{"robot", "joints", "humanoid"}, "L_SHOULDER_P"},
      {{"robot", "movej", "humanoid", "L_SHOULDER_P=0.2", "--vel", "0.5"}, "moving 1 joint"},
      {{"robot", "pose", "humanoid", "L_HAND"}, "L_HAND in PELVIS_S"},
      {{"hand", "status", "left_hand"}, "TEMP"},
      {{"hand", "set-angles", "left_hand", "2=0.7", "3=0.5"}, "angles set for 2 DOF"},
      {{"hand", "tactile", "left_hand"}, "thumb middle"},
      {{"head", "status", "head"}, "ok"},
      {{"head", "set", "head", "eyebrow.left_outside_y=0.2"}, "pose set"},
      {{"head", "happy", "head"}, "ok"},
      {{"speaker", "get-volume", "speaker"}, "volume 40"},
      {{"mic", "status", "microphone"}, "recording"},
      {{"hlc", "touch"}, "answered in"},
  };
  for (const auto& c : cases) {
    const CtlRun r = ctl(c.args);
    EXPECT_EQ(r.code, 0) << describe(c.args, r);
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << "expected '" << c.expect << "' in\n" << describe(c.args, r);
  }
}

// Every failure ends with its documented status and a one-line reason; a
// usage error also prints the usage line.
TEST_F(ClientE2E, FailuresExitWithTheirStatusAndOneLineReason) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string expect;  // in standard error
  };
  const std::vector<Case> cases = {
      {{"camera", "rgb", "no_such_camera"}, 2, "Device ID no_such_camera not found"},
      {{"speaker", "status", "head_camera"}, 2, "type mismatch"},
      // The robot service fails with status INTERNAL; its message is the reason.
      {{"robot", "joints", "no_such_robot"}, 2, "getJointState failed: [DeviceManager]: Device ID no_such_robot not found."},
      {{"robot", "movej", "humanoid", "NO_SUCH_JOINT=0.1"}, 2, "NO_SUCH_JOINT"},
      {{"hand", "set-angles", "left_hand", "9=0.5"}, 2, "9"},
      {{"camera", "stream", "rgb", "no_such_camera", "--frames", "1"}, 2, "not found"},
      {{"hand", "tactile", "no_such_hand", "--stream"}, 2, "without data"},
      {{}, 64, "missing <service>"},
      {{"nosuch"}, 64, "unknown service 'nosuch'"},
      {{"camera", "nosuch"}, 64, "camera has no call 'nosuch'"},
      {{"camera", "rgb"}, 64, "missing <device-id>"},
      {{"hand", "set-angles", "left_hand", "2=abc"}, 64, "'abc' is not a number"},
      {{"robot", "movej", "humanoid", "L_SHOULDER_P=0.1", "--bogus"}, 64, "unknown option '--bogus'"},
      {{"camera", "stream", "rgb", "head_camera", "--frames", "2", "--seconds", "1"}, 64, "not both"},
      {{"--timeout", "0", "list"}, 64, "--timeout"},
  };
  for (const auto& c : cases) {
    const CtlRun r = ctl(c.args);
    EXPECT_EQ(r.code, c.code) << describe(c.args, r);
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << "expected '" << c.expect << "' in\n" << describe(c.args, r);
    EXPECT_EQ(lines(r.err), c.code == 64 ? 2u : 1u) << describe(c.args, r);
    if (c.code == 64) {
      EXPECT_NE(r.err.find("usage: tovakctl"), std::string::npos) << describe(c.args, r);
    }
  }
}

TEST(ClientWithoutServer, UnreachableServerExitsThreeWithinTheTimeout) {
  const std::string dir = tovak::test::makeTempDir("tovakctl_test_");
  const std::string address = "127.0.0.1:" + std::to_string(tovak::test::pickFreePort());
  const std::vector<std::string> args = {"--address", address, "--timeout", "1", "list"};
  // How long the client takes to start and stop on this machine right now,
  // so that the bound below holds on a loaded one too.
  const double startup = runCtl({"--help"}, dir, 60s).seconds;
  const CtlRun r = runCtl(args, dir, 60s);
  tovak::test::removeTree(dir);
  EXPECT_EQ(r.code, 3) << describe(args, r);
  EXPECT_NE(r.err.find("cannot reach " + address), std::string::npos) << describe(args, r);
  EXPECT_NE(r.err.find("refused"), std::string::npos) << describe(args, r);
  EXPECT_EQ(lines(r.err), 1u) << describe(args, r);
  EXPECT_LT(r.seconds, 1.0 + 2 * startup + 1.0) << "a 1 s timeout took " << r.seconds << " s; start-up " << startup << " s";
}

TEST_F(ClientE2E, JsonOutputIsOneObjectPerResponse) {
  {
    const CtlRun r = ctl({"--json", "list"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto v = parseJsonLines(r.out);
    ASSERT_EQ(v.size(), 1u) << r.out;
    EXPECT_TRUE(v[0]["header"]["success"].asBool());
    bool hand = false;
    for (const auto& d : v[0]["device_list"]) hand |= d["device_id"] == "left_hand" && d["device_type"] == "DexHand";
    EXPECT_TRUE(hand) << r.out;
  }
  {
    const CtlRun r = ctl({"hand", "tactile", "right_hand", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto v = parseJsonLines(r.out);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["sensor"].size(), 17u);
    EXPECT_EQ(v[0]["sensor"][16]["finger_type"], "PALM");
  }
  {
    // A failed call still prints its response, with the failure in it.
    const CtlRun r = ctl({"--json", "speaker", "get-volume", "no_such_speaker"});
    EXPECT_EQ(r.code, 2);
    const auto v = parseJsonLines(r.out);
    ASSERT_EQ(v.size(), 1u) << r.out;
    EXPECT_FALSE(v[0]["header"]["success"].asBool());
    EXPECT_NE(v[0]["header"]["error_message"].asString().find("no_such_speaker"), std::string::npos);
  }
  {
    must({"camera", "start", "head_camera"});
    const CtlRun r = ctl({"--json", "camera", "stream", "rgb", "head_camera", "--frames", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto v = parseJsonLines(r.out);
    ASSERT_EQ(v.size(), 3u) << r.out;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(v[static_cast<size_t>(i)]["seq_no"].asInt(), i);
      EXPECT_EQ(v[static_cast<size_t>(i)]["color_frame"]["width"].asInt(), 640);
    }
  }
}

TEST_F(ClientE2E, ImagesAreWrittenAsFilesOpenCvReads) {
  must({"camera", "start", "chest_camera"});
  const CtlRun rgb = ctl({"camera", "rgb", "chest_camera", "-o", path("colour.png")});
  ASSERT_EQ(rgb.code, 0) << rgb.err;
  EXPECT_NE(rgb.out.find("640x480"), std::string::npos) << rgb.out;
  EXPECT_NE(rgb.out.find("U8C3"), std::string::npos) << rgb.out;
  EXPECT_NE(rgb.out.find("coeffs ["), std::string::npos) << rgb.out;
  const cv::Mat colour = cv::imread(path("colour.png"), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(colour.empty());
  EXPECT_EQ(colour.type(), CV_8UC3);
  EXPECT_EQ(colour.cols, 640);
  EXPECT_EQ(colour.rows, 480);
  cv::Scalar mean, stddev;
  cv::meanStdDev(colour, mean, stddev);
  EXPECT_GT(stddev[0] + stddev[1] + stddev[2], 1.0) << "the scene should not be one flat colour";
  // The simulated scene has a blue sky at the top: a viewer of the file must
  // see it blue, so blue must be where image files keep it.
  const cv::Scalar sky = cv::mean(colour.rowRange(0, 150));
  EXPECT_GT(sky[0], 1.3 * sky[2]) << "sky B,G,R = " << sky[0] << "," << sky[1] << "," << sky[2];

  // Depth keeps its 16 bits.
  const CtlRun depth = ctl({"camera", "depth", "chest_camera", "-o", path("depth.png")});
  ASSERT_EQ(depth.code, 0) << depth.err;
  const cv::Mat d = cv::imread(path("depth.png"), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d.type(), CV_16UC1);
  double lo = 0, hi = 0;
  cv::minMaxLoc(d, &lo, &hi);
  EXPECT_GT(hi, 255.0) << "16-bit depth values should survive the file";

  const CtlRun rgbd = ctl({"camera", "rgbd", "chest_camera", "-o", path("pair.png")});
  ASSERT_EQ(rgbd.code, 0) << rgbd.err;
  EXPECT_EQ(cv::imread(path("pair.png"), cv::IMREAD_UNCHANGED).type(), CV_8UC3);
  EXPECT_EQ(cv::imread(path("pair-depth.png"), cv::IMREAD_UNCHANGED).type(), CV_16UC1);

  // A float depth image cannot go into a PNG (a local error, nothing
  // written) but keeps its values in a TIFF.
  must({"system", "update-params", "chest_camera", "depth_pixel_type=CV_32FC1"});
  const CtlRun fl = ctl({"camera", "depth", "chest_camera", "-o", path("float.png")});
  EXPECT_EQ(fl.code, 1) << fl.err;
  EXPECT_NE(fl.err.find(".tiff"), std::string::npos) << fl.err;
  EXPECT_FALSE(std::filesystem::exists(path("float.png")));
  const CtlRun tiff = ctl({"camera", "depth", "chest_camera", "-o", path("float.tiff")});
  ASSERT_EQ(tiff.code, 0) << tiff.err;
  EXPECT_NE(tiff.out.find("F32C1"), std::string::npos) << tiff.out;
  EXPECT_EQ(cv::imread(path("float.tiff"), cv::IMREAD_UNCHANGED).type(), CV_32FC1);
}

TEST_F(ClientE2E, StreamFileIsPlayableH264) {
  must({"camera", "start", "head_camera"});
  const CtlRun r = ctl({"camera", "stream", "rgb", "head_camera", "-o", path("clip.h264"), "--frames", "20"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("20 frames of 640x480"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0 dropped"), std::string::npos) << r.err;
  const Decoded d = decodeH264File(path("clip.h264"));
  EXPECT_EQ(d.error, "");
  EXPECT_EQ(d.frames, 20);
  EXPECT_EQ(d.width, 640);
  EXPECT_EQ(d.height, 480);
}

TEST_F(ClientE2E, CtrlCEndsAStreamCleanly) {
  must({"camera", "start", "chest_camera"});
  const std::vector<std::string> args = {"camera", "stream", "rgbd", "chest_camera", "-o", path("rgbd.h264")};
  // Ctrl-C once the stream is well under way (about 30 frames written).
  std::optional<std::chrono::steady_clock::time_point> pressed;
  const CtlRun r = ctl(args, 20s, [&] {
    std::error_code ec;
    if (std::filesystem::file_size(path("rgbd.h264"), ec) < 100000 || ec) return false;
    pressed = std::chrono::steady_clock::now();
    return true;
  });
  ASSERT_EQ(r.code, 0) << describe(args, r);
  ASSERT_TRUE(pressed) << "the stream never got going: " << describe(args, r);
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - *pressed).count();
  EXPECT_LT(after, 3.0) << "Ctrl-C should end the stream promptly";
  EXPECT_NE(r.err.find("(interrupted)"), std::string::npos) << r.err;
  const Decoded colour = decodeH264File(path("rgbd.h264"));
  const Decoded depth = decodeH264File(path("rgbd-depth.h264"));
  EXPECT_EQ(colour.error, "");
  EXPECT_EQ(depth.error, "");
  EXPECT_GE(colour.frames, 10);
  EXPECT_EQ(depth.frames, colour.frames);
}

TEST_F(ClientE2E, TactileStreamDrawsTheHeatMap) {
  const CtlRun r = ctl({"hand", "tactile", "left_hand", "--stream", "--frames", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("frame 3"), std::string::npos);
  EXPECT_EQ(r.out.find("frame 4"), std::string::npos);
  for (const char* finger : {"pinky", "ring", "middle", "index", "thumb", "palm"})
    EXPECT_NE(r.out.find(finger), std::string::npos) << finger;
  EXPECT_NE(r.out.find("\x1b[38;5;"), std::string::npos) << "cells are drawn in 256-colour ANSI";
}

TEST_F(ClientE2E, HeadStreamSendsThePoseFile) {
  tovak::test::writeFile(path("face.poses"),
                         "# a nod of the eyebrows\n"
                         "eyebrow.left_outside_y=0.2 eyebrow.right_outside_y=0.2\n"
                         "\n"
                         "{\"eyebrow\": {\"left_outside_y\": 0.4}, \"jaw\": {\"y\": 0.1}}\n"
                         "eyebrow.left_outside_y=0 jaw.y=0\n");
  const CtlRun r = ctl({"head", "stream", "head", path("face.poses"), "--rate", "5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("sent 3 of 3 poses at 5 Hz, 3 applied"), std::string::npos) << r.out;

  tovak::test::writeFile(path("bad.poses"), "jaw.y=0.1\njaw.nope=1\n");
  const CtlRun bad = ctl({"head", "stream", "head", path("bad.poses")});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("bad.poses:2: 'jaw.nope' is not a field"), std::string::npos) << bad.err;
}

}  // namespace
