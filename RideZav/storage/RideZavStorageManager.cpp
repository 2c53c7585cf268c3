#include "RideZav/storage/RideZavStorageManager.h"

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/TimeBasedEpochGenerator.h"

namespace ridezav {

RideZavStorageManager::RideZavStorageManager(const RideZavConfig& config)
    : storage_(config),
      idGen_(config.getAnonymousId ? config.getAnonymousId : [](velmo::UUID id) { return id; }) {}

std::string RideZavStorageManager::anonymousIdLocked() {
    if (anonymousId_) return *anonymousId_;
    if (auto stored = storage_.getString(StorageKey::anonymousId)) {
        anonymousId_ = *stored;
        return *stored;
    }
    const std::string fresh = idGen_(TimeBasedEpochGenerator::shared().generateV7()).uuidString();
    anonymousId_ = fresh;
    storage_.setJSON(StorageKey::anonymousId, fresh);
    return fresh;
}

std::string RideZavStorageManager::getAnonymousId() {
    std::lock_guard lock(anonLock_);
    return anonymousIdLocked();
}

void RideZavStorageManager::setAnonymousId(const std::string& id) {
    std::lock_guard lock(anonLock_);
    anonymousId_ = id;
    storage_.setJSON(StorageKey::anonymousId, id);
}

std::string RideZavStorageManager::getDistinctId() {
    std::lock_guard lock(distinctLock_);
    if (distinctId_) return *distinctId_;
    if (!cachedDistinctId_) {
        cachedDistinctId_ = true;
        if (auto stored = storage_.getString(StorageKey::distinctId)) {
            distinctId_ = *stored;
            return *stored;
        }
    }
    std::lock_guard anonLock(anonLock_);
    return anonymousIdLocked();
}

void RideZavStorageManager::setDistinctId(const std::string& id) {
    std::lock_guard lock(distinctLock_);
    distinctId_ = id;
    storage_.setJSON(StorageKey::distinctId, id);
}

bool RideZavStorageManager::isIdentified() {
    std::lock_guard lock(identifiedLock_);
    if (isIdentifiedValue_) return *isIdentifiedValue_;
    if (auto stored = storage_.getBool(StorageKey::isIdentified)) {
        isIdentifiedValue_ = *stored;
        return *stored;
    }
    const bool workedOut = getDistinctId() != getAnonymousId();
    isIdentifiedValue_ = workedOut;  // cached, not stored
    return workedOut;
}

void RideZavStorageManager::setIdentified(bool identified) {
    std::lock_guard lock(identifiedLock_);
    isIdentifiedValue_ = identified;
    storage_.setJSON(StorageKey::isIdentified, identified);
}

bool RideZavStorageManager::isPersonProcessing() {
    std::lock_guard lock(personProcessingLock_);
    if (!personProcessingEnabled_) personProcessingEnabled_ = storage_.getBool(StorageKey::personProcessingEnabled).value_or(false);
    return *personProcessingEnabled_;
}

void RideZavStorageManager::setPersonProcessing(bool enabled) {
    std::lock_guard lock(personProcessingLock_);
    if (personProcessingEnabled_ == enabled) return;
    personProcessingEnabled_ = enabled;
    storage_.setJSON(StorageKey::personProcessingEnabled, enabled);
}

void RideZavStorageManager::reset(bool keepAnonymousId) {
    {
        std::lock_guard lock(distinctLock_);
        distinctId_.reset();
        cachedDistinctId_ = false;
    }
    if (!keepAnonymousId) {
        std::lock_guard lock(anonLock_);
        anonymousId_.reset();
    }
    {
        std::lock_guard lock(identifiedLock_);
        isIdentifiedValue_.reset();
    }
    {
        std::lock_guard lock(personProcessingLock_);
        personProcessingEnabled_.reset();
    }
}

}  // namespace ridezav
