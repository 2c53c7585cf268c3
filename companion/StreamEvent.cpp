#include "companion/StreamEvent.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/base/UTF8.h"

namespace velmo {

namespace {

// Deeper nesting than this is refused rather than risk the stack.
constexpr int kMaxDepth = 512;

class Parser {
public:
    explicit Parser(std::string_view text)
        : p_(reinterpret_cast<const unsigned char*>(text.data())),
          end_(p_ + text.size()) {}

    std::optional<StreamEvent> run() {
        if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) p_ += 3;
        skipSpace();
        if (p_ == end_ || *p_ != '{') return std::nullopt;
        if (!object(Slot::root)) return std::nullopt;
        skipSpace();
        if (p_ != end_) return std::nullopt;
        return event_;
    }

private:
    // Where a value goes.
    enum class Slot { none, root, type, delta, error, deltaType, deltaText, errorMessage };

    void skipSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    std::optional<std::string>* stringSlot(Slot slot) {
        switch (slot) {
            case Slot::type:
                return &event_.type;
            case Slot::deltaType:
                return &event_.deltaType;
            case Slot::deltaText:
                return &event_.deltaText;
            case Slot::errorMessage:
                return &event_.errorMessage;
            default:
                return nullptr;
        }
    }

    // A value that is not what the slot looks for clears what an earlier member left there.
    void clear(Slot slot) {
        if (auto* s = stringSlot(slot)) s->reset();
        if (slot == Slot::delta) {
            event_.deltaIsObject = false;
            event_.deltaType.reset();
            event_.deltaText.reset();
        } else if (slot == Slot::error) {
            event_.errorMessage.reset();
        }
    }

    Slot memberSlot(Slot object, const std::string& key) const {
        switch (object) {
            case Slot::root:
                if (key == "type") return Slot::type;
                if (key == "delta") return Slot::delta;
                if (key == "error") return Slot::error;
                return Slot::none;
            case Slot::delta:
                if (key == "type") return Slot::deltaType;
                if (key == "text") return Slot::deltaText;
                return Slot::none;
            case Slot::error:
                return key == "message" ? Slot::errorMessage : Slot::none;
            default:
                return Slot::none;
        }
    }

    bool value(Slot slot) {
        skipSpace();
        if (p_ == end_) return false;
        switch (*p_) {
            case '{':
                return object(slot);
            case '[':
                clear(slot);
                return array();
            case '"': {
                auto* target = stringSlot(slot);
                if (!target) {
                    clear(slot);
                    return string(nullptr);
                }
                target->emplace();
                return string(&**target);
            }
            case 't':
                clear(slot);
                return literal("true", 4);
            case 'f':
                clear(slot);
                return literal("false", 5);
            case 'n':
                clear(slot);
                return literal("null", 4);
            default:
                clear(slot);
                return number();
        }
    }

    bool object(Slot slot) {
        if (++depth_ > kMaxDepth) return false;
        ++p_;  // '{'
        if (slot == Slot::delta) {
            event_.deltaIsObject = true;
            event_.deltaType.reset();
            event_.deltaText.reset();
        } else if (slot == Slot::error) {
            event_.errorMessage.reset();
        } else if (slot != Slot::root) {
            clear(slot);
            slot = Slot::none;
        }
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            --depth_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (p_ == end_ || *p_ != '"') return false;
            key_.clear();
            if (!string(&key_)) return false;
            Slot member = memberSlot(slot, key_);
            skipSpace();
            if (p_ == end_ || *p_ != ':') return false;
            ++p_;
            if (!value(member)) return false;
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ != '}') return false;
            ++p_;
            --depth_;
            return true;
        }
    }

    bool array() {
        if (++depth_ > kMaxDepth) return false;
        ++p_;  // '['
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            --depth_;
            return true;
        }
        for (;;) {
            if (!value(Slot::none)) return false;
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ != ']') return false;
            ++p_;
            --depth_;
            return true;
        }
    }

    bool literal(const char* word, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

    bool number() {
        const unsigned char* start = p_;
        if (p_ < end_ && *p_ == '-') ++p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (isDigit(*p_)) {
            while (p_ < end_ && isDigit(*p_)) ++p_;
        } else {
            return false;
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !isDigit(*p_)) return false;
            while (p_ < end_ && isDigit(*p_)) ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !isDigit(*p_)) return false;
            while (p_ < end_ && isDigit(*p_)) ++p_;
            return isFinite(start);
        }
        return p_ - start < 300 || isFinite(start);
    }

    // Numbers too large for a double are refused, as a parser that reads them as one would.
    bool isFinite(const unsigned char* start) const {
        std::string token(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p_));
        return std::isfinite(std::strtod(token.c_str(), nullptr));
    }

    bool hex4(std::uint32_t& out) {
        if (end_ - p_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            unsigned char c = p_[i];
            std::uint32_t d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            out = (out << 4) | d;
        }
        p_ += 4;
        return true;
    }

    // A string at '"'; decoded into `out` when it is given, else only checked.
    bool string(std::string* out) {
        ++p_;  // '"'
        for (;;) {
            const unsigned char* run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20 && *p_ < 0x80) ++p_;
            if (out && p_ > run) out->append(reinterpret_cast<const char*>(run), p_ - run);
            if (p_ == end_) return false;
            unsigned char c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                std::size_t n = utf8SequenceLength(p_, end_ - p_);
                if (n == 0) {
                    // A bad byte becomes U+FFFD rather than losing the whole text.
                    if (out) out->append("\xEF\xBF\xBD");
                    ++p_;
                    continue;
                }
                if (out) out->append(reinterpret_cast<const char*>(p_), n);
                p_ += n;
                continue;
            }
            // An escape.
            ++p_;
            if (p_ == end_) return false;
            char decoded;
            switch (*p_++) {
                case '"':
                    decoded = '"';
                    break;
                case '\\':
                    decoded = '\\';
                    break;
                case '/':
                    decoded = '/';
                    break;
                case 'b':
                    decoded = '\b';
                    break;
                case 'f':
                    decoded = '\f';
                    break;
                case 'n':
                    decoded = '\n';
                    break;
                case 'r':
                    decoded = '\r';
                    break;
                case 't':
                    decoded = '\t';
                    break;
                case 'u': {
                    std::uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a lone low surrogate
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low;
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
                        p_ += 2;
                        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    if (out) appendUTF8(cp, *out);
                    continue;
                }
                default:
                    return false;
            }
            if (out) out->push_back(decoded);
        }
    }

    const unsigned char* p_;
    const unsigned char* end_;
    int depth_ = 0;
    std::string key_;
    StreamEvent event_;
};

}  // namespace

std::optional<StreamEvent> StreamEvent::parse(std::string_view json) { return Parser(json).run(); }

}  // namespace velmo
