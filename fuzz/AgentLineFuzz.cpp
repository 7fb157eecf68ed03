// The host engine's agent path on hostile lines, through the engine's public
// interface only. Each input is one agent connection: its lines (split at line
// feeds, at most maxLines) go to handleAgentMessage in order. Every answer
// must be one JSON object on one line. The ledger is a file in a private
// temporary folder, started afresh every inputsPerLedger inputs so that it
// stays small.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/Json.h"
#include "fuzz/FuzzSupport.h"
#include "host/core/HostEngine.h"

using namespace quorvane;

namespace {

constexpr std::size_t maxLines = 32;
constexpr std::size_t inputsPerLedger = 2000;

class Ledger {
public:
    Ledger() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/quorvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            fuzz::fail("cannot make a temporary folder");
        }
        folder_ = pattern;
    }
    ~Ledger() {
        engine_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    HostEngine& engine() {
        if (!engine_ || ++uses_ > inputsPerLedger) {
            engine_.reset();
            std::error_code ignored;
            for (const char* suffix : {"", "-wal", "-shm"}) {
                std::filesystem::remove(folder_ / (std::string("ledger.sqlite") + suffix), ignored);
            }
            engine_ = std::make_unique<HostEngine>((folder_ / "ledger.sqlite").string());
            uses_ = 1;
        }
        return *engine_;
    }

private:
    std::filesystem::path folder_;
    std::unique_ptr<HostEngine> engine_;
    std::size_t uses_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Ledger ledger;
    static std::uint64_t counter = 0;
    HostEngine& engine = ledger.engine();
    const std::string connection = "fuzz-" + std::to_string(++counter);
    engine.connectionOpened(connection, [] { return std::shared_ptr<QuorvaneClientProtocol>(); });

    std::string_view rest = fuzz::asText(data, size);
    for (std::size_t count = 0; count < maxLines && !rest.empty(); ++count) {
        const std::size_t end = rest.find('\n');
        const std::string line(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

        const std::optional<std::string> reply = engine.handleAgentMessage(line, connection);
        if (reply) {
            fuzz::require(reply->find('\n') == std::string::npos, "a reply spans lines");
            const auto tree = parseJson(*reply);
            fuzz::require(tree.has_value() && tree->is_object(), "a reply is not a JSON object");
        }
    }
    engine.connectionClosed(connection);
    return 0;
}
