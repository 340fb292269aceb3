// Start-up of the real binary, as an operator runs it: argument handling,
// configuration errors, the listening address, and reflection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <google/protobuf/unknown_field_set.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/client_unary_call.h>
#include <grpcpp/support/byte_buffer.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tovak/api/hlc_service.grpc.pb.h"

namespace {

using tovak::test::ServerProcess;
using tovak::test::TestConfig;

// A configuration with no devices: start-up cases don't need them.
TestConfig emptyConfig() {
  TestConfig cfg;
  cfg.robot.clear();
  cfg.microphone.clear();
  cfg.speaker.clear();
  cfg.biohead.clear();
  cfg.cameras.clear();
  cfg.hands.clear();
  return cfg;
}

TEST(StartupTest, NoArgumentUsesConfigBesideBinaryAndSaysSoFirst) {
  ServerProcess server(TestConfig{});
  ASSERT_TRUE(server.waitListening()) << server.out() << server.err();
  const std::string expected_first =
      "Using default config path: " + server.dir() + "/config/pelmo_robot.xml\n";
  EXPECT_EQ(server.out().rfind(expected_first, 0), 0u) << server.out();
  EXPECT_NE(server.out().find("Server listening on 0.0.0.0:" + std::to_string(server.port())), std::string::npos);
}

TEST(StartupTest, OneArgumentIsTheConfigPath) {
  // The file beside the binary names a port nobody listens on; the argument's
  // file names the port we expect, so listening there proves which was read.
  TestConfig beside = emptyConfig();
  beside.xml_override = "<R><Logger dir=\"/tmp\"/></R>";  // would fail if read
  const std::string other_dir = tovak::test::makeTempDir("tovak_cfg_");
  TestConfig real = emptyConfig();
  real.port = tovak::test::pickFreePort();
  real.log_dir = other_dir + "/logs";
  tovak::test::writeFile(other_dir + "/mine.xml", real.xml());
  beside.port = real.port;
  ServerProcess server(beside, {other_dir + "/mine.xml"});
  EXPECT_TRUE(server.waitListening()) << server.out() << server.err();
  EXPECT_EQ(server.out().find("Using default config path"), std::string::npos);
  EXPECT_NE(server.out().find("Server listening on 0.0.0.0:" + std::to_string(real.port)), std::string::npos);
  server.stop();
  tovak::test::removeTree(other_dir);
}

struct FailureCase {
  const char* name;
  std::string xml;                  // pelmo_robot.xml beside the binary ("" = TestConfig default)
  std::vector<std::string> args;
  std::string expected_text;        // on standard error
};

class StartupFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StartupFailureTest, EndsWithOneClearLineAndStatusOne) {
  const FailureCase& c = GetParam();
  TestConfig cfg = emptyConfig();
  cfg.xml_override = c.xml;
  ServerProcess server(cfg, c.args);
  EXPECT_EQ(server.waitExit(), 1) << server.out() << server.err();
  EXPECT_NE(server.err().find(c.expected_text), std::string::npos) << server.err();
  EXPECT_EQ(server.out().find("Server listening on"), std::string::npos) << server.out();
}

const std::string kLogger = "<Logger dir=\"/tmp/tovak_es_test_logs\"/>";
const std::string kDevices =
    "<DeviceManager><Devices><Battery/><AGV/><Robot/><Microphone/><Speaker/><BioHead/></Devices></DeviceManager>";
