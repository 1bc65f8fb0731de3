#include "content/NaturalOrder.h"

#include <cstddef>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

unsigned char Folded(char c)
{
    auto b = static_cast<unsigned char>(c);
    return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

// Compares the digit runs starting at a[*i] and b[*j] by value, without converting (a run may
// be longer than any integer), and moves both past their run. *zeros receives which run had
// more leading zeros, for the tie-break.
int CompareNumbers(std::string_view a, std::size_t* i, std::string_view b, std::size_t* j,
                   int* zeros)
{
    std::size_t ai = *i;
    std::size_t bj = *j;
    std::size_t a_zeros = 0;
    std::size_t b_zeros = 0;
    while (ai < a.size() && a[ai] == '0') ++ai, ++a_zeros;
    while (bj < b.size() && b[bj] == '0') ++bj, ++b_zeros;
    std::size_t a_end = ai;
    std::size_t b_end = bj;
    while (a_end < a.size() && IsDigit(a[a_end])) ++a_end;
    while (b_end < b.size() && IsDigit(b[b_end])) ++b_end;
    *i = a_end;
    *j = b_end;
    if (*zeros == 0 && a_zeros != b_zeros) *zeros = a_zeros < b_zeros ? -1 : 1;
    // Without leading zeros the longer run is the larger number.
    if (a_end - ai != b_end - bj) return a_end - ai < b_end - bj ? -1 : 1;
    for (; ai < a_end; ++ai, ++bj)
        if (a[ai] != b[bj]) return a[ai] < b[bj] ? -1 : 1;
    return 0;
}

}  // namespace

namespace tv {

int NaturalCompare(std::string_view a, std::string_view b) noexcept
{
    std::size_t i = 0;
    std::size_t j = 0;
    int zeros = 0;  // first difference in leading zeros, for names that tie otherwise
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            int by_value = CompareNumbers(a, &i, b, &j, &zeros);
            if (by_value != 0) return by_value;
            continue;
        }
        unsigned char x = Folded(a[i]);
        unsigned char y = Folded(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    if (zeros != 0) return zeros;
    int bytes = a.compare(b);
    return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

}  // namespace tv
