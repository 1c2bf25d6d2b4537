// Date values restated between the 1900 and the 1904 date systems.
#include "internal.h"

namespace automation {

namespace {

constexpr double kDaysFrom1900To1904 = 1462;

}  // namespace

bool detail::DateShift::isDate(uint32_t xf) {
    if (xf >= kinds_.size()) return false;
    int8_t& kind = kinds_[xf];
    if (kind < 0)
        kind = styles_.isDateFormat(xf) &&
               !ss::isDurationFormatCode(styles_.numberFormatCode(styles_.cellXfs[xf].numFmtId));
    return kind == 1;
}

void detail::DateShift::apply(std::vector<ss::Row>& rows) {
    for (ss::Row& row : rows)
        for (ss::Cell& c : row.cells) {
            if (c.type != ss::CellType::Number || !(c.number >= 1) || !isDate(c.style)) continue;
            if (from1904_) {
                c.number += kDaysFrom1900To1904;
                ++shifted_;
            } else if (c.number >= kDaysFrom1900To1904) {
                c.number -= kDaysFrom1900To1904;
                ++shifted_;
            } else {
                ++kept_;  // before 1904-01-01: the 1904 system has no serial for it
            }
        }
}

void detail::DateShift::report(ReferenceReport& report) const {
    (from1904_ ? report.datesFrom1904 : report.datesTo1904) += shifted_;
    report.datesBefore1904 += kept_;
}

}  // namespace automation
