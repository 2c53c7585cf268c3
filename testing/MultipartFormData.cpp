#include "testing/MultipartFormData.h"

#include <cctype>

namespace velmo::test {

namespace {

constexpr std::string_view crlf = "\r\n";

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

[[noreturn]] void fail(const std::string& what, std::size_t at) {
    throw MultipartFormData::ParseError(what + " at byte " + std::to_string(at));
}

// Parameters of a header value such as `form-data; name="model"; filename="a.wav"`: the first
// item, then name=value pairs with quoted or bare values, names in lower case.
struct HeaderValue {
    std::string item;
    std::vector<std::pair<std::string, std::string>> parameters;

    static std::optional<HeaderValue> parse(std::string_view value) {
        HeaderValue out;
        std::size_t i = value.find(';');
        out.item = lower(trimmed(value.substr(0, i)));
        while (i != std::string_view::npos) {
            ++i;
            while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
            std::size_t eq = value.find('=', i);
            if (eq == std::string_view::npos) return std::nullopt;
            std::string name = lower(trimmed(value.substr(i, eq - i)));
            i = eq + 1;
            std::string v;
            if (i < value.size() && value[i] == '"') {
                std::size_t close = value.find('"', i + 1);
                if (close == std::string_view::npos) return std::nullopt;
                v = std::string(value.substr(i + 1, close - i - 1));
                i = close + 1;
                std::string_view rest = trimmed(value.substr(i, value.find(';', i) - i));
                if (!rest.empty()) return std::nullopt;
                i = value.find(';', i);
            } else {
                std::size_t end = value.find(';', i);
                v = std::string(trimmed(value.substr(i, end - i)));
                i = end;
            }
            out.parameters.emplace_back(std::move(name), std::move(v));
        }
        return out;
    }

    std::optional<std::string> parameter(std::string_view name) const {
        for (const auto& [n, v] : parameters)
            if (n == name) return v;
        return std::nullopt;
    }
};

}  // namespace

std::optional<std::string> MultipartPart::header(const std::string& headerName) const {
    for (const auto& [n, v] : headers)
        if (lower(n) == lower(headerName)) return v;
    return std::nullopt;
}

std::optional<std::string> MultipartFormData::boundaryFromContentType(std::string_view contentType) {
    auto value = HeaderValue::parse(contentType);
    if (!value || value->item != "multipart/form-data") return std::nullopt;
    auto boundary = value->parameter("boundary");
    if (!boundary || boundary->empty()) return std::nullopt;
    return boundary;
}

MultipartFormData MultipartFormData::parse(const RecordedRequest& request) {
    auto contentType = request.header("Content-Type");
    if (!contentType) throw ParseError("the request has no Content-Type");
    auto boundary = boundaryFromContentType(*contentType);
    if (!boundary) throw ParseError("Content-Type \"" + *contentType + "\" is not multipart/form-data with a boundary");
    return parse(request.body, *boundary);
}

MultipartFormData MultipartFormData::parse(std::string_view body, std::string_view boundary) {
    MultipartFormData form;
    form.boundary = std::string(boundary);
    const std::string delimiter = "--" + form.boundary;
    // A delimiter after the first is always preceded by the CR LF that ends the part's data.
    const std::string innerDelimiter = std::string(crlf) + delimiter;

    if (body.substr(0, delimiter.size()) != delimiter) fail("the body does not start with the delimiter", 0);
    std::size_t at = delimiter.size();
    for (;;) {
        if (body.substr(at, 2) == "--") {
            at += 2;
            if (body.substr(at) != crlf) fail("the closing delimiter is not followed by CR LF and the end", at);
            return form;
        }
        if (body.substr(at, 2) != crlf) fail("a delimiter line does not end with CR LF", at);
        at += 2;

        MultipartPart part;
        for (;;) {
            std::size_t end = body.find(crlf, at);
            if (end == std::string_view::npos) fail("a part's header block does not end", at);
            std::string_view line = body.substr(at, end - at);
            if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos)
                fail("a header line holds a bare CR or LF", at);
            at = end + 2;
            if (line.empty()) break;
            std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) fail("a header line has no name", at);
            part.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1))));
        }
        auto disposition = part.header("Content-Disposition");
        if (!disposition) fail("a part has no Content-Disposition", at);
        auto value = HeaderValue::parse(*disposition);
        if (!value || value->item != "form-data") fail("Content-Disposition \"" + *disposition + "\" is not form-data", at);
        auto name = value->parameter("name");
        if (!name) fail("Content-Disposition \"" + *disposition + "\" has no name", at);
        part.name = *name;
        part.filename = value->parameter("filename");

        std::size_t next = body.find(innerDelimiter, at);
        if (next == std::string_view::npos) fail("part \"" + part.name + "\" has no delimiter after it", at);
        part.data = std::string(body.substr(at, next - at));
        form.parts.push_back(std::move(part));
        at = next + innerDelimiter.size();
    }
}

std::vector<std::string> MultipartFormData::names() const {
    std::vector<std::string> out;
    for (const auto& p : parts) out.push_back(p.name);
    return out;
}

const MultipartPart* MultipartFormData::part(std::string_view name) const {
    for (const auto& p : parts)
        if (p.name == name) return &p;
    return nullptr;
}

}  // namespace velmo::test
