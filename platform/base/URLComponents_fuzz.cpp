// URLs from configuration and services: what parses rebuilds to a URL that parses the same,
// and query items survive being set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base/URLComponents.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto components = velmo::URLComponents::fromString(text);
    if (!components) return 0;
    const auto items = components->queryItems();
    if (auto url = components->url()) {
        auto again = velmo::URLComponents::fromString(*url);
        if (!again || again->url() != url || again->queryItems() != items) std::abort();
    }
    components->setQueryItems(items);
    if (components->queryItems() != items) std::abort();
    return 0;
}
