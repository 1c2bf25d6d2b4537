// The shortest text of a number that reads back as the same double, as std::to_chars writes
// it, found without the general search for the usual numbers of a sheet: amounts and prices
// with a few decimals.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>

namespace ss {

// Writes `v` at `first` (room for 40 characters) and returns the end. Between 0.1 and 10^15, a
// number that is not whole and is n / 10^k for a whole n below 10^15 and k of at most 6 is
// written as that decimal; anything else goes to std::to_chars. The text is the one
// std::to_chars gives: the smallest such k gives the fewest digits, and fixed notation is the
// shorter there.
//
// One division decides it. Take the largest K <= 6 that keeps v * 10^K below 10^15. If v is
// n / 10^k for some k <= K, v * 10^K lies within 0.25 of the whole n * 10^(K-k), so rounding it
// gives that whole exactly, and dividing it by 10^K gives v again (both quotients are the one
// correctly rounded value of the same real number). So v is such a decimal exactly when
// round(v * 10^K) / 10^K == v, and the smallest k is K less the trailing zeros of that whole.
inline char* shortestChars(char* first, double v) {
    static constexpr double kScale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    static constexpr uint64_t kUnit[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    const double a = std::fabs(v);
    if (a >= 0.1 && a < 1e15 && a != std::floor(a)) {  // whole numbers have shorter forms
        int k = 6;
        while (k > 0 && a * kScale[k] >= 1e15) --k;
        const double n = std::nearbyint(a * kScale[k]);
        if (k > 0 && n / kScale[k] == a) {
            uint64_t whole = uint64_t(n);
            while (whole % 10 == 0) {  // stops before k reaches 0: `a` is not whole
                whole /= 10;
                --k;
            }
            char* p = first;
            if (v < 0) *p++ = '-';
            p = std::to_chars(p, p + 20, whole / kUnit[k]).ptr;
            *p++ = '.';
            uint64_t fraction = whole % kUnit[k];
            for (int d = k - 1; d >= 0; --d) {
                p[d] = char('0' + fraction % 10);
                fraction /= 10;
            }
            return p + k;
        }
    }
    return std::to_chars(first, first + 40, v).ptr;
}

}  // namespace ss
