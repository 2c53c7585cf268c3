#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace velmo {
namespace {

// Dates in property lists count from 2001-01-01 UTC.
constexpr double referenceDateSince1970 = 978307200.0;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

[[noreturn]] void fail(const std::string& message) { throw PropertyListError(message); }

// The library recurses once per nesting level both when it parses binary input and when it frees
// a tree, so deep nesting has to be refused before the input reaches it.
void checkXMLDepth(std::string_view xml) {
    int depth = 0;
    auto startsWithAt = [&](size_t at, std::string_view word) { return xml.substr(at, word.size()) == word; };
    auto isNameEnd = [&](size_t at) {
        return at >= xml.size() || xml[at] == '>' || xml[at] == '/' || xml[at] == ' ' || xml[at] == '\t' || xml[at] == '\n' ||
               xml[at] == '\r';
    };
    size_t i = 0;
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        if (startsWithAt(i, "<!--")) {
            i = xml.find("-->", i + 4);
            if (i == std::string_view::npos) return;
            i += 3;
            continue;
        }
        if (startsWithAt(i, "<![CDATA[")) {
            i = xml.find("]]>", i + 9);
            if (i == std::string_view::npos) return;
            i += 3;
            continue;
        }
        size_t close = xml.find('>', i);
        if (close == std::string_view::npos) return;
        bool closing = i + 1 < xml.size() && xml[i + 1] == '/';
        size_t name = i + (closing ? 2 : 1);
        bool container = (startsWithAt(name, "array") && isNameEnd(name + 5)) || (startsWithAt(name, "dict") && isNameEnd(name + 4));
        if (container) {
            if (closing) {
                --depth;
            } else if (xml[close - 1] != '/' && ++depth > PropertyList::maximumDepth) {
                fail("property list is nested too deeply");
            }
        }
        i = close + 1;
    }
}

std::uint64_t readBigEndian(const unsigned char* p, unsigned size) {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < size; ++k) v = (v << 8) | p[k];
    return v;
}

bool dateInRange(double sinceReference) {
    return std::isfinite(sinceReference) && std::floor(sinceReference) >= std::numeric_limits<std::int32_t>::min() &&
           std::floor(sinceReference) <= std::numeric_limits<std::int32_t>::max();
}

