#include "left_behind.h"

#include <algorithm>

#include "sheet_routines.h"

namespace jobs {

namespace {

constexpr size_t kSourcesNamed = 5;  // per kind; the rest are counted

}  // namespace

void LeftBehind::add(const std::map<std::string, uint32_t>& counts, std::string_view where) {
    for (const auto& [kind, n] : counts) {
        if (n == 0) continue;
        Entry& e = kinds_[kind];
        e.count += n;
        recent_[kind] += n;
        if (e.sources.empty() || e.sources.back() != where) e.sources.emplace_back(where);
    }
}

void LeftBehind::wholeSheet(const automation::Worksheet& sheet, std::string_view where) {
    const ss::Worksheet& ws = sheet.model();
    if (ws.parts) add(ws.parts->dropped, where);
}

void LeftBehind::cellsOf(const automation::Worksheet& sheet, std::string_view where) {
    add(sheet.partsNotCarried(), where);
}

void LeftBehind::inXls(automation::Worksheet& sheet, std::string_view where) {
    std::map<std::string, uint32_t> held = sheet.partsHeld();
    held.erase("图表工作表");  // named as a sheet where it is left out
    add(held, where);
}

void LeftBehind::inXls(automation::Workbook& book) {
    for (int i = 1; i <= book.Sheets().Count(); ++i)
        if (automation::Worksheet* s = book.Sheets().Item(i)) inXls(*s, "[" + s->Name() + "]");
}

void LeftBehind::sheet(std::string_view kind, std::string_view where) {
    add({{std::string(kind), 1}}, where);
}

void LeftBehind::heldBy(const automation::Worksheet& sheet, std::string_view where) {
    add(automation::heldBesideCells(sheet), where);
}

std::string LeftBehind::text() const {
    if (kinds_.empty()) return {};
    std::string out(kLeftBehindPrefix);
    bool first = true;
    for (const auto& [kind, e] : kinds_) {
        if (!first) out += "；";
        first = false;
        out += kind + " " + std::to_string(e.count) + " 个（来自 ";
        for (size_t i = 0; i < e.sources.size() && i < kSourcesNamed; ++i) {
            if (i) out += "、";
            out += e.sources[i];
        }
        if (e.sources.size() > kSourcesNamed)
            out += " 等 " + std::to_string(e.sources.size()) + " 个工作表";
        out += "）";
    }
    out += "。";
    return out;
}

std::string LeftBehind::takeRecent() {
    std::string out;
    for (const auto& [kind, n] : recent_)
        out += (out.empty() ? "" : "、") + kind + " " + std::to_string(n) + " 个";
    recent_.clear();
    return out;
}

}  // namespace jobs
