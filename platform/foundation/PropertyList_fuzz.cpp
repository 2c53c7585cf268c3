// Property lists as files hold them: whatever reads must write back and read the same again.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/PropertyList.h"

namespace {

using velmo::PlistValue;

// Equal, but with dates to the second (as XML keeps them) and reals to their printed precision.
bool sameAfterXML(const PlistValue& a, const PlistValue& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case PlistValue::Type::real: {
            const double x = *a.asReal(), y = *b.asReal();
            if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
            return x == y || std::fabs(x - y) <= 1e-12 * std::fmax(std::fabs(x), std::fabs(y));
        }
        case PlistValue::Type::date:
            return std::floor(a.asDate()->secondsSince1970) == std::floor(b.asDate()->secondsSince1970);
        case PlistValue::Type::array: {
            const auto &x = *a.asArray(), &y = *b.asArray();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!sameAfterXML(x[i], y[i])) return false;
            return true;
        }
        case PlistValue::Type::dictionary: {
            const auto &x = *a.asDictionary(), &y = *b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !sameAfterXML(i->second, j->second)) return false;
            return true;
        }
        default:
            return a == b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PlistValue value;
    try {
        value = velmo::PropertyList::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const velmo::PropertyListError&) {
        return 0;
    }
    const std::string xml = velmo::PropertyList::toXML(value);  // what was read must write back
    if (!sameAfterXML(value, velmo::PropertyList::parse(xml))) std::abort();
    return 0;
}
