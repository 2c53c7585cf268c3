#include <gtest/gtest.h>

#include "companion/ElementLocationDetector.h"
#include "companion/OpenAIAPI.h"

using namespace velmo;

TEST(DeclaredClients, HoldTheirFourFieldsAndMakeNoRequest) {
    ElementLocationDetector detector("key-a", "model-a");
    EXPECT_EQ(detector.apiKey(), "key-a");
    EXPECT_EQ(detector.model(), "model-a");
    EXPECT_EQ(detector.apiURL().rfind("https://", 0), 0u);
    EXPECT_NE(detector.session(), nullptr);

    OpenAIAPI openai("key-b", "model-b");
    EXPECT_EQ(openai.apiKey(), "key-b");
    EXPECT_EQ(openai.model(), "model-b");
    EXPECT_EQ(openai.apiURL(), "https://api.openai.com/v1/chat/completions");
    EXPECT_NE(openai.session(), nullptr);
}
