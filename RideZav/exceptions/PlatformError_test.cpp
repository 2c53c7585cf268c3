#include <gtest/gtest.h>

#include <stdexcept>

#include "RideZav/exceptions/PlatformError.h"
#include "platform/base/Error.h"

using namespace ridezav;

namespace velmo_test_errors {
struct ParseFailure : std::runtime_error {
    ParseFailure()
        : std::runtime_error("bad token") {}
};
}  // namespace velmo_test_errors

TEST(PlatformError, CaughtErrorsBridgeWithTheirTypeDomainCodeAndDescription) {
    struct Case {
        const char* name;
        std::exception_ptr error;
        std::string typeName, domain;
        std::int64_t code;
        std::string description;
    } cases[] = {
        {"plain project error", std::make_exception_ptr(velmo::Error("com.korvale.velmo", 7, "It broke")), PlatformError::plainTypeName,
         "com.korvale.velmo", 7, "It broke"},
        {"project error subtype", std::make_exception_ptr(velmo::MessageError("Transcription", "no audio")), "MessageError",
         "Transcription", 0, "no audio"},
        {"standard exception", std::make_exception_ptr(std::out_of_range("index 3")), "out_of_range", "std.out_of_range", 0, "index 3"},
        {"nested namespaces", std::make_exception_ptr(velmo_test_errors::ParseFailure()), "ParseFailure", "velmo_test_errors.ParseFailure",
         0, "bad token"},
        {"not an exception", std::make_exception_ptr(42), "int", "int", 0, ""},
        {"a platform error", std::make_exception_ptr(PlatformError("Net.Socket", -3, "reset")), PlatformError::plainTypeName, "Net.Socket",
         -3, "reset"},
    };
    for (const auto& c : cases) {
        const PlatformError bridged = PlatformError::bridge(c.error);
        EXPECT_EQ(bridged.typeName(), c.typeName) << c.name;
        EXPECT_EQ(bridged.domain(), c.domain) << c.name;
        EXPECT_EQ(bridged.code(), c.code) << c.name;
        EXPECT_EQ(bridged.localizedDescription(), c.description) << c.name;
    }
    EXPECT_EQ(PlatformError::bridge(std::exception_ptr()).domain(), "");
}

TEST(PlatformException, OnlyARaisedExceptionCarriesReturnAddresses) {
    PlatformException unraised("BadState", "never thrown");
    EXPECT_TRUE(unraised.callStackReturnAddresses().empty());
    try {
        PlatformException::raise("BadState", "thrown", std::make_shared<PlatformException>("Cause"));
        FAIL() << "raise returned";
    } catch (const PlatformException& caught) {
        EXPECT_EQ(caught.name(), "BadState");
        EXPECT_EQ(caught.reason(), "thrown");
        EXPECT_STREQ(caught.what(), "thrown");
        ASSERT_TRUE(caught.underlyingException());
        EXPECT_EQ(caught.underlyingException()->name(), "Cause");
        EXPECT_GE(caught.callStackReturnAddresses().size(), 3u);  // raise, this test, gtest
    }
}