const std::string kMonitors = "<MonitorManager/>";

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupFailureTest,
    ::testing::Values(
        FailureCase{"TwoArguments", "", {"a.xml", "b.xml"}, "Failed to load configuration file ''"},
        FailureCase{"MissingFile", "", {"/nonexistent/robot.xml"}, "Failed to load configuration file '/nonexistent/robot.xml'"},
        FailureCase{"Malformed", "<R><Logger dir=\"/tmp\"></R>", {}, "Failed to load configuration file"},
        FailureCase{"NoLogger", "<R>" + kDevices + kMonitors + "<gRPCServer/></R>", {}, "has no Logger element"},
        FailureCase{"NoDeviceManager", "<R>" + kLogger + kMonitors + "<gRPCServer/></R>", {},
                    "Device Manager node not found"},
        FailureCase{"NoMonitorManager", "<R>" + kLogger + kDevices + "<gRPCServer/></R>", {},
                    "Configuration has no MonitorManager element"},
        FailureCase{"NoServerElement", "<R>" + kLogger + kDevices + kMonitors + "</R>", {},
                    "Configuration has no gRPCServer element"},
        FailureCase{"PortNotANumber", "<R>" + kLogger + kDevices + kMonitors + "<gRPCServer port=\"http\"/></R>", {},
                    "Invalid gRPCServer port 'http'"},
        FailureCase{"PortOutOfRange", "<R>" + kLogger + kDevices + kMonitors + "<gRPCServer port=\"70000\"/></R>",
                    {}, "Invalid gRPCServer port '70000'"},
        FailureCase{"PortEmpty", "<R>" + kLogger + kDevices + kMonitors + "<gRPCServer port=\"\"/></R>", {},
                    "Invalid gRPCServer port ''"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartupTest, EmptyOrElementlessConfigurationFile) {
  const std::string dir = tovak::test::makeTempDir("tovak_cfg_");
  const struct {
    std::string content;
    std::string loader_text;  // what the loader itself says, if anything
  } cases[] = {{"", "xml file is empty"}, {"  \n", ""}, {"<?xml version=\"1.0\"?>\n<!-- nothing -->\n", ""}};
  for (const auto& c : cases) {
    tovak::test::writeFile(dir + "/robot.xml", c.content);
    ServerProcess server(emptyConfig(), {dir + "/robot.xml"});
    EXPECT_EQ(server.waitExit(), 1) << server.err();
    EXPECT_NE(server.err().find("Configuration file '" + dir + "/robot.xml' holds no XML element"), std::string::npos)
        << server.err();
    if (!c.loader_text.empty()) {
      EXPECT_NE(server.err().find(c.loader_text), std::string::npos) << server.err();
    }
    EXPECT_EQ(server.out().find("Server listening on"), std::string::npos);
  }
  tovak::test::removeTree(dir);
}

TEST(StartupTest, PortInUseIsReportedNotServed) {
  // Hold the port with a plain listening socket (no SO_REUSEPORT, so the
  // server's bind must fail).
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  TestConfig cfg = emptyConfig();
  cfg.port = ntohs(addr.sin_port);
  ServerProcess server(cfg);
  EXPECT_EQ(server.waitExit(), 1) << server.out() << server.err();
  EXPECT_NE(server.err().find("Failed to listen on 0.0.0.0:" + std::to_string(cfg.port)), std::string::npos)
      << server.err();
  EXPECT_EQ(server.out().find("Server listening on"), std::string::npos);
  close(fd);
}

// Asks the reflection service for the list of services, speaking its wire
// format directly (the reflection schema is not installed with gRPC).
std::set<std::string> listServices(const std::shared_ptr<grpc::Channel>& channel) {
  grpc::ClientContext ctx;
  ctx.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
  grpc::internal::RpcMethod method("/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo",
                                   grpc::internal::RpcMethod::BIDI_STREAMING);
  std::unique_ptr<grpc::ClientReaderWriter<grpc::ByteBuffer, grpc::ByteBuffer>> stream(
      grpc::internal::ClientReaderWriterFactory<grpc::ByteBuffer, grpc::ByteBuffer>::Create(channel.get(), method,
                                                                                            &ctx));
  // ServerReflectionRequest { list_services (field 7) = "" }
  const char request_bytes[] = {0x3A, 0x00};
  grpc::Slice slice(request_bytes, sizeof request_bytes);
  grpc::ByteBuffer request(&slice, 1);
  std::set<std::string> names;
  if (!stream->Write(request)) return names;
  stream->WritesDone();
  grpc::ByteBuffer response;
  if (stream->Read(&response)) {
    std::vector<grpc::Slice> slices;
    (void)response.Dump(&slices);
    std::string bytes;
    for (auto& s : slices) bytes.append(reinterpret_cast<const char*>(s.begin()), s.size());
    google::protobuf::UnknownFieldSet top;
    if (top.ParseFromString(bytes)) {
      for (int i = 0; i < top.field_count(); ++i) {
        if (top.field(i).number() != 6) continue;  // list_services_response
        google::protobuf::UnknownFieldSet list;
        if (!list.ParseFromString(top.field(i).length_delimited())) continue;
        for (int j = 0; j < list.field_count(); ++j) {
          google::protobuf::UnknownFieldSet service;
          if (service.ParseFromString(list.field(j).length_delimited()) && service.field_count() > 0) {
            names.insert(service.field(0).length_delimited());
          }
        }
      }
    }
  }
  stream->Finish();
  return names;
}

TEST(StartupTest, ReflectionListsTheEightServicesAndTouchAnswers) {
  ServerProcess server(emptyConfig());
  ASSERT_TRUE(server.waitListening()) << server.err();
  auto channel = tovak::test::makeChannel(server.port());
  const std::set<std::string> names = listServices(channel);
  for (const char* s : {"tovak.api.CameraService", "tovak.api.SystemService", "tovak.api.SpeakerService",
                        "tovak.api.MicPhoneService", "tovak.api.DexHandService", "tovak.api.BioHeadService",
                        "tovak.api.HumanoidRobotService", "tovak.api.HlcService"}) {
    EXPECT_TRUE(names.count(s)) << s;
  }

  auto hlc = tovak::api::HlcService::NewStub(channel);
  grpc::ClientContext ctx;
  tovak::api::Touch_Request request;
  tovak::api::Touch_Response response;
  response.mutable_touch()->set_client("stale");  // must come back empty
  const grpc::Status status = hlc->touch(&ctx, request, &response);
  EXPECT_TRUE(status.ok()) << status.error_message();
  EXPECT_EQ(response.ByteSizeLong(), 0u);
}

}  // namespace
