#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ridezav {

enum class RideZavSurveyResponseType : std::int64_t {
    link = 0,
    rating = 1,
    openEnded = 2,
    singleChoice = 3,
    multipleChoice = 4,
};

// Raw values 0 to 4 only.
std::optional<RideZavSurveyResponseType> surveyResponseTypeFromRaw(std::int64_t raw);

// One answer a renderer reports. Made only through the factories, each of which sets the one
// field of its kind; every other field is absent. Immutable.
class RideZavSurveyResponse {
public:
    static RideZavSurveyResponse link(bool linkClicked);
    static RideZavSurveyResponse rating(std::optional<std::int64_t> ratingValue);
    static RideZavSurveyResponse openEnded(std::optional<std::string> textValue);
    // A one-element selection, or none at all (never an empty one) when no text is given.
    static RideZavSurveyResponse singleChoice(std::optional<std::string> selectedOption);
    static RideZavSurveyResponse multipleChoice(std::optional<std::vector<std::string>> selectedOptions);

    RideZavSurveyResponseType type() const { return type_; }
    const std::optional<bool>& linkClicked() const { return linkClicked_; }
    const std::optional<std::int64_t>& ratingValue() const { return ratingValue_; }
    const std::optional<std::string>& textValue() const { return textValue_; }
    const std::optional<std::vector<std::string>>& selectedOptions() const { return selectedOptions_; }

private:
    explicit RideZavSurveyResponse(RideZavSurveyResponseType type)
        : type_(type) {}

    RideZavSurveyResponseType type_;
    std::optional<bool> linkClicked_;
    std::optional<std::int64_t> ratingValue_;
    std::optional<std::string> textValue_;
    std::optional<std::vector<std::string>> selectedOptions_;
};

}  // namespace ridezav
