// Shared pieces of the BIFF8 reader and writer ([MS-XLS] 2.3, 2.4, 2.5).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../model/cell.h"

namespace ss::biff {

// Record types ([MS-XLS] 2.3).
enum : uint16_t {
    kFormula = 0x0006,
    kFormulaOld3 = 0x0206,  // FORMULA of BIFF3, BIFF4: met in later files of some writers
    kFormulaOld4 = 0x0406,
    kNote = 0x001C,
    kObj = 0x005D,
    kTxo = 0x01B6,
    kHLink = 0x01B8,
    kEof = 0x000A,
    kDateMode = 0x0022,
    kFilePass = 0x002F,
    kFont = 0x0031,
    kContinue = 0x003C,
    kWindow1 = 0x003D,
    kPane = 0x0041,
    kCodePage = 0x0042,
    kDefColWidth = 0x0055,
    kExternSheet = 0x0017,
    kName = 0x0018,
    kColInfo = 0x007D,
    kBoundSheet = 0x0085,
    kPalette = 0x0092,
    kScl = 0x00A0,
    kSetup = 0x00A1,
    kLeftMargin = 0x0026,
    kRightMargin = 0x0027,
    kTopMargin = 0x0028,
    kBottomMargin = 0x0029,
    kMulRk = 0x00BD,
    kMulBlank = 0x00BE,
    kRString = 0x00D6,
    kXf = 0x00E0,
    kMergedCells = 0x00E5,
    kSst = 0x00FC,
    kLabelSst = 0x00FD,
    kExtSst = 0x00FF,
    kSupBook = 0x01AE,
    kDimensions = 0x0200,
    kBlank = 0x0201,
    kNumber = 0x0203,
    kLabel = 0x0204,
    kBoolErr = 0x0205,
    kString = 0x0207,
    kRow = 0x0208,
    kBof = 0x0809,
    kArray = 0x0221,
    kDefaultRowHeight = 0x0225,
    kWindow2 = 0x023E,
    kRk = 0x027E,
    kStyle = 0x0293,
    kFormat = 0x041E,
    kShrFmla = 0x04BC,
    kBookBool = 0x00DA,
    kInterfaceHdr = 0x00E1,
    kInterfaceEnd = 0x00E2,
    kMms = 0x00C1,
    kWriteAccess = 0x005C,
    kCountry = 0x008C,
    kUseSelfs = 0x0160,
    kHideObj = 0x008D,
    kPrecision = 0x000E,
    kRefreshAll = 0x01B7,
    kCalcMode = 0x000D,
    kCalcCount = 0x000C,
    kRefMode = 0x000F,
    kIteration = 0x0011,
    kDelta = 0x0010,
    kSaveRecalc = 0x005F,
    kGuts = 0x0080,
    kWsBool = 0x0081,
    kGridSet = 0x0082,
    kSelection = 0x001D,
};

// BErr values of error cells ([MS-XLS] 2.5.10), in the order of ss::ErrorCode.
constexpr std::array<uint8_t, 8> kErrorCodes = {0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A, 0x2B};

inline std::optional<ErrorCode> errorFromBiff(uint8_t v) {
    for (size_t i = 0; i < kErrorCodes.size(); ++i)
        if (kErrorCodes[i] == v) return ErrorCode(i);
    return std::nullopt;
}

// Border line styles by their BIFF number ([MS-XLS] 2.5.4 BorderStyle).
constexpr std::array<std::string_view, 14> kBorderStyles = {"",
                                                            "thin",
                                                            "medium",
                                                            "dashed",
                                                            "dotted",
                                                            "thick",
                                                            "double",
                                                            "hair",
                                                            "mediumDashed",
                                                            "dashDot",
                                                            "mediumDashDot",
                                                            "dashDotDot",
                                                            "mediumDashDotDot",
                                                            "slantDashDot"};

// Fill patterns by their BIFF number ([MS-XLS] 2.5.12 FillPattern).
constexpr std::array<std::string_view, 19> kFillPatterns = {
    "none",           "solid",           "mediumGray",    "darkGray",  "lightGray",
    "darkHorizontal", "darkVertical",    "darkDown",      "darkUp",    "darkGrid",
    "darkTrellis",    "lightHorizontal", "lightVertical", "lightDown", "lightUp",
    "lightGrid",      "lightTrellis",    "gray125",       "gray0625"};

constexpr std::array<std::string_view, 8> kHorizontal = {
    "", "left", "center", "right", "fill", "justify", "centerContinuous", "distributed"};
constexpr std::array<std::string_view, 5> kVertical = {"top", "center", "", "justify",
                                                       "distributed"};

// The eight fixed colours of palette indexes 0..7.
constexpr std::array<uint32_t, 8> kFixedColors = {0xFF000000, 0xFFFFFFFF, 0xFFFF0000, 0xFF00FF00,
                                                  0xFF0000FF, 0xFFFFFF00, 0xFFFF00FF, 0xFF00FFFF};

}  // namespace ss::biff
