// Control request decoding on hostile text. A request that decodes must encode
// and decode again to the same request; a failure must come with a reason.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Coding.h"
#include "fuzz/FuzzSupport.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const auto request = QuorvaneCoding::decode<ControlRequest>(fuzz::asText(data, size), &error);
    if (!request) {
        fuzz::require(!error.empty(), "a refused request has no reason");
        return 0;
    }
    const auto text = QuorvaneCoding::encodeToString(*request);
    fuzz::require(text.has_value(), "a decoded request cannot be encoded");
    const auto again = QuorvaneCoding::decode<ControlRequest>(*text);
    fuzz::require(again.has_value(), "an encoded request does not decode");
    fuzz::require(*again == *request, "a request changes on its way through encoding");
    return 0;
}
