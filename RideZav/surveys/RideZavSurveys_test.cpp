#include <gtest/gtest.h>

#include "RideZav/surveys/RideZavDisplaySurvey.h"
#include "RideZav/surveys/RideZavReplayRecords.h"
#include "RideZav/surveys/RideZavSurveyResponse.h"
#include "RideZav/surveys/RideZavSurveysConfig.h"

namespace ridezav {
namespace {

using Options = std::vector<std::string>;

TEST(RideZavSurveyResponse, EachFactorySetsItsTypeAndOnlyItsOwnField) {
    struct Case {
        const char* name;
        RideZavSurveyResponse response;
        RideZavSurveyResponseType type;
        std::optional<bool> linkClicked;
        std::optional<std::int64_t> ratingValue;
        std::optional<std::string> textValue;
        std::optional<Options> selectedOptions;
    };
    const Case cases[] = {
        {"link", RideZavSurveyResponse::link(true), RideZavSurveyResponseType::link, true, {}, {}, {}},
        {"link not clicked", RideZavSurveyResponse::link(false), RideZavSurveyResponseType::link, false, {}, {}, {}},
        {"rating", RideZavSurveyResponse::rating(4), RideZavSurveyResponseType::rating, {}, 4, {}, {}},
        {"rating none", RideZavSurveyResponse::rating(std::nullopt), RideZavSurveyResponseType::rating, {}, {}, {}, {}},
        {"open", RideZavSurveyResponse::openEnded("fine"), RideZavSurveyResponseType::openEnded, {}, {}, "fine", {}},
        {"open none", RideZavSurveyResponse::openEnded(std::nullopt), RideZavSurveyResponseType::openEnded, {}, {}, {}, {}},
        {"single", RideZavSurveyResponse::singleChoice("Yes"), RideZavSurveyResponseType::singleChoice, {}, {}, {}, Options{"Yes"}},
        // No text gives no selection at all, not an empty one.
        {"single none",
         RideZavSurveyResponse::singleChoice(std::nullopt),
         RideZavSurveyResponseType::singleChoice,
         {},
         {},
         {},
         std::nullopt},
        {"single empty text", RideZavSurveyResponse::singleChoice(""), RideZavSurveyResponseType::singleChoice, {}, {}, {}, Options{""}},
        {"multiple",
         RideZavSurveyResponse::multipleChoice(Options{"a", "b"}),
         RideZavSurveyResponseType::multipleChoice,
         {},
         {},
         {},
         Options{"a", "b"}},
        {"multiple empty",
         RideZavSurveyResponse::multipleChoice(Options{}),
         RideZavSurveyResponseType::multipleChoice,
         {},
         {},
         {},
         Options{}},
        {"multiple none",
         RideZavSurveyResponse::multipleChoice(std::nullopt),
         RideZavSurveyResponseType::multipleChoice,
         {},
         {},
         {},
         std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.response.type(), c.type) << c.name;
        EXPECT_EQ(c.response.linkClicked(), c.linkClicked) << c.name;
        EXPECT_EQ(c.response.ratingValue(), c.ratingValue) << c.name;
        EXPECT_EQ(c.response.textValue(), c.textValue) << c.name;
        EXPECT_EQ(c.response.selectedOptions(), c.selectedOptions) << c.name;
    }
}

TEST(RideZavSurveyEnumerations, KnownRawValuesOnly) {
    for (std::int64_t raw = -1; raw <= 5; ++raw) {
        const bool known = raw >= 0 && raw <= 4;
        ASSERT_EQ(surveyResponseTypeFromRaw(raw).has_value(), known) << raw;
        if (known) {
            EXPECT_EQ(static_cast<std::int64_t>(*surveyResponseTypeFromRaw(raw)), raw);
        }
        EXPECT_EQ(displaySurveyRatingTypeFromRaw(raw).has_value(), raw == 0 || raw == 1) << raw;
        EXPECT_EQ(displaySurveyTextContentTypeFromRaw(raw).has_value(), raw == 0 || raw == 1) << raw;
    }
    EXPECT_EQ(surveyResponseTypeFromRaw(3), RideZavSurveyResponseType::singleChoice);
}

TEST(RideZavDisplaySurvey, KeepsItsQuestionsOfEveryKindInOrder) {
    using CT = RideZavDisplaySurveyTextContentType;
    std::vector<std::shared_ptr<const RideZavDisplaySurveyQuestion>> questions{
        std::make_shared<RideZavDisplayOpenQuestion>("q1", "Anything else?", std::nullopt, CT::text, true, "Send"),
        std::make_shared<RideZavDisplayLinkQuestion>("q2", "Read more", "<b>why</b>", CT::html, false, std::nullopt, "https://example.com"),
        std::make_shared<RideZavDisplayRatingQuestion>("q3", "How likely?", std::nullopt, CT::text, false, std::nullopt,
                                                       RideZavDisplaySurveyRatingType::number, 0, 10, "Unlikely", "Very likely"),
        std::make_shared<RideZavDisplayChoiceQuestion>("q4", "Which?", std::nullopt, CT::text, false, std::nullopt, Options{"A", "B"}, true,
                                                       false, true),
    };
    RideZavDisplaySurveyAppearance appearance;
    appearance.submitButtonText = "Submit";
    appearance.thankYouMessageDescriptionContentType = CT::html;
    const RideZavDisplaySurvey survey("s1", "Feedback", questions, appearance, std::nullopt, std::nullopt);

    EXPECT_EQ(survey.id(), "s1");
    ASSERT_EQ(survey.questions().size(), 4u);
    EXPECT_EQ(survey.questions()[1]->questionDescription(), "<b>why</b>");
    auto* rating = dynamic_cast<const RideZavDisplayRatingQuestion*>(survey.questions()[2].get());
    ASSERT_NE(rating, nullptr);
    EXPECT_EQ(rating->scaleUpperBound(), 10);
    auto* choice = dynamic_cast<const RideZavDisplayChoiceQuestion*>(survey.questions()[3].get());
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(choice->choices(), (Options{"A", "B"}));
    EXPECT_TRUE(choice->hasOpenChoice() && choice->isMultipleChoice() && !choice->shuffleOptions());
    EXPECT_EQ(survey.appearance()->thankYouMessageDescriptionContentType, CT::html);
    EXPECT_FALSE(survey.startDate().has_value());
}

TEST(RideZavSurveysConfig, TheDefaultRendererShowsNothingAndNeverFails) {
    RideZavSurveysConfig config;
    ASSERT_NE(std::dynamic_pointer_cast<RideZavSurveysDefaultDelegate>(config.surveysDelegate), nullptr);
    const RideZavDisplaySurvey survey("s1", "Feedback", {}, std::nullopt, std::nullopt, std::nullopt);
    int calls = 0;
    config.surveysDelegate->renderSurvey(
        survey, [&](const RideZavDisplaySurvey&) { ++calls; }, [&](const RideZavDisplaySurvey&, const RideZavSurveyResponse&) { ++calls; },
        [&](const RideZavDisplaySurvey&) { ++calls; });
    config.surveysDelegate->cleanupSurveys();
    EXPECT_EQ(calls, 0);  // nothing shown, so no callback
}

TEST(RRWireframe, NestsChildrenWithTheirStyles) {
    RRWireframe root;
    root.id = 1;
    RRWireframe child;
    child.id = 2;
    child.parentId = 1;
    child.style.paddingLeft = 8;
    child.value = Value("typed");
    root.childWireframes.push_back(child);
    ASSERT_EQ(root.childWireframes.size(), 1u);
    EXPECT_EQ(root.childWireframes[0].style.paddingLeft, 8);
    EXPECT_EQ(root.childWireframes[0].value, Value("typed"));
    EXPECT_FALSE(ViewTreeSnapshotStatus{}.sentFullSnapshot);
}

}  // namespace
}  // namespace ridezav
