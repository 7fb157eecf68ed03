// Round trips and pushes through the service transport: a listener and a
// client in one process, over a real socket in a private runtime folder.
//
//   cmake -S . -B build-bench -G Ninja -DQUORVANE_BUILD_BENCH=ON -DQUORVANE_BUILD_APP=OFF
//   cmake --build build-bench --target quorvane_bench_transport
//   ./build-bench/common/transport/bench/quorvane_bench_transport

#include "common/transport/Frame.h"
#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <semaphore>
#include <stdexcept>

#include <unistd.h>

namespace quorvane {
namespace {

class EchoService final : public QuorvaneServiceProtocol {
public:
    void handleAgentMessage(const std::string& message,
                            std::function<void(std::optional<std::string>)> reply) override {
        reply(message);
    }
    void control(const std::string& request, std::function<void(std::string)> reply) override {
        reply(request);
    }
};

class CountingSink final : public QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string&) override { arrived.release(); }
    void controlEvent(const std::string&) override { arrived.release(); }
    std::counting_semaphore<> arrived{0};
};

// A host and one client, set up once per benchmark run.
class Rig {
public:
    explicit Rig(std::string_view peer) {
        char pattern[] = "/tmp/qvbenchXXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        dir_ = pattern;
        RuntimeEnvironment env;
        env.xdgRuntimeDir = dir_;
        env.uid = ::geteuid();
        env.runUserBase = dir_ + "/none";
        env.tmpBase = dir_ + "/none";
        auto places = resolveServicePlaces(env, FolderUse::create);
        auto lock = ServiceLock::acquire(*places);
        ListenerOptions options;
        options.identityReader = [id = std::string(peer)](pid_t) {
            return Result<ProgramIdentity>(ProgramIdentity{std::string(quorvaneTeamIdentifier), id});
        };
        auto service = std::make_shared<EchoService>();
        auto started = ServiceListener::start(
            std::move(*lock.lock),
            [this, service](const AcceptedPeer& peer) {
                std::lock_guard guard(mutex_);
                proxy_ = peer.clientProxy;
                return ConnectionSetup{service, {}};
            },
            options);
        listener_ = std::move(*started);
        client_ = std::make_unique<ServiceConnection>(sink, ConnectionOptions{env, {}});
    }

    ~Rig() {
        client_.reset();
        listener_.reset();
        std::filesystem::remove_all(dir_);
    }

    void agent(const std::string& message) {
        std::binary_semaphore done{0};
        (void)client_->handleAgentMessage(
            message, [&](std::optional<std::string>) { done.release(); },
            [&](std::string) { done.release(); });
        done.acquire();
    }

    void control(const std::string& request) {
        std::binary_semaphore done{0};
        (void)client_->control(
            request, [&](std::string) { done.release(); }, [&](std::string) { done.release(); });
        done.acquire();
    }

    std::shared_ptr<QuorvaneClientProtocol> proxy() {
        std::lock_guard guard(mutex_);
        return proxy_ ? proxy_() : nullptr;
    }

    std::shared_ptr<CountingSink> sink = std::make_shared<CountingSink>();

private:
    std::string dir_;
    std::mutex mutex_;
    std::function<std::shared_ptr<QuorvaneClientProtocol>()> proxy_;
    std::unique_ptr<ServiceListener> listener_;
    std::unique_ptr<ServiceConnection> client_;
};

const std::string balanceCall =
    R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})";

void BM_AgentRoundTrip(benchmark::State& state) {
    Rig rig(quorvaneBridgeIdentifier);
    rig.agent(balanceCall); // connects
    for (auto _ : state) {
        rig.agent(balanceCall);
    }
}
BENCHMARK(BM_AgentRoundTrip)->UseRealTime();

void BM_ControlRoundTripBySize(benchmark::State& state) {
    Rig rig(quorvaneAppIdentifier);
    const std::string request(static_cast<std::size_t>(state.range(0)), 'x');
    rig.control(request);
    for (auto _ : state) {
        rig.control(request);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
}
BENCHMARK(BM_ControlRoundTripBySize)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

void BM_PushThroughput(benchmark::State& state) {
    Rig rig(quorvaneAppIdentifier);
    rig.control("{}");
    auto proxy = rig.proxy();
    const std::string event = R"({"dataChanged":{}})";
    constexpr int batch = 256; // stays far below the push queue's bound
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            proxy->controlEvent(event);
        }
        for (int i = 0; i < batch; ++i) {
            rig.sink->arrived.acquire();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_PushThroughput)->UseRealTime();

} // namespace
} // namespace quorvane
