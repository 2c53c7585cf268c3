#include "RideZav/surveys/RideZavDisplaySurvey.h"
#include "RideZav/surveys/RideZavSurveyResponse.h"

namespace ridezav {

std::optional<RideZavDisplaySurveyRatingType> displaySurveyRatingTypeFromRaw(std::int64_t raw) {
    if (raw == 0 || raw == 1) return static_cast<RideZavDisplaySurveyRatingType>(raw);
    return std::nullopt;
}

std::optional<RideZavDisplaySurveyTextContentType> displaySurveyTextContentTypeFromRaw(std::int64_t raw) {
    if (raw == 0 || raw == 1) return static_cast<RideZavDisplaySurveyTextContentType>(raw);
    return std::nullopt;
}

std::optional<RideZavSurveyResponseType> surveyResponseTypeFromRaw(std::int64_t raw) {
    if (raw >= 0 && raw <= 4) return static_cast<RideZavSurveyResponseType>(raw);
    return std::nullopt;
}

RideZavDisplaySurveyQuestion::RideZavDisplaySurveyQuestion(std::string id, std::string question,
                                                           std::optional<std::string> questionDescription,
                                                           RideZavDisplaySurveyTextContentType questionDescriptionContentType,
                                                           bool isOptional, std::optional<std::string> buttonText)
    : id_(std::move(id)),
      question_(std::move(question)),
      questionDescription_(std::move(questionDescription)),
      questionDescriptionContentType_(questionDescriptionContentType),
      isOptional_(isOptional),
      buttonText_(std::move(buttonText)) {}

RideZavDisplayLinkQuestion::RideZavDisplayLinkQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                                                       RideZavDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                                                       std::optional<std::string> buttonText, std::optional<std::string> link)
    : RideZavDisplaySurveyQuestion(std::move(id), std::move(question), std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      link_(std::move(link)) {}

RideZavDisplayRatingQuestion::RideZavDisplayRatingQuestion(std::string id, std::string question,
                                                           std::optional<std::string> questionDescription,
                                                           RideZavDisplaySurveyTextContentType questionDescriptionContentType,
                                                           bool isOptional, std::optional<std::string> buttonText,
                                                           RideZavDisplaySurveyRatingType ratingType, std::int64_t scaleLowerBound,
                                                           std::int64_t scaleUpperBound, std::string lowerBoundLabel,
                                                           std::string upperBoundLabel)
    : RideZavDisplaySurveyQuestion(std::move(id), std::move(question), std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      ratingType_(ratingType),
      scaleLowerBound_(scaleLowerBound),
      scaleUpperBound_(scaleUpperBound),
      lowerBoundLabel_(std::move(lowerBoundLabel)),
      upperBoundLabel_(std::move(upperBoundLabel)) {}

RideZavDisplayChoiceQuestion::RideZavDisplayChoiceQuestion(std::string id, std::string question,
                                                           std::optional<std::string> questionDescription,
                                                           RideZavDisplaySurveyTextContentType questionDescriptionContentType,
                                                           bool isOptional, std::optional<std::string> buttonText,
                                                           std::vector<std::string> choices, bool hasOpenChoice, bool shuffleOptions,
                                                           bool isMultipleChoice)
    : RideZavDisplaySurveyQuestion(std::move(id), std::move(question), std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      choices_(std::move(choices)),
      hasOpenChoice_(hasOpenChoice),
      shuffleOptions_(shuffleOptions),
      isMultipleChoice_(isMultipleChoice) {}

RideZavDisplaySurvey::RideZavDisplaySurvey(std::string id, std::string name,
                                           std::vector<std::shared_ptr<const RideZavDisplaySurveyQuestion>> questions,
                                           std::optional<RideZavDisplaySurveyAppearance> appearance, std::optional<Date> startDate,
                                           std::optional<Date> endDate)
    : id_(std::move(id)),
      name_(std::move(name)),
      questions_(std::move(questions)),
      appearance_(std::move(appearance)),
      startDate_(startDate),
      endDate_(endDate) {}

RideZavSurveyResponse RideZavSurveyResponse::link(bool linkClicked) {
    RideZavSurveyResponse response(RideZavSurveyResponseType::link);
    response.linkClicked_ = linkClicked;
    return response;
}

RideZavSurveyResponse RideZavSurveyResponse::rating(std::optional<std::int64_t> ratingValue) {
    RideZavSurveyResponse response(RideZavSurveyResponseType::rating);
    response.ratingValue_ = ratingValue;
    return response;
}

RideZavSurveyResponse RideZavSurveyResponse::openEnded(std::optional<std::string> textValue) {
    RideZavSurveyResponse response(RideZavSurveyResponseType::openEnded);
    response.textValue_ = std::move(textValue);
    return response;
}

RideZavSurveyResponse RideZavSurveyResponse::singleChoice(std::optional<std::string> selectedOption) {
    RideZavSurveyResponse response(RideZavSurveyResponseType::singleChoice);
    if (selectedOption) response.selectedOptions_ = std::vector<std::string>{std::move(*selectedOption)};
    return response;
}

RideZavSurveyResponse RideZavSurveyResponse::multipleChoice(std::optional<std::vector<std::string>> selectedOptions) {
    RideZavSurveyResponse response(RideZavSurveyResponseType::multipleChoice);
    response.selectedOptions_ = std::move(selectedOptions);
    return response;
}

}  // namespace ridezav
