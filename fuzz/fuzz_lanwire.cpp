// libFuzzer target: every parser of network input, fed arbitrary bytes; what
// parses must encode back to the very same bytes.
#include "net/LanWire.h"

#include <cstdlib>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lanwire::ByteView input(data, size);
    if (const auto discovery = lanwire::ParseDiscovery(input)) {
        // A Search carries a tag exactly when its flags say so.
        const auto* search = std::get_if<lanwire::Search>(&*discovery);
        if (search && search->tag.has_value() != ((search->flags & lanwire::kSearchTagged) != 0))
            std::abort();
        const lanwire::Bytes again =
            std::visit([](const auto& m) { return lanwire::Encode(m); }, *discovery);
        if (again != lanwire::Bytes(input.begin(), input.end()))
            std::abort();
    }
    if (const auto session = lanwire::ParseSession(input)) {
        const lanwire::Bytes again =
            std::visit([](const auto& m) { return lanwire::Encode(m); }, *session);
        if (again != lanwire::Bytes(input.begin(), input.end()))
            std::abort();
    }
    return 0;
}
