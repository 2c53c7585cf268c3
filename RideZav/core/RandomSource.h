#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ridezav {

// Random bytes for identifiers. Tests install their own.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // Cryptographic bytes; false when the source failed (the buffer is then unspecified).
    virtual bool fillSecure(std::uint8_t* bytes, std::size_t count) = 0;
    // A 64-bit value from the ordinary generator, used when the secure source fails.
    virtual std::uint64_t next64() = 0;

    // The installed source, else the kernel's. Thread-safe.
    static std::shared_ptr<RandomSource> current();
    static std::shared_ptr<RandomSource> install(std::shared_ptr<RandomSource> source);
};

// Counts installations of a wall clock or random source, so holders of the current ones can
// tell when to fetch them again.
std::uint64_t sourceInstallations();

// getrandom(2) for secure bytes; a per-thread generator seeded from it for next64.
class SystemRandomSource : public RandomSource {
public:
    bool fillSecure(std::uint8_t* bytes, std::size_t count) override;
    std::uint64_t next64() override;
};

}  // namespace ridezav
