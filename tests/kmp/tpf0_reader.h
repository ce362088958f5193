#pragma once
// Test support: reads a form in the streamed binary format ("TPF0") back into a tree, written
// from the format's own rules (not from the generator) so that the generated form can be checked
// against the description of the dialog.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zol::kmp::testing {

struct Tpf0Value {
    enum class Type { kInteger, kString, kIdent, kBoolean, kSet } type = Type::kInteger;
    std::int64_t number = 0;       // integers; Booleans as 0 or 1
    std::string text;              // strings (UTF-16 ones as UTF-8 for ASCII only) and idents
    std::vector<std::string> set;  // set elements
};

struct Tpf0Object {
    std::string class_name;
    std::string name;
    std::vector<std::pair<std::string, Tpf0Value>> properties;
    std::vector<Tpf0Object> children;

    const Tpf0Value* Property(const std::string& property) const {
        for (const auto& [key, value] : properties) {
            if (key == property) return &value;
        }
        return nullptr;
    }
};

class Tpf0Reader {
   public:
    explicit Tpf0Reader(std::span<const std::uint8_t> bytes) : b_(bytes) {}

    // The root object, or nothing when the bytes are not a complete form (with nothing left
    // over after it).
    std::optional<Tpf0Object> Read() {
        if (b_.size() < 4 || b_[0] != 'T' || b_[1] != 'P' || b_[2] != 'F' || b_[3] != '0') {
            return std::nullopt;
        }
        pos_ = 4;
        Tpf0Object root;
        if (!Object(root, 0) || pos_ != b_.size()) return std::nullopt;
        return root;
    }

   private:
    bool Byte(std::uint8_t& out) {
        if (pos_ >= b_.size()) return false;
        out = b_[pos_++];
        return true;
    }
    bool Le(int bytes, std::uint32_t& out) {
        out = 0;
        for (int i = 0; i < bytes; ++i) {
            std::uint8_t x;
            if (!Byte(x)) return false;
            out |= static_cast<std::uint32_t>(x) << (8 * i);
        }
        return true;
    }
    bool Short(std::string& out) {
        std::uint8_t n;
        if (!Byte(n) || pos_ + n > b_.size()) return false;
        out.assign(reinterpret_cast<const char*>(b_.data() + pos_), n);
        pos_ += n;
        return true;
    }

    bool Object(Tpf0Object& object, int depth) {
        if (depth > 32) return false;
        // An optional filer-flags prefix (0xF0 | flags) is not used by this form.
        if (pos_ < b_.size() && (b_[pos_] & 0xF0) == 0xF0) return false;
        if (!Short(object.class_name) || !Short(object.name)) return false;
        for (;;) {
            std::string property;
            if (!Short(property)) return false;
            if (property.empty()) break;
            Tpf0Value value;
            if (!Value(value)) return false;
            object.properties.emplace_back(std::move(property), std::move(value));
        }
        for (;;) {
            if (pos_ >= b_.size()) return false;
            if (b_[pos_] == 0) {
                ++pos_;
                return true;
            }
            object.children.emplace_back();
            if (!Object(object.children.back(), depth + 1)) return false;
        }
    }

    bool Value(Tpf0Value& v) {
        std::uint8_t type;
        if (!Byte(type)) return false;
        std::uint32_t raw = 0;
        switch (type) {
            case 2:  // Int8
                v.type = Tpf0Value::Type::kInteger;
                if (!Le(1, raw)) return false;
                v.number = static_cast<std::int8_t>(raw);
                return true;
            case 3:  // Int16
                v.type = Tpf0Value::Type::kInteger;
                if (!Le(2, raw)) return false;
                v.number = static_cast<std::int16_t>(raw);
                return true;
            case 4:  // Int32
                v.type = Tpf0Value::Type::kInteger;
                if (!Le(4, raw)) return false;
                v.number = static_cast<std::int32_t>(raw);
                return true;
            case 6:  // short string
                v.type = Tpf0Value::Type::kString;
                return Short(v.text);
            case 7:  // identifier
                v.type = Tpf0Value::Type::kIdent;
                return Short(v.text);
            case 8:  // False
            case 9:  // True
                v.type = Tpf0Value::Type::kBoolean;
                v.number = type == 9 ? 1 : 0;
                return true;
            case 11:  // set: names up to an empty one
                v.type = Tpf0Value::Type::kSet;
                for (;;) {
                    std::string element;
                    if (!Short(element)) return false;
                    if (element.empty()) return true;
                    v.set.push_back(std::move(element));
                }
            case 12:  // long string
                v.type = Tpf0Value::Type::kString;
                if (!Le(4, raw) || raw > b_.size() - pos_) return false;
                v.text.assign(reinterpret_cast<const char*>(b_.data() + pos_), raw);
                pos_ += raw;
                return true;
            case 18:  // UTF-16 string; only the ASCII range is kept readable here
                v.type = Tpf0Value::Type::kString;
                if (!Le(4, raw) || raw > (b_.size() - pos_) / 2) return false;
                for (std::uint32_t i = 0; i < raw; ++i) {
                    std::uint32_t unit;
                    Le(2, unit);
                    v.text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
                }
                return true;
            default:
                return false;
        }
    }

    std::span<const std::uint8_t> b_;
    std::size_t pos_ = 0;
};

}  // namespace zol::kmp::testing
