// A fixed set of names (header names without regard to case, variable names
// with it). Every request and answer looks up each of its header names and
// many variables: a name's length and its first and last letters pick its
// slot in a small table made at compile time, so a look-up compares the text
// with one name, seldom two.
#pragma once
#include "core/text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cl {

template <std::size_t N, bool ignore_case = true> class name_index {
    static_assert(N < 255, "a slot holds a name's number + 1 in a byte");

  public:
    constexpr explicit name_index(const std::array<std::string_view, N>& names) : names_(names) {
        for (std::size_t i = 0; i < N; ++i) {
            std::size_t at = slot_of(names[i]);
            while (slots_[at] != 0)
                at = (at + 1) % slot_count;
            slots_[at] = static_cast<uint8_t>(i + 1);
        }
    }

    // The name's number, -1 for a name not in the set.
    int find(std::string_view name) const noexcept {
        if (name.empty()) return -1;
        for (std::size_t at = slot_of(name);; at = (at + 1) % slot_count) {
            const unsigned id = slots_[at];
            if (id == 0) return -1;
            const std::string_view candidate = names_[id - 1];
            if (ignore_case ? candidate.size() == name.size() && iequals(candidate, name)
                            : candidate == name)
                return static_cast<int>(id - 1);
        }
    }

  private:
    // At least four slots a name: a free slot is never far, and always there.
    static constexpr std::size_t slot_count = N * 4 < 64 ? 64 : 128 * ((N * 4 + 127) / 128);

    static constexpr std::size_t letter(char c) noexcept {
        return static_cast<unsigned char>(ignore_case ? to_lower_char(c) : c);
    }
    static constexpr std::size_t slot_of(std::string_view name) noexcept {
        return (name.size() * 31u + letter(name.front()) * 7u + letter(name.back())) % slot_count;
    }

    std::array<std::string_view, N> names_;
    std::array<uint8_t, slot_count> slots_{};
};

} // namespace cl
