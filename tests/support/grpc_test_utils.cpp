#include "tests/support/grpc_test_utils.h"

#include <grpcpp/create_channel.h>
#include <grpcpp/support/client_interceptor.h>
#include <grpcpp/support/server_interceptor.h>

#include <stdexcept>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tovak::test {

namespace {

// Test processes read what a fake device recorded on a server thread after
// the call returned. The ordering comes from the message crossing the wire,
// inside gRPC, which ThreadSanitizer cannot see (Debian's gRPC is not
// instrumented). These interceptors state that ordering to TSan: whatever a
// side did before sending happens before whatever the other side does after
// receiving. Without TSan they do nothing.
#if defined(__SANITIZE_THREAD__)
char g_wire;
#endif

void sent() {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(&g_wire);
#endif
}

void received() {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(&g_wire);
#endif
}

using grpc::experimental::InterceptionHookPoints;

class WireOrdering : public grpc::experimental::Interceptor {
 public:
  void Intercept(grpc::experimental::InterceptorBatchMethods* methods) override {
    if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_INITIAL_METADATA) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_MESSAGE) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_CLOSE) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_STATUS)) {
      sent();
    }
    if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_INITIAL_METADATA) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_MESSAGE) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_STATUS) ||
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_CLOSE)) {
      received();
    }
    methods->Proceed();
  }
};

class ClientWireOrdering : public grpc::experimental::ClientInterceptorFactoryInterface {
 public:
  grpc::experimental::Interceptor* CreateClientInterceptor(grpc::experimental::ClientRpcInfo*) override {
    return new WireOrdering;
  }
};

class ServerWireOrdering : public grpc::experimental::ServerInterceptorFactoryInterface {
 public:
  grpc::experimental::Interceptor* CreateServerInterceptor(grpc::experimental::ServerRpcInfo*) override {
    return new WireOrdering;
  }
};

}  // namespace

std::shared_ptr<grpc::Channel> makeChannel(int port) {
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  std::vector<std::unique_ptr<grpc::experimental::ClientInterceptorFactoryInterface>> interceptors;
  interceptors.push_back(std::make_unique<ClientWireOrdering>());
  return grpc::experimental::CreateCustomChannelWithInterceptors(
      "127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials(), args, std::move(interceptors));
}

InProcessServer::InProcessServer(const std::vector<grpc::Service*>& services) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
  for (auto* s : services) builder.RegisterService(s);
  std::vector<std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface>> interceptors;
  interceptors.push_back(std::make_unique<ServerWireOrdering>());
  builder.experimental().SetInterceptorCreators(std::move(interceptors));
  server_ = builder.BuildAndStart();
  if (!server_ || port_ == 0) throw std::runtime_error("in-process test server did not start");
}

InProcessServer::~InProcessServer() {
  if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
}

}  // namespace tovak::test
