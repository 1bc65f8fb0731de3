// The order in which a person expects a folder: "track 2" before "track 10", case folded.
#pragma once

#include <string_view>

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

}  // namespace tv
