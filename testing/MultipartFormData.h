#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "testing/LoopbackHttpServer.h"

namespace velmo::test {

// One part of a multipart/form-data body.
struct MultipartPart {
    HeaderList headers;  // in the order sent
    std::string name;  // the Content-Disposition "name" parameter
    std::optional<std::string> filename;  // its "filename" parameter, when given
    std::string data;  // the bytes between the header block and the next delimiter

    // The first header of that name (names compare without case).
    std::optional<std::string> header(const std::string& headerName) const;
};

// A multipart/form-data body taken apart strictly, so a test sees any deviation from the
// layout: the body starts with the first delimiter, every line ends with CR LF, every part has
// a `form-data` Content-Disposition with a quoted name, and the closing delimiter followed by
// CR LF ends the body. Anything else throws MultipartFormData::ParseError saying where.
struct MultipartFormData {
    struct ParseError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    std::string boundary;
    std::vector<MultipartPart> parts;

    static MultipartFormData parse(std::string_view body, std::string_view boundary);
    // Takes the boundary from the request's Content-Type, which must be multipart/form-data.
    static MultipartFormData parse(const RecordedRequest& request);
    // The boundary parameter of a "multipart/form-data; boundary=..." value (quoted or not).
    static std::optional<std::string> boundaryFromContentType(std::string_view contentType);

    std::vector<std::string> names() const;
    // The first part of that name, or null.
    const MultipartPart* part(std::string_view name) const;
};

}  // namespace velmo::test
