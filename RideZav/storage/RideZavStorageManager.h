#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "RideZav/storage/RideZavStorage.h"
#include "platform/base/UUID.h"

namespace ridezav {

class RideZavConfig;

// The identity values every event needs, read from disk at most once and cached.
// Thread-safe: each value has its own lock, held across read-or-mint-and-store, so two threads
// never mint two anonymous ids. Lock order: identifiedLock_, then distinctLock_, then anonLock_.
class RideZavStorageManager {
public:
    explicit RideZavStorageManager(const RideZavConfig& config);

    std::string getAnonymousId();
    void setAnonymousId(const std::string& id);
    // The stored distinct id, else the anonymous id (not copied, so a new anonymous id shows).
    std::string getDistinctId();
    void setDistinctId(const std::string& id);
    bool isIdentified();
    void setIdentified(bool identified);
    bool isPersonProcessing();
    void setPersonProcessing(bool enabled);
    // Clears the caches (not the files; RideZavStorage::reset removes those first).
    void reset(bool keepAnonymousId);

    RideZavStorage& storage() { return storage_; }

private:
    std::string anonymousIdLocked();  // needs anonLock_

    RideZavStorage storage_;
    std::mutex anonLock_;  // guards anonymousId_
    std::mutex distinctLock_;  // guards distinctId_, cachedDistinctId_
    std::mutex identifiedLock_;  // guards isIdentifiedValue_
    std::mutex personProcessingLock_;  // guards personProcessingEnabled_
    std::function<velmo::UUID(velmo::UUID)> idGen_;
    std::optional<std::string> distinctId_;
    bool cachedDistinctId_ = false;
    std::optional<std::string> anonymousId_;
    std::optional<bool> isIdentifiedValue_;
    std::optional<bool> personProcessingEnabled_;
};

}  // namespace ridezav
