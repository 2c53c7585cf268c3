#include <gtest/gtest.h>

#include "companion/ElementLocationDetector.h"
#include "companion/OpenAIAPI.h"

using namespace velmo;

TEST(DeclaredClients, HoldTheirFourFieldsAndMakeNoRequest) {
    ElementLocationDetector detector("key-a", "model-a");
    EXPECT_EQ(detector.fields().apiKey, "key-a");
    EXPECT_EQ(detector.fields().model, "model-a");
    EXPECT_EQ(detector.fields().apiURL.rfind("https://", 0), 0u);
    EXPECT_NE(detector.fields().session, nullptr);

    OpenAIAPI openai("key-b", "model-b");
    EXPECT_EQ(openai.fields().apiKey, "key-b");
    EXPECT_EQ(openai.fields().model, "model-b");
    EXPECT_EQ(openai.fields().apiURL, "https://api.openai.com/v1/chat/completions");
    EXPECT_NE(openai.fields().session, nullptr);
}
