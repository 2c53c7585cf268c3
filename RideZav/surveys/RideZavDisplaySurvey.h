#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// The shapes a survey renderer is handed. Nothing in the application makes them yet; they are
// immutable once made, so any thread may read them.

// How a rating question asks: a row of numbers or of faces.
enum class RideZavDisplaySurveyRatingType : std::int64_t { number = 0, emoji = 1 };
// How a description is written.
enum class RideZavDisplaySurveyTextContentType : std::int64_t { html = 0, text = 1 };

// Raw values 0 and 1 only.
std::optional<RideZavDisplaySurveyRatingType> displaySurveyRatingTypeFromRaw(std::int64_t raw);
std::optional<RideZavDisplaySurveyTextContentType> displaySurveyTextContentTypeFromRaw(std::int64_t raw);

class RideZavDisplaySurveyAppearance {
public:
    std::string fontFamily;
    std::string backgroundColor;
    std::string borderColor;
    std::string submitButtonColor;
    std::string submitButtonText;
    std::string submitButtonTextColor;
    std::string textColor;
    std::string descriptionTextColor;
    std::string ratingButtonColor;
    std::string ratingButtonActiveColor;
    std::string inputBackground;
    std::string inputTextColor;
    std::string placeholder;
    bool displayThankYouMessage = false;
    std::string thankYouMessageHeader;
    std::string thankYouMessageDescription;
    std::optional<RideZavDisplaySurveyTextContentType> thankYouMessageDescriptionContentType;
    std::string thankYouMessageCloseButtonText;
};

// What every question kind has.
class RideZavDisplaySurveyQuestion {
public:
    RideZavDisplaySurveyQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                                 RideZavDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                                 std::optional<std::string> buttonText);
    virtual ~RideZavDisplaySurveyQuestion() = default;

    const std::string& id() const { return id_; }
    const std::string& question() const { return question_; }
    const std::optional<std::string>& questionDescription() const { return questionDescription_; }
    RideZavDisplaySurveyTextContentType questionDescriptionContentType() const { return questionDescriptionContentType_; }
    bool isOptional() const { return isOptional_; }
    const std::optional<std::string>& buttonText() const { return buttonText_; }

private:
    std::string id_;
    std::string question_;
    std::optional<std::string> questionDescription_;
    RideZavDisplaySurveyTextContentType questionDescriptionContentType_;
    bool isOptional_;
    std::optional<std::string> buttonText_;
};

class RideZavDisplayOpenQuestion : public RideZavDisplaySurveyQuestion {
public:
    using RideZavDisplaySurveyQuestion::RideZavDisplaySurveyQuestion;
};

class RideZavDisplayLinkQuestion : public RideZavDisplaySurveyQuestion {
public:
    RideZavDisplayLinkQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                               RideZavDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                               std::optional<std::string> buttonText, std::optional<std::string> link);
    const std::optional<std::string>& link() const { return link_; }

private:
    std::optional<std::string> link_;
};

class RideZavDisplayRatingQuestion : public RideZavDisplaySurveyQuestion {
public:
    RideZavDisplayRatingQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                                 RideZavDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                                 std::optional<std::string> buttonText, RideZavDisplaySurveyRatingType ratingType,
                                 std::int64_t scaleLowerBound, std::int64_t scaleUpperBound, std::string lowerBoundLabel,
                                 std::string upperBoundLabel);
    RideZavDisplaySurveyRatingType ratingType() const { return ratingType_; }
    std::int64_t scaleLowerBound() const { return scaleLowerBound_; }
    std::int64_t scaleUpperBound() const { return scaleUpperBound_; }
    const std::string& lowerBoundLabel() const { return lowerBoundLabel_; }
    const std::string& upperBoundLabel() const { return upperBoundLabel_; }

private:
    RideZavDisplaySurveyRatingType ratingType_;
    std::int64_t scaleLowerBound_;
    std::int64_t scaleUpperBound_;
    std::string lowerBoundLabel_;
    std::string upperBoundLabel_;
};

class RideZavDisplayChoiceQuestion : public RideZavDisplaySurveyQuestion {
public:
    RideZavDisplayChoiceQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                                 RideZavDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                                 std::optional<std::string> buttonText, std::vector<std::string> choices, bool hasOpenChoice,
                                 bool shuffleOptions, bool isMultipleChoice);
    const std::vector<std::string>& choices() const { return choices_; }
    bool hasOpenChoice() const { return hasOpenChoice_; }
    bool shuffleOptions() const { return shuffleOptions_; }
    bool isMultipleChoice() const { return isMultipleChoice_; }

private:
    std::vector<std::string> choices_;
    bool hasOpenChoice_;
    bool shuffleOptions_;
    bool isMultipleChoice_;
};

// A survey to show, identified by its id.
class RideZavDisplaySurvey {
public:
    RideZavDisplaySurvey(std::string id, std::string name, std::vector<std::shared_ptr<const RideZavDisplaySurveyQuestion>> questions,
                         std::optional<RideZavDisplaySurveyAppearance> appearance, std::optional<Date> startDate,
                         std::optional<Date> endDate);

    const std::string& id() const { return id_; }
    const std::string& name() const { return name_; }
    const std::vector<std::shared_ptr<const RideZavDisplaySurveyQuestion>>& questions() const { return questions_; }
    const std::optional<RideZavDisplaySurveyAppearance>& appearance() const { return appearance_; }
    const std::optional<Date>& startDate() const { return startDate_; }
    const std::optional<Date>& endDate() const { return endDate_; }

private:
    std::string id_;
    std::string name_;
    std::vector<std::shared_ptr<const RideZavDisplaySurveyQuestion>> questions_;
    std::optional<RideZavDisplaySurveyAppearance> appearance_;
    std::optional<Date> startDate_;
    std::optional<Date> endDate_;
};

// Where a renderer goes after an answer.
class RideZavNextSurveyQuestion {
public:
    RideZavNextSurveyQuestion(std::int64_t questionIndex, bool isSurveyCompleted)
        : questionIndex_(questionIndex),
          isSurveyCompleted_(isSurveyCompleted) {}
    std::int64_t questionIndex() const { return questionIndex_; }
    bool isSurveyCompleted() const { return isSurveyCompleted_; }

private:
    std::int64_t questionIndex_;
    bool isSurveyCompleted_;
};

}  // namespace ridezav
