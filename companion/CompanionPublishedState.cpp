#include "companion/CompanionPublishedState.h"

namespace velmo {

const char* caseName(CompanionVoiceState state) {
    switch (state) {
        case CompanionVoiceState::idle:
            return "idle";
        case CompanionVoiceState::listening:
            return "listening";
        case CompanionVoiceState::processing:
            return "processing";
        case CompanionVoiceState::responding:
            return "responding";
    }
    return "idle";
}

}  // namespace velmo
