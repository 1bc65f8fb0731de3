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

namespace {

void AppendBigEndian(std::string* out, std::size_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

int Sign(int value)
{
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

}  // namespace

void NaturalKeys::Reserve(std::size_t names, std::size_t bytes)
{
    order_.reserve(bytes);
    order_ends_.reserve(names);
    zeros_ends_.reserve(names);
}

// A run of digits becomes '0' (where any digit sorts among the other bytes), the count of its
// digits without leading zeros (fixed width, so that the longer number sorts after) and those
// digits; any other byte is folded. Equal keys thus mean the same text and numbers, at the
// same places.
void NaturalKeys::Add(std::string_view name)
{
    for (std::size_t i = 0; i < name.size();) {
        if (!IsDigit(name[i])) {
            order_.push_back(static_cast<char>(Folded(name[i])));
            ++i;
            continue;
        }
        std::size_t zeros = 0;
        while (i < name.size() && name[i] == '0') ++i, ++zeros;
        std::size_t begin = i;
        while (i < name.size() && IsDigit(name[i])) ++i;
        order_.push_back('0');
        AppendBigEndian(&order_, i - begin);
        order_.append(name.substr(begin, i - begin));
        AppendBigEndian(&zeros_, zeros);
    }
    order_ends_.push_back(static_cast<std::uint32_t>(order_.size()));
    zeros_ends_.push_back(static_cast<std::uint32_t>(zeros_.size()));
}

int NaturalKeys::Compare(std::size_t a_index, std::string_view a, std::size_t b_index,
                         std::string_view b) const noexcept
{
    auto slice = [](const std::string& text, const std::vector<std::uint32_t>& ends,
                    std::size_t i) {
        std::size_t begin = i == 0 ? 0 : ends[i - 1];
        return std::string_view(text).substr(begin, ends[i] - begin);
    };
    if (int by_order =
            Sign(slice(order_, order_ends_, a_index).compare(slice(order_, order_ends_, b_index))))
        return by_order;
    if (int by_zeros =
            Sign(slice(zeros_, zeros_ends_, a_index).compare(slice(zeros_, zeros_ends_, b_index))))
        return by_zeros;
    return Sign(a.compare(b));
}

}  // namespace tv
