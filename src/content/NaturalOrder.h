// The order in which a person expects a folder: "track 2" before "track 10", case folded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

// Negative, zero or positive as `a` sorts before, with or after `b`. Runs of digits compare
// by value, letters without regard to ASCII case; names that still tie (leading zeros, case)
// are told apart by their bytes, so that only equal names compare equal and every page of a
// folder comes in the same order.
int NaturalCompare(std::string_view a, std::string_view b) noexcept;

inline bool NaturalLess(std::string_view a, std::string_view b) noexcept
{
    return NaturalCompare(a, b) < 0;
}

// The same order from keys made once per name and compared as bytes: sorting a large folder
// compares each name many times. The keys of many names are kept in two buffers.
class NaturalKeys {
public:
    void Reserve(std::size_t names, std::size_t bytes);
    // Adds the key of the next name (its index is the count of names added before).
    void Add(std::string_view name);
    // NaturalCompare(a, b) of the names added as `a_index` and `b_index`.
    int Compare(std::size_t a_index, std::string_view a, std::size_t b_index,
                std::string_view b) const noexcept;

private:
    std::string order_;  // folded text and numbers of each name, one after another
    std::string zeros_;  // leading zeros of each number, for names that tie on the above
    std::vector<std::uint32_t> order_ends_;
    std::vector<std::uint32_t> zeros_ends_;
};

}  // namespace tv
