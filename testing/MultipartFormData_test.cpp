#include "testing/MultipartFormData.h"

#include <gtest/gtest.h>

using namespace velmo::test;
using namespace std::string_literals;

namespace {
const std::string kBody =
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"model\"\r\n"
    "\r\n"
    "gpt\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"file\"; filename=\"a b.wav\"\r\n"
    "Content-Type: audio/wav\r\n"
    "\r\n"
    "RIFF\r\n--Xy\0\xFF\r\n"
    "--XyZ--\r\n"s;
}  // namespace

TEST(MultipartFormData, TakesPartsApartWithTheirNamesHeadersAndExactBytes) {
    MultipartFormData form = MultipartFormData::parse(kBody, "XyZ");
    EXPECT_EQ(form.names(), (std::vector<std::string>{"model", "file"}));
    ASSERT_NE(form.part("model"), nullptr);
    EXPECT_EQ(form.part("model")->data, "gpt");
    EXPECT_EQ(form.part("model")->filename, std::nullopt);
    const MultipartPart* file = form.part("file");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->filename, "a b.wav");
    EXPECT_EQ(file->header("content-type"), "audio/wav");
    EXPECT_EQ(file->headers.size(), 2u);
    EXPECT_EQ(file->data, "RIFF\r\n--Xy\0\xFF"s);
    EXPECT_EQ(form.part("missing"), nullptr);
}

TEST(MultipartFormData, ReadsTheBoundaryFromTheRequestsContentType) {
    EXPECT_EQ(MultipartFormData::boundaryFromContentType("multipart/form-data; boundary=Boundary-1"), "Boundary-1");
    EXPECT_EQ(MultipartFormData::boundaryFromContentType("Multipart/Form-Data;boundary=\"a;b\""), "a;b");
    EXPECT_EQ(MultipartFormData::boundaryFromContentType("multipart/mixed; boundary=x"), std::nullopt);
    EXPECT_EQ(MultipartFormData::boundaryFromContentType("multipart/form-data"), std::nullopt);
    EXPECT_EQ(MultipartFormData::boundaryFromContentType("multipart/form-data; boundary="), std::nullopt);

    RecordedRequest request;
    request.headers = {{"Content-Type", "multipart/form-data; boundary=b"}};
    request.body = "--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--b--\r\n";
    EXPECT_EQ(MultipartFormData::parse(request).part("x")->data, "1");
    request.headers = {{"Content-Type", "application/json"}};
    EXPECT_THROW(MultipartFormData::parse(request), MultipartFormData::ParseError);
}

TEST(MultipartFormData, RefusesBodiesThatStrayFromTheLayout) {
    const std::string part = "Content-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n";
    struct Case {
        const char* what;
        std::string body;
    } cases[] = {
        {"preamble", "junk\r\n--b\r\n" + part + "--b--\r\n"},
        {"no closing delimiter", "--b\r\n" + part},
        {"nothing after the close", "--b\r\n" + part + "--b--"},
        {"epilogue", "--b\r\n" + part + "--b--\r\nmore"},
        {"bare LF line ends", "--b\nContent-Disposition: form-data; name=\"x\"\n\n1\n--b--\n"},
        {"bare LF inside a header line", "--b\r\nContent-Disposition: form-data;\n name=\"x\"\r\n\r\n1\r\n--b--\r\n"},
        {"no disposition", "--b\r\nContent-Type: text/plain\r\n\r\n1\r\n--b--\r\n"},
        {"not form-data", "--b\r\nContent-Disposition: attachment; name=\"x\"\r\n\r\n1\r\n--b--\r\n"},
        {"no name", "--b\r\nContent-Disposition: form-data\r\n\r\n1\r\n--b--\r\n"},
        {"unclosed quote", "--b\r\nContent-Disposition: form-data; name=\"x\r\n\r\n1\r\n--b--\r\n"},
        {"delimiter run on", "--b\r\n" + part + "--bb\r\n" + part + "--b--\r\n"},
    };
    for (const auto& c : cases) EXPECT_THROW(MultipartFormData::parse(c.body, "b"), MultipartFormData::ParseError) << c.what;
    EXPECT_NO_THROW(MultipartFormData::parse("--b\r\n" + part + "--b--\r\n", "b"));
}
