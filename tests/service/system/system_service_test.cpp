#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <climits>
#include <fstream>
#include <map>
#include <memory>

#include "service/grpc/include/grpc_system_service.h"
#include "tests/service/audio/fake_devices.h"
#include "tests/support/grpc_test_utils.h"
#include "tests/support/log_capture.h"

namespace {

using namespace tovak::api;
using tovak::device::DeviceManager;
using tovak::device::DeviceVariant;
using tovak::test::FakeCamera;
using tovak::test::FakeHead;
using tovak::test::FakeMicrophone;
using tovak::test::FakeSpeaker;
using Calls = std::vector<std::string>;

TEST(RenderParamValue, EachValueKindHasItsText) {
  struct Case {
    const char* what;
    std::function<void(ConfigParam&)> set;
    std::string text;
  } cases[] = {
      {"unset", [](ConfigParam&) {}, "[UNSET]"},
      {"int", [](ConfigParam& p) { p.set_int_value(7); }, "7"},
      {"negative int", [](ConfigParam& p) { p.set_int_value(-12); }, "-12"},
      {"int min", [](ConfigParam& p) { p.set_int_value(INT_MIN); }, "-2147483648"},
      {"int zero", [](ConfigParam& p) { p.set_int_value(0); }, "0"},
      {"double", [](ConfigParam& p) { p.set_double_value(0.5); }, "0.500000"},
      {"negative double", [](ConfigParam& p) { p.set_double_value(-2); }, "-2.000000"},
      {"tiny double", [](ConfigParam& p) { p.set_double_value(1e-7); }, "0.000000"},
      {"rounded double", [](ConfigParam& p) { p.set_double_value(2.0000005001); }, "2.000001"},
      {"large double", [](ConfigParam& p) { p.set_double_value(1e20); }, "100000000000000000000.000000"},
      {"string", [](ConfigParam& p) { p.set_string_value("alsa:hw:1,0"); }, "alsa:hw:1,0"},
      {"empty string", [](ConfigParam& p) { p.set_string_value(""); }, ""},
      {"true", [](ConfigParam& p) { p.set_bool_value(true); }, "true"},
      {"false", [](ConfigParam& p) { p.set_bool_value(false); }, "false"},
      {"bytes", [](ConfigParam& p) { p.set_bytes_value(std::string("\x0A\xFF\x00\x5c", 4)); }, "0AFF005C"},
      {"no bytes", [](ConfigParam& p) { p.set_bytes_value(""); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigParam p;
    p.set_param_name("x");
    c.set(p);
    EXPECT_EQ(tovak::service::renderParamValue(p), c.text);
  }
}

TEST(DeviceTypeOf, KindNamesMapExactlyAndTheRestIsUnknown) {
  const std::map<std::string, DeviceType> cases = {
      {"AGV", AGV},     {"Battery", Battery},       {"Camera", Camera}, {"DexHand", DexHand},
      {"Gripper", Gripper}, {"Microphone", Microphone}, {"Robot", Robot},   {"Speaker", Speaker},
      {"Unknown", Unknown}, {"BioHead", Unknown},       {"camera", Unknown}, {"", Unknown},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(tovak::service::deviceTypeOf(name), type) << name;
}

// A registry of fakes behind a real SystemService.
class SystemServiceTest : public ::testing::Test {
 protected:
  void serve(std::unordered_map<std::string, DeviceVariant> devices, tovak::device::SystemInfo info = {}) {
    stub_.reset();
    server_.reset();
    service_.reset();
    DeviceManager::createForTesting(std::move(devices), std::move(info));
    service_ = std::make_unique<tovak::service::gRPCSystemServiceImpl>();
    server_ = std::make_unique<tovak::test::InProcessServer>(std::vector<grpc::Service*>{service_.get()});
    stub_ = SystemService::NewStub(server_->channel());
  }
  UpdateParamsCommand_Feedback update(const std::string& id, const std::vector<ConfigParam>& params) {
    UpdateParamsCommand_Request req;
    req.mutable_header()->set_device_id(id);
    for (const auto& p : params) *req.add_params() = p;
    UpdateParamsCommand_Feedback resp;
    grpc::ClientContext ctx;
    EXPECT_TRUE(stub_->UpdateParams(&ctx, req, &resp).ok());
    return resp;
  }
  static ConfigParam param(const std::string& name, std::function<void(ConfigParam&)> set = {}) {
    ConfigParam p;
    p.set_param_name(name);
    if (set) set(p);
    return p;
  }

  std::shared_ptr<FakeSpeaker> speaker_ = std::make_shared<FakeSpeaker>();
  std::unique_ptr<tovak::service::gRPCSystemServiceImpl> service_;
  std::unique_ptr<tovak::test::InProcessServer> server_;
  std::unique_ptr<SystemService::Stub> stub_;
};

TEST_F(SystemServiceTest, UpdateParamsHandsEachRenderedPairOnInOrder) {
  serve({{"spk", speaker_}});
  tovak::test::LogCapture log;
  const auto resp = update("spk", {param("gain", [](auto& p) { p.set_int_value(7); }), param("mode"),
                                   param("raw", [](auto& p) { p.set_bytes_value("\x0A\xFF"); }),
                                   param("ratio", [](auto& p) { p.set_double_value(1e-7); }),
                                   param("loop", [](auto& p) { p.set_bool_value(false); })});
  EXPECT_TRUE(resp.header().success()) << resp.header().error_message();
  EXPECT_EQ(speaker_->calls(), (Calls{"updateParams:gain=7", "updateParams:mode=[UNSET]", "updateParams:raw=0AFF",
                                      "updateParams:ratio=0.000000", "updateParams:loop=false"}));
  EXPECT_EQ(log.count("[UpdateParams] Param '", google::GLOG_WARNING), 1);
  EXPECT_EQ(log.count("[UpdateParams] Param 'mode' has no value", google::GLOG_WARNING), 1);
  EXPECT_EQ(log.count("[gRPCSystemServiceImpl] (UpdateParams): id=spk", google::GLOG_INFO), 1);
}

TEST_F(SystemServiceTest, UpdateParamsStopsAtTheFirstRejectedParameter) {
  serve({{"spk", speaker_}});
  speaker_->failCall("updateParams:bad=2", "speaker spk: bad is out of range");
  const auto resp = update("spk", {param("a", [](auto& p) { p.set_int_value(1); }),
                                   param("bad", [](auto& p) { p.set_int_value(2); }),
                                   param("c", [](auto& p) { p.set_int_value(3); })});
  EXPECT_FALSE(resp.header().success());
  EXPECT_EQ(resp.header().error_message(), "speaker spk: bad is out of range");
  EXPECT_TRUE(resp.header().has_timestamp());
  EXPECT_EQ(speaker_->calls(), (Calls{"updateParams:a=1", "updateParams:bad=2"})) << "c is never handed on";
}

TEST_F(SystemServiceTest, UpdateParamsLooksTheIdUpOnlyForAParameter) {
  serve({{"spk", speaker_}});
  auto resp = update("ghost", {});
  EXPECT_TRUE(resp.header().success()) << "an empty list calls nothing, whatever the id";
  EXPECT_TRUE(resp.header().has_timestamp());
  resp = update("ghost", {param("a", [](auto& p) { p.set_int_value(1); })});
  EXPECT_FALSE(resp.header().success());
  EXPECT_EQ(resp.header().error_message(), "[DeviceManager]: Device ID ghost not found.");
  EXPECT_TRUE(speaker_->calls().empty());
}

TEST_F(SystemServiceTest, GetSystemStatusListsEveryDeviceWithItsType) {
  serve({{"cam", std::make_shared<FakeCamera>()},
         {"spk", speaker_},
         {"mic", std::make_shared<FakeMicrophone>()},
         {"head", std::make_shared<FakeHead>()}});
  GetSystemStatusCommand_Feedback resp;
  grpc::ClientContext ctx;
  ASSERT_TRUE(stub_->GetSystemStatus(&ctx, GetSystemStatusCommand_Request(), &resp).ok());
  ASSERT_TRUE(resp.header().success()) << resp.header().error_message();
  std::map<std::string, DeviceType> listed;
  for (const auto& d : resp.device_list()) listed[d.device_id()] = d.device_type();
  EXPECT_EQ(listed, (std::map<std::string, DeviceType>{
                        {"cam", Camera}, {"spk", Speaker}, {"mic", Microphone}, {"head", Unknown}}));
  EXPECT_EQ(resp.device_list_size(), 4);

  // Memory in MiB, disk in GiB, as the host reports them.
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  long long kib = 0;
  meminfo >> key >> kib;
  ASSERT_EQ(key, "MemTotal:");
  EXPECT_FLOAT_EQ(resp.mem_total_mb(), static_cast<float>(kib) / 1024.0f);
  EXPECT_GT(resp.mem_used_mb(), 0.0f);
  EXPECT_LE(resp.mem_used_mb(), resp.mem_total_mb());
  struct statvfs fs {};
  ASSERT_EQ(statvfs("/", &fs), 0);
  const double total_gib = static_cast<double>(fs.f_blocks) * fs.f_frsize / (1024.0 * 1024.0 * 1024.0);
  EXPECT_NEAR(resp.disk_total_gb(), total_gib, total_gib * 1e-4);
  EXPECT_GT(resp.disk_used_gb(), 0.0f);
  EXPECT_LE(resp.disk_used_gb(), resp.disk_total_gb());
  EXPECT_GE(resp.cpu_usage(), 0.0f);
  EXPECT_LE(resp.cpu_usage(), 100.0f);

  serve({});
  GetSystemStatusCommand_Feedback empty;
  grpc::ClientContext ctx2;
  ASSERT_TRUE(stub_->GetSystemStatus(&ctx2, GetSystemStatusCommand_Request(), &empty).ok());
  EXPECT_TRUE(empty.header().success());
  EXPECT_EQ(empty.device_list_size(), 0);
}

TEST_F(SystemServiceTest, GetSystemInfoSendsEachFieldButTheDescription) {
  serve({}, {"2.3", "pelmo", "lab robot", "Debian GNU/Linux 12", "6.1.0-13-amd64", "aarch64"});
  tovak::test::LogCapture log;
  GetSystemInfoCommand_Feedback resp;
  grpc::ClientContext ctx;
  ASSERT_TRUE(stub_->GetSystemInfo(&ctx, GetSystemInfoCommand_Request(), &resp).ok());
  EXPECT_TRUE(resp.header().success());
  EXPECT_TRUE(resp.header().has_timestamp());
  EXPECT_EQ(resp.version(), "2.3");
  EXPECT_EQ(resp.system_name(), "pelmo");
  EXPECT_EQ(resp.description(), "");
  EXPECT_EQ(resp.os(), "Debian GNU/Linux 12");
  EXPECT_EQ(resp.kernel_version(), "6.1.0-13-amd64");
  EXPECT_EQ(resp.architecture(), "aarch64");
  EXPECT_EQ(log.count("[gRPCSystemServiceImpl]"), 0);
}

TEST_F(SystemServiceTest, StopAllStopsEveryDeviceOrReportsTheOneThatFails) {
  auto mic = std::make_shared<FakeMicrophone>();
  auto cam = std::make_shared<FakeCamera>();
  serve({{"spk", speaker_}, {"mic", mic}, {"cam", cam}});
  StopAllCommand_Feedback ok;
  grpc::ClientContext c1;
  ASSERT_TRUE(stub_->StopAll(&c1, StopAllCommand_Request(), &ok).ok());
  EXPECT_TRUE(ok.header().success());
  EXPECT_EQ(speaker_->calls(), Calls{"stop"});
  EXPECT_EQ(mic->calls(), Calls{"stop"});
  EXPECT_EQ(cam->calls(), Calls{"stop"});

  mic->failWith("microphone mic is stuck");
  StopAllCommand_Feedback failed;
  grpc::ClientContext c2;
  ASSERT_TRUE(stub_->StopAll(&c2, StopAllCommand_Request(), &failed).ok());
  EXPECT_FALSE(failed.header().success());
  EXPECT_EQ(failed.header().error_message(),
            "[DeviceManager] (stop): Device manager stop failed: microphone mic is stuck");
  EXPECT_TRUE(failed.header().has_timestamp());
  EXPECT_EQ(mic->calls().size(), 2u);
}

}  // namespace