// Walks the object graph of a binary property list without recursion and refuses, before the
// library sees them, graphs nested deeper than the limit or that refer back to themselves, graphs
// whose shared references expand beyond the node limit, strings or keys holding NUL, and dates
// that cannot be written back.
void checkBinary(std::string_view bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    if (size < 8 + 32) fail("binary property list is truncated");
    const unsigned char* trailer = b + size - 32;
    const unsigned offsetSize = trailer[6];
    const unsigned refSize = trailer[7];
    const std::uint64_t count = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    const size_t body = size - 32;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || top >= count || tableOffset < 8 ||
        tableOffset > body || count > (body - tableOffset) / offsetSize)
        fail("binary property list has a malformed trailer");

    struct Container {
        size_t refs = 0;  // position of the first object reference
        size_t count = 0;  // number of references
    };
    // Checks one object and tells where its references are, if it has any.
    auto objectAt = [&](std::uint64_t object) -> Container {
        const std::uint64_t offset = readBigEndian(b + tableOffset + object * offsetSize, offsetSize);
        if (offset < 8 || offset >= tableOffset) fail("binary property list has a bad object offset");
        const unsigned marker = b[offset] >> 4;
        std::uint64_t n = b[offset] & 0xF;
        size_t pos = offset + 1;
        if (marker == 0x3) {
            if (b[offset] != 0x33 || pos + 8 > tableOffset) fail("binary property list has a bad date");
            const std::uint64_t bits = readBigEndian(b + pos, 8);
            double seconds;
            std::memcpy(&seconds, &bits, sizeof seconds);
            if (!dateInRange(seconds)) fail("property list date is out of range");
            return {};
        }
        if (marker != 0x5 && marker != 0x6 && marker != 0xA && marker != 0xC && marker != 0xD) return {};
        if (n == 0xF) {
            if (pos >= tableOffset || (b[pos] >> 4) != 0x1 || (b[pos] & 0xF) > 3) fail("binary property list has a bad length");
            const unsigned lengthSize = 1u << (b[pos] & 0xF);
            if (pos + 1 + lengthSize > tableOffset) fail("binary property list is truncated");
            n = readBigEndian(b + pos + 1, lengthSize);
            pos += 1 + lengthSize;
        }
        if (marker == 0x5 || marker == 0x6) {
            const unsigned unit = marker == 0x5 ? 1 : 2;
            if (n > (tableOffset - pos) / unit) fail("binary property list is truncated");
            for (std::uint64_t k = 0; k < n; ++k) {
                if (b[pos + k * unit] == 0 && (unit == 1 || b[pos + k * unit + 1] == 0)) fail("property list string holds a NUL character");
            }
            return {};
        }
        if (marker == 0xD) n *= 2;  // keys, then values
        if (n > (tableOffset - pos) / refSize) fail("binary property list is truncated");
        return {pos, static_cast<size_t>(n)};
    };

    // Per object: 0 unseen, -1 on the current path, else the height of its subtree; and the number
    // of nodes its subtree expands to.
    std::vector<int> height(static_cast<size_t>(count), 0);
    std::vector<std::uint64_t> expanded(static_cast<size_t>(count), 0);
    struct Frame {
        std::uint64_t object;
        Container container;
        size_t next = 0;
        int tallestChild = 0;
        std::uint64_t nodes = 1;
    };
    std::vector<Frame> path;
    auto enter = [&](std::uint64_t object) {
        if (path.size() + 1 > static_cast<size_t>(PropertyList::maximumDepth)) fail("property list is nested too deeply");
        height[object] = -1;
        path.push_back({object, objectAt(object)});
    };
    auto addNodes = [&](Frame& frame, std::uint64_t nodes) {
        frame.nodes += nodes;
        if (frame.nodes > PropertyList::maximumNodes) fail("property list expands to too many values");
    };
    enter(top);
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.container.count) {
            const int h = frame.tallestChild + 1;
            height[frame.object] = h;
            expanded[frame.object] = frame.nodes;
            const std::uint64_t nodes = frame.nodes;
            path.pop_back();
            if (!path.empty()) {
                path.back().tallestChild = std::max(path.back().tallestChild, h);
                addNodes(path.back(), nodes);
            }
            continue;
        }
        const std::uint64_t child = readBigEndian(b + frame.container.refs + frame.next * refSize, refSize);
        ++frame.next;
        if (child >= count) fail("binary property list refers to a missing object");
        if (height[child] == -1) fail("binary property list contains itself");
        if (height[child] > 0) {
            if (path.size() + height[child] > static_cast<size_t>(PropertyList::maximumDepth)) fail("property list is nested too deeply");
            frame.tallestChild = std::max(frame.tallestChild, height[child]);
            addNodes(frame, expanded[child]);
            continue;
        }
        enter(child);
    }
}

void checkText(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos) fail(std::string("property list ") + what + " holds a NUL character");
}

PlistValue fromNode(plist_t node, int depth) {
    if (depth > PropertyList::maximumDepth) fail("property list is nested too deeply");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return PlistValue(v != 0);
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            // The library keeps integers above the signed range as unsigned; a freshly made node
            // with the same bits is signed, so a difference tells them apart.
            PlistPtr asSigned(plist_new_uint(v));
            if (!plist_compare_node_value(node, asSigned.get())) return PlistValue(static_cast<double>(v));
            return PlistValue(static_cast<std::int64_t>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PlistValue(v);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* p = plist_get_string_ptr(node, &length);
            std::string text(p ? p : "", p ? length : 0);
            checkText(text, "string");
            return PlistValue(std::move(text));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
            return PlistValue(p ? PlistValue::Data(bytes, bytes + length) : PlistValue::Data());
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return PlistValue(PlistDate{referenceDateSince1970 + sec + usec / 1e6});
        }
        case PLIST_ARRAY: {
            PlistValue::Array items;
            const std::uint32_t n = plist_array_get_size(node);
            items.reserve(n);
            for (std::uint32_t k = 0; k < n; ++k) items.push_back(fromNode(plist_array_get_item(node, k), depth + 1));
            return PlistValue(std::move(items));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary entries;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                if (!value) {
                    std::free(key);
                    break;
                }
                std::string k = key ? key : "";
                std::free(key);
                try {
                    checkText(k, "key");
                } catch (...) {
                    std::free(iter);
                    throw;
                }
                try {
                    entries.insert_or_assign(std::move(k), fromNode(value, depth + 1));
                } catch (...) {
                    std::free(iter);
                    throw;
                }
            }
            std::free(iter);
            return PlistValue(std::move(entries));
        }
        default:
            fail("property list holds a value of an unsupported kind");
    }
}

