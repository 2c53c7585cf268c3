#pragma once

#include <functional>
#include <memory>

namespace ridezav {

class RideZavDisplaySurvey;
class RideZavSurveyResponse;  // RideZav/surveys/RideZavSurveyResponse.h

// Shows surveys for the library. Called on the main thread.
class RideZavSurveysDelegate {
public:
    virtual ~RideZavSurveysDelegate() = default;
    virtual void renderSurvey(const RideZavDisplaySurvey& survey, std::function<void(const RideZavDisplaySurvey&)> onSurveyShown,
                              std::function<void(const RideZavDisplaySurvey&, const RideZavSurveyResponse&)> onSurveyResponse,
                              std::function<void(const RideZavDisplaySurvey&)> onSurveyClosed) = 0;
    virtual void cleanupSurveys() = 0;
};

// The renderer used unless the application names one: shows nothing.
class RideZavSurveysDefaultDelegate : public RideZavSurveysDelegate {
public:
    void renderSurvey(const RideZavDisplaySurvey&, std::function<void(const RideZavDisplaySurvey&)>,
                      std::function<void(const RideZavDisplaySurvey&, const RideZavSurveyResponse&)>,
                      std::function<void(const RideZavDisplaySurvey&)>) override {}
    void cleanupSurveys() override {}
};

// Survey settings of the configuration.
class RideZavSurveysConfig {
public:
    std::shared_ptr<RideZavSurveysDelegate> surveysDelegate = std::make_shared<RideZavSurveysDefaultDelegate>();
};

}  // namespace ridezav