PlistPtr toNode(const PlistValue& value, int depth) {
    if (depth > PropertyList::maximumDepth) fail("property list is nested too deeply");
    switch (value.type()) {
        case PlistValue::Type::none:
            fail("property list cannot hold an absent value");
        case PlistValue::Type::boolean:
            return PlistPtr(plist_new_bool(*value.asBool() ? 1 : 0));
        case PlistValue::Type::integer:
            return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(*value.asInteger())));
        case PlistValue::Type::real:
            return PlistPtr(plist_new_real(*value.asReal()));
        case PlistValue::Type::string:
            checkText(*value.asString(), "string");
            return PlistPtr(plist_new_string(value.asString()->c_str()));
        case PlistValue::Type::data: {
            const auto& d = *value.asData();
            return PlistPtr(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
        }
        case PlistValue::Type::date: {
            const double t = value.asDate()->secondsSince1970 - referenceDateSince1970;
            if (!dateInRange(t)) fail("property list date is out of range");
            // XML keeps whole seconds, and libplist cuts a fraction toward the reference date, which
            // would move a date before 2001 a second later: it gets the second the date falls in.
            return PlistPtr(plist_new_date(static_cast<std::int32_t>(std::floor(t)), 0));
        }
        case PlistValue::Type::array: {
            PlistPtr node(plist_new_array());
            for (const auto& item : *value.asArray()) plist_array_append_item(node.get(), toNode(item, depth + 1).release());
            return node;
        }
        case PlistValue::Type::dictionary: {
            PlistPtr node(plist_new_dict());
            for (const auto& [key, item] : *value.asDictionary()) {
                checkText(key, "key");
                plist_dict_set_item(node.get(), key.c_str(), toNode(item, depth + 1).release());
            }
            return node;
        }
    }
    fail("property list holds a value of an unknown kind");
}

}  // namespace

PropertyListError::PropertyListError(std::string message)
    : Error("PropertyList", 1, std::move(message)) {}

PlistValue PropertyList::parse(std::string_view bytes) {
    if (bytes.empty()) fail("property list is empty");
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) fail("property list is too large");
    const auto length = static_cast<std::uint32_t>(bytes.size());
    plist_t root = nullptr;
    if (plist_is_binary(bytes.data(), length)) {
        checkBinary(bytes);
        plist_from_bin(bytes.data(), length, &root);
    } else {
        checkXMLDepth(bytes);
        plist_from_xml(bytes.data(), length, &root);
    }
    if (!root) fail("property list is malformed");
    PlistPtr owner(root);
    return fromNode(root, 0);
}

PlistValue PropertyList::readFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) fail("cannot open " + path + ": " + std::strerror(errno));
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    const bool failed = std::ferror(file);
    const int readErrno = errno;
    std::fclose(file);
    if (failed) fail("cannot read " + path + ": " + std::strerror(readErrno));
    try {
        return parse(bytes);
    } catch (const PropertyListError& e) {
        fail(path + ": " + e.message());
    }
}

std::string PropertyList::toXML(const PlistValue& value) {
    PlistPtr root = toNode(value, 0);
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) fail("property list could not be written");
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

}  // namespace velmo
