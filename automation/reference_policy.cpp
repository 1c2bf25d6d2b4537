// References through copies: the one policy for what a copy cannot carry, the defined names that
// come along, and the restating of whole-sheet copies once every sheet of their source is in.
#include <algorithm>
#include <set>

#include "internal.h"
#include "spreadsheet/model/formula.h"
#include "spreadsheet/model/parts.h"
#include "spreadsheet/text/xml_text.h"

namespace automation {

std::string ReferenceReport::text() const {
    if (empty()) return {};
    std::string out;
    auto add = [&](const std::string& part) { out += (out.empty() ? "" : "；") + part; };
    if (frozenFormulas) {
        std::string t = std::to_string(frozenFormulas) +
                        "个公式引用了输出中没有的工作表、行或名称，已写成其保存的值：";
        for (size_t i = 0; i < firstFrozen.size(); ++i) t += (i ? "、" : "") + firstFrozen[i];
        if (frozenFormulas > firstFrozen.size()) t += "等";
        add(t);
    }
    if (inlinedLists)
        add(std::to_string(inlinedLists) + "个下拉列表引用的列表不在输出中，已改为直接列出其选项");
    if (droppedElements)
        add(std::to_string(droppedElements) +
            "个条件格式、数据验证或超链接引用了输出中没有的内容，未复制");
    if (droppedNames) add(std::to_string(droppedNames) + "个名称引用了输出中没有的内容，未复制");
    if (unlinkedParts)
        add(std::to_string(unlinkedParts) +
            "处图表、迷你图、数据透视表或控件引用了输出中没有的工作表，不再随数据更新（图表显示"
            "保存时的值）");
    if (droppedSlicers)
        add(std::to_string(droppedSlicers) +
            "个切片器或日程表筛选的数据透视表或表格不在输出中，未复制");
    if (datesFrom1904) add(std::to_string(datesFrom1904) + "个日期值已从1904日期系统换算");
    if (datesTo1904) add(std::to_string(datesTo1904) + "个日期值已换算为1904日期系统");
    if (datesBefore1904)
        add(std::to_string(datesBefore1904) +
            "个早于1904年的日期无法以1904日期系统显示，保留了原值");
    return out + "。";
}

std::string ReferenceReport::namesText() const {
    if (namesLeft.empty()) return {};
    std::string t = "以下名称未复制到输出中：";
    for (size_t i = 0; i < namesLeft.size(); ++i) t += (i ? "、" : "") + namesLeft[i];
    return t + "。";
}

namespace detail {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

const ss::Worksheet* sheetNamed(const ss::Workbook& wb, std::string_view name) {
    return const_cast<ss::Workbook&>(wb).sheetByName(name);
}

const ss::DefinedName* findName(const ss::Workbook& wb, std::string_view name,
                                std::string_view homeSheet) {
    const std::string key = lower(name);
    const ss::Worksheet* home = homeSheet.empty() ? nullptr : sheetNamed(wb, homeSheet);
    const int homeIdx = home ? wb.indexOf(home) : -1;
    const ss::DefinedName* global = nullptr;
    for (const ss::DefinedName& n : wb.names) {
        if (lower(n.name) != key) continue;
        if (n.localSheet && int(*n.localSheet) == homeIdx) return &n;
        if (!n.localSheet) global = &n;
    }
    return global;
}

// "Sheet!A1:B3", "'My sheet'!$A$2:$A$9" or "A1:A4" (on `home`): the sheet and the range.
bool splitRangeText(std::string_view text, std::string& sheet, ss::CellRange& range) {
    size_t bang = text.rfind('!');
    std::string_view ref = text;
    if (bang != std::string_view::npos) {
        std::string_view s = text.substr(0, bang);
        ref = text.substr(bang + 1);
        if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') {
            sheet.clear();
            for (size_t i = 1; i + 1 < s.size(); ++i) {
                sheet += s[i];
                if (s[i] == '\'' && i + 2 < s.size() && s[i + 1] == '\'') ++i;
            }
        } else {
            sheet = std::string(s);
        }
    }
    auto r = ss::parseRange(ref);
    if (!r) return false;
    range = *r;
    return true;
}

}  // namespace

std::vector<std::string> keptFormulaTexts(const std::vector<ss::PreservedXml>& preserved) {
    std::vector<std::string> out;
    for (const ss::PreservedXml& p : preserved) {
        const bool formulas =
            p.element == "conditionalFormatting" || p.element == "dataValidations";
        const bool links = p.element == "hyperlinks";
        if (!formulas && !links) continue;
        const std::string& x = p.xml;
        if (formulas) {
            for (std::string_view open : {"<formula>", "<formula1>", "<formula2>"}) {
                for (size_t at = x.find(open); at != std::string::npos; at = x.find(open, at)) {
                    at += open.size();
                    size_t end = x.find('<', at);
                    if (end == std::string::npos) break;
                    out.push_back(ss::xml::unescape(std::string_view(x).substr(at, end - at)));
                }
            }
        } else {
            // Locations of hyperlinks into the workbook; one with a target (r:id) is a place in
            // another file.
            static constexpr std::string_view kLink = "<hyperlink ", kLoc = " location=\"";
            for (size_t at = x.find(kLink); at != std::string::npos; at = x.find(kLink, at)) {
                at += kLink.size();
                const size_t close = x.find('>', at);
                const std::string_view link =
                    std::string_view(x).substr(at, close == std::string::npos ? close : close - at);
                const size_t loc = link.find(kLoc);
                if (loc == std::string_view::npos ||
                    link.find(" r:id=\"") != std::string_view::npos)
                    continue;
                const size_t end = link.find('"', loc + kLoc.size());
                if (end == std::string_view::npos) continue;
                out.push_back(
                    ss::xml::unescape(link.substr(loc + kLoc.size(), end - loc - kLoc.size())));
            }
        }
    }
    return out;
}

std::optional<std::string> inlineList(const ss::Workbook& wb, std::string_view formula,
                                      std::string_view homeSheet) {
    std::string text(formula);
    // A name (local to the sheet first) stands for its range.
    if (const ss::DefinedName* n = findName(wb, text, homeSheet)) text = n->formula;
    std::string sheetName(homeSheet);
    ss::CellRange r;
    if (!splitRangeText(text, sheetName, r)) return std::nullopt;
    const ss::Worksheet* ws = sheetNamed(wb, sheetName);
    if (!ws || (r.colCount() != 1 && r.rowCount() != 1)) return std::nullopt;
    if (uint64_t(r.rowCount()) * r.colCount() > 255) return std::nullopt;
    std::string list;
    for (uint32_t row = r.firstRow; row <= r.lastRow; ++row)
        for (uint32_t col = r.firstCol; col <= r.lastCol; ++col) {
            const ss::Cell* c = ws->find(row, col);
            std::string v = c ? wb.cellText(*c) : std::string();
            if (v.find_first_of(",\"") != std::string::npos) return std::nullopt;
            if (v.empty()) continue;
            if (!list.empty()) list += ',';
            list += v;
            if (list.size() > 255) return std::nullopt;
        }
    if (list.empty()) return std::nullopt;
    return "\"" + list + "\"";
}

ReferencePolicy::ReferencePolicy(ReferenceState& state, const ss::ReferenceMap& map,
                                 const ss::Workbook& source, std::string sourceBook)
    : state_(state), map_(map), source_(source), sourceBook_(std::move(sourceBook)) {}

std::optional<std::string> ReferencePolicy::cellFormula(std::string_view text,
                                                        std::string_view home, uint32_t row,
                                                        uint32_t col,
                                                        std::vector<WaitingFormula>* wait,
                                                        uint64_t key) {
    if (state_.valuesOnly) return std::nullopt;  // asked for: not counted
    auto restated = ss::restateFormula(text, map_, home);
    if (restated) return restated;
    if (wait)
        wait->push_back({key, std::string(home), row, col, std::string(text)});
    else
        frozen(home, row, col);
    return std::nullopt;
}

void ReferencePolicy::frozen(std::string_view home, uint32_t row, uint32_t col) {
    ReferenceReport& r = state_.report;
    if (r.firstFrozen.size() < ReferenceReport::kListed)
        r.firstFrozen.push_back(sourceBook_ + " [" + std::string(home) + "] " +
                                ss::cellName(row, col));
    ++r.frozenFormulas;
}

std::optional<std::string> ReferencePolicy::kept(ss::KeptText kind, std::string_view text,
                                                 std::string_view home,
                                                 std::vector<WaitingText>* wait) {
    auto restated = ss::restateFormula(text, map_, home);
    if (restated) return restated;
    if (wait) {
        // The same text of the same sheet waits under one mark: the pieces of a rule that land
        // side by side stay one rule.
        for (const WaitingText& w : *wait)
            if (w.kind == kind && !w.spoiled && w.home == home && w.text == text) return w.mark;
        wait->push_back({"_tw_waiting_" + std::to_string(++state_.marks) + "_", kind,
                         std::string(home), std::string(text)});
        return wait->back().mark;
    }
    if (kind == ss::KeptText::ValidationList) {
        if (auto list = inlineList(source_, text, home)) {
            ++state_.report.inlinedLists;
            return list;
        }
    }
    ++state_.report.droppedElements;
    return std::nullopt;
}

void ReferencePolicy::droppedName(const ss::DefinedName& name, std::string_view sheet,
                                  const ss::Workbook* to, std::string key) {
    std::string_view shown = name.name;
    if (shown.size() > 6 && lower(shown.substr(0, 6)) == "_xlnm.") shown.remove_prefix(6);
    std::string label = sourceBook_ + (sheet.empty() ? "" : " [" + std::string(sheet) + "]") + " " +
                        std::string(shown);
    if (to && state_.holding) {
        state_.heldNames.push_back({&source_, to, std::move(key), std::move(label)});
        return;
    }
    ++state_.report.droppedNames;
    state_.report.namesLeft.push_back(std::move(label));
}

void ReferencePolicy::carriedName(const ss::Workbook* to, std::string key) {
    if (state_.holding) state_.carriedNames.insert({&source_, to, std::move(key)});
}

std::vector<std::string> namesUsedBy(const std::vector<std::string_view>& texts) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (std::string_view t : texts)
        for (std::string& n : ss::formulaNames(t).names)
            if (seen.insert(lower(n)).second) out.push_back(std::move(n));
    return out;
}

namespace {

bool builtInName(std::string_view name) {
    return name.size() > 6 && lower(name.substr(0, 6)) == "_xlnm.";
}

// The sheet a name is local to ("" for a workbook-level name).
std::string homeOf(const ss::DefinedName& n, const ss::Workbook& wb) {
    return n.localSheet && *n.localSheet < wb.sheets.size() ? wb.sheets[*n.localSheet]->name
                                                            : std::string();
}

std::string memoKey(const ss::DefinedName& n, const ss::Workbook& wb) {
    return n.localSheet ? lower(homeOf(n, wb)) + '\x01' + lower(n.name) : lower(n.name);
}

// `base` with the first suffix "_2", "_3" ... that no name of `wb` has, nor `taken` (lower case).
std::string freeName(const ss::Workbook& wb, const std::string& base, std::set<std::string> taken) {
    for (const ss::DefinedName& e : wb.names) taken.insert(lower(e.name));
    for (uint32_t k = 2;; ++k) {
        std::string name = base + "_" + std::to_string(k);
        if (!taken.count(lower(name))) return name;
    }
}

}  // namespace

void carryNames(ReferencePolicy& policy, ss::ReferenceMap& map, const ss::Workbook& from,
                ss::Workbook& to, const std::vector<CopiedSheet>& sheets,
                const std::vector<std::string>& used, const NameCarry& how) {
    std::set<std::string>* decided = how.memo ? &how.memo->decided : nullptr;
    // The names to bring: those used, those their formulas use in turn, and what `how` adds.
    struct Item {
        const ss::DefinedName* name;
        const CopiedSheet* local;  // for a name local to a copied sheet
        std::string key;
    };
    std::vector<Item> items;
    std::set<const ss::DefinedName*> have;
    std::vector<std::string> queue = used;
    auto take = [&](const ss::DefinedName* n, const CopiedSheet* local) {
        if (!n || !have.insert(n).second) return;
        std::string key = memoKey(*n, from);
        if (decided && !decided->insert(key).second) return;
        items.push_back({n, local, std::move(key)});
        for (std::string& m : ss::formulaNames(n->formula).names) queue.push_back(std::move(m));
    };
    auto copiedSheetOf = [&](const ss::DefinedName& n) -> const CopiedSheet* {
        if (n.localSheet)
            for (const CopiedSheet& s : sheets)
                if (from.indexOf(s.source) == int(*n.localSheet)) return &s;
        return nullptr;
    };
    std::unordered_map<std::string, std::vector<const ss::DefinedName*>> byName;
    for (const ss::DefinedName& n : from.names) byName[lower(n.name)].push_back(&n);
    if (how.localNames || how.everyName)
        for (const ss::DefinedName& n : from.names) {
            if (!n.localSheet) {
                if (how.everyName) take(&n, nullptr);
            } else if (const CopiedSheet* s = copiedSheetOf(n)) {
                take(&n, s);
            } else if (how.everyName && lower(n.name) != "_xlnm._filterdatabase" &&
                       (!decided || decided->insert(memoKey(n, from)).second)) {
                policy.droppedName(n, homeOf(n, from), &to,
                                   memoKey(n, from));  // its sheet is not in the output
            }
        }
    for (size_t q = 0; q < queue.size(); ++q) {
        auto it = byName.find(lower(queue[q]));
        if (it == byName.end()) continue;
        // The workbook-level name, and a name local to a copied sheet that its own formulas use.
        for (const ss::DefinedName* n : it->second)
            if (!n->localSheet)
                take(n, nullptr);
            else if (const CopiedSheet* s = copiedSheetOf(*n))
                take(n, s);
    }
    if (items.empty()) return;

    // Names whose formulas fit the map, settled together under their spellings in `to`: a name
    // that uses a name left behind is left behind too.
    std::vector<bool> carried(items.size(), true);
    std::vector<std::string> restated(items.size()), spelling(items.size());
    for (size_t i = 0; i < items.size(); ++i) spelling[i] = items[i].name->name;
    auto leave = [&](size_t i) {
        carried[i] = false;
        if (how.wait && how.memo)
            how.memo->retry.emplace_back(items[i].name->name, items[i].key);
        else
            policy.droppedName(*items[i].name, homeOf(*items[i].name, from), &to, items[i].key);
    };
    auto fit = [&] {
        for (bool changed = true; changed;) {
            changed = false;
            ss::ReferenceMap trial = map;
            for (size_t i = 0; i < items.size(); ++i) {
                if (!carried[i]) continue;
                const CopiedSheet* local = items[i].local;
                trial.addName(
                    items[i].name->name, spelling[i],
                    local ? std::optional<std::string_view>(local->source->name) : std::nullopt);
            }
            for (size_t i = 0; i < items.size(); ++i) {
                if (!carried[i]) continue;
                const CopiedSheet* local = items[i].local;
                auto f = ss::restateFormula(items[i].name->formula, trial,
                                            local ? std::string_view(local->source->name) : "");
                if (!f) {
                    leave(i);
                    changed = true;
                } else {
                    restated[i] = std::move(*f);
                }
            }
        }
    };
    fit();

    if (how.blocks) {
        // One target sheet: a name meets the workbook's names and those local to that sheet.
        const int target = sheets.empty() ? -1 : to.indexOf(sheets.front().copy);
        std::vector<bool> there(items.size(), false);
        std::set<std::string> batch;  // spellings the names before took (lower case)
        bool renamed = false;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!carried[i]) continue;
            if (builtInName(spelling[i])) {
                // A print area, print titles ... of one block: the merged sheet is printed whole.
                carried[i] = false;
                policy.droppedName(*items[i].name, homeOf(*items[i].name, from), &to, items[i].key);
                continue;
            }
            const bool local = items[i].local && target >= 0;
            bool clash = batch.count(lower(spelling[i])) > 0;
            for (const ss::DefinedName& e : to.names) {
                if (lower(e.name) != lower(spelling[i])) continue;
                if (e.localSheet && int(*e.localSheet) != target) continue;  // another sheet's
                const bool sameScope = e.localSheet.has_value() == local;
                if (sameScope && e.formula == restated[i])
                    there[i] = true;
                else
                    clash = true;
            }
            if (there[i]) continue;
            if (clash) {
                spelling[i] = freeName(to, items[i].name->name, batch);
                renamed = true;
            }
            batch.insert(lower(spelling[i]));
        }
        if (renamed) fit();  // the formulas that use a renamed name follow it
        for (size_t i = 0; i < items.size(); ++i) {
            if (!carried[i]) continue;
            policy.carriedName(&to, items[i].key);
            const CopiedSheet* local = items[i].local;
            if (!there[i]) {
                ss::DefinedName c = *items[i].name;
                c.name = spelling[i];
                c.formula = restated[i];
                c.localSheet.reset();
                if (local && target >= 0) c.localSheet = uint32_t(target);
                to.names.push_back(std::move(c));
            }
            map.addName(
                items[i].name->name, spelling[i],
                local ? std::optional<std::string_view>(local->source->name) : std::nullopt);
        }
        return;
    }

    // Workbook-level names whose spelling `to` has for another meaning become local to the
    // copied sheets; so do those that use one of them (a workbook-level formula would read
    // `to`'s meaning).
    std::vector<bool> clash(items.size(), false);
    std::set<std::string> clashing;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!carried[i] || items[i].local) continue;
        for (const ss::DefinedName& e : to.names)
            if (!e.localSheet && lower(e.name) == lower(items[i].name->name) &&
                e.formula != restated[i]) {
                clash[i] = true;
                clashing.insert(lower(e.name));
            }
    }
    for (bool changed = !clashing.empty(); changed;) {
        changed = false;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!carried[i] || items[i].local || clash[i]) continue;
            for (const std::string& m : ss::formulaNames(restated[i]).names)
                if (clashing.count(lower(m))) {
                    clash[i] = changed = true;
                    clashing.insert(lower(items[i].name->name));
                    break;
                }
        }
    }

    for (size_t i = 0; i < items.size(); ++i) {
        if (!carried[i]) continue;
        policy.carriedName(&to, items[i].key);
        const ss::DefinedName& n = *items[i].name;
        auto addLocal = [&](const CopiedSheet& s) {
            const int idx = to.indexOf(s.copy);
            if (idx < 0) return;
            for (const ss::DefinedName& e : to.names)
                if (e.localSheet && int(*e.localSheet) == idx && lower(e.name) == lower(n.name))
                    return;  // the sheet has its own already
            ss::DefinedName c = n;
            c.formula = restated[i];
            c.localSheet = uint32_t(idx);
            to.names.push_back(std::move(c));
        };
        if (items[i].local) {
            addLocal(*items[i].local);
            map.addName(n.name, n.name, items[i].local->source->name);
            continue;
        }
        const bool same = std::any_of(to.names.begin(), to.names.end(), [&](auto& e) {
            return !e.localSheet && lower(e.name) == lower(n.name);
        });
        if (clash[i]) {
            for (const CopiedSheet& s : sheets) addLocal(s);
        } else if (!same) {
            ss::DefinedName c = n;
            c.formula = restated[i];
            to.names.push_back(std::move(c));
        }
        map.addName(n.name, n.name);
    }
}

void renameReferences(ss::Workbook& wb, const ss::Worksheet& renamed, std::string_view oldName) {
    ss::ReferenceMap map;
    auto before = [&](const ss::Worksheet& s) {
        return &s == &renamed ? std::string(oldName) : s.name;
    };
    for (const auto& s : wb.sheets) map.addSheet(before(*s), {s->name, true, {}});
    for (const ss::DefinedName& n : wb.names)
        if (!n.localSheet)
            map.addName(n.name, n.name);
        else if (*n.localSheet < wb.sheets.size())
            map.addName(n.name, n.name, before(*wb.sheets[*n.localSheet]));
    // What the map cannot read (another workbook, several sheets, tables) stays as it is.
    auto restated = [&](std::string_view text, std::string_view home) {
        return ss::restateFormula(text, map, home).value_or(std::string(text));
    };
    for (auto& s : wb.sheets) {
        const std::string home = before(*s);
        for (auto& [k, f] : s->mutableFormulas()) f.text = restated(f.text, home);
        ss::restatePreserved(
            s->preserved,
            [&](ss::KeptText, std::string_view text, int64_t,
                int64_t) -> std::optional<std::string> { return restated(text, home); });
    }
    for (ss::DefinedName& n : wb.names)
        n.formula = restated(n.formula, n.localSheet && *n.localSheet < wb.sheets.size()
                                            ? before(*wb.sheets[*n.localSheet])
                                            : std::string());
}

void ReferenceState::forgetSheet(uint64_t book, const ss::Worksheet* sheet, bool gone) {
    if (gone) std::erase_if(pending, [&](const PendingCopy& p) { return p.copy == sheet; });
    if (gone)
        for (auto& [k, e] : copies) std::erase(e.copiedFrom, sheet);
    for (auto it = copies.begin(); it != copies.end();) {
        if (std::get<2>(it->first) == sheet) {
            it = copies.erase(it);
            continue;
        }
        if (std::get<0>(it->first) == book) it->second.map.removeSheet(sheet->name);
        ++it;
    }
}

namespace {

size_t refErrors(std::string_view text) {
    size_t n = 0;
    for (size_t at = text.find("#REF!"); at != std::string_view::npos;
         at = text.find("#REF!", at + 1))
        ++n;
    return n;
}

// Settles what waits in the range copies of one source into one target sheet: names, then the
// formulas (they may use those names), then the kept texts. `landed`: the map still says where
// the blocks are; after the target's rows moved it does not, and what waits is given up.
void settleBlocks(ReferenceState& state, CopyRefs& e, bool landed) {
    const ss::Workbook& from = e.source->model();
    ss::Workbook& to = e.target->model();
    ss::ReferenceMap none;
    ss::ReferenceMap& map = landed ? e.map : none;
    ReferencePolicy policy(state, map, from, e.source->Name());
    ReferencePolicy givenUp(state, none, from, e.source->Name());

    std::vector<std::string> retry;
    for (auto& [name, key] : e.names.retry) {
        e.names.decided.erase(key);
        retry.push_back(name);
    }
    e.names.retry.clear();
    const bool every = landed && state.merging && !e.namesDone;
    if (!retry.empty() || every) {
        std::vector<CopiedSheet> sheets;
        for (const ss::Worksheet* s : e.copiedFrom) sheets.push_back({s, e.sheet});
        NameCarry how;
        how.localNames = how.everyName = every;
        how.blocks = true;
        how.memo = &e.names;
        carryNames(policy, map, from, to, sheets, retry, how);
        e.namesDone = e.namesDone || every;
    }

    ss::Worksheet& dm = *e.sheet;
    for (WaitingFormula& w : e.formulas) {
        std::optional<std::string> text;
        if (landed && !w.spoiled) text = ss::restateFormula(w.text, e.map, w.home);
        ss::Cell* c =
            text ? dm.find(ss::Worksheet::keyRow(w.key), ss::Worksheet::keyCol(w.key)) : nullptr;
        if (c && !c->hasFormula()) {
            c->flags |= ss::Cell::kHasFormula;
            dm.mutableFormulas().insert_or_assign(w.key, ss::Formula{std::move(*text), false, {}});
        } else {
            policy.frozen(w.home, w.row, w.col);
        }
    }
    e.formulas.clear();

    // Only the elements that hold a mark are read again (a sheet of many blocks keeps many).
    auto settle = [&](ss::KeptText kind, std::string_view text, int64_t,
                      int64_t) -> std::optional<std::string> {
        for (const WaitingText& w : e.texts)
            if (w.mark == text) return (w.spoiled ? givenUp : policy).kept(kind, w.text, w.home);
        return std::string(text);  // settled, or another source's
    };
    bool emptied = false;
    for (ss::PreservedXml& p : dm.preserved) {
        if (e.texts.empty() || p.xml.find("_tw_waiting_") == std::string::npos) continue;
        std::vector<ss::PreservedXml> one{std::move(p)};
        ss::restatePreserved(one, settle);
        p = one.empty() ? ss::PreservedXml{} : std::move(one.front());
        emptied = emptied || one.empty();
    }
    if (emptied)
        std::erase_if(dm.preserved, [](const ss::PreservedXml& p) { return p.element.empty(); });
    // Those of the extension list (written into the parts before: see Application::closed).
    if (e.extWaiting && !e.texts.empty()) ss::restateExtensionTexts(dm, settle);
    e.extWaiting = false;
    e.texts.clear();
}

}  // namespace

void ReferenceState::rowsMoved(uint64_t book, ss::Worksheet* sheet, const ss::RowMove& move) {
    auto follow = [&](std::string& text, bool& spoiled) {
        std::string moved = move.named(text, sheet->name);
        spoiled = spoiled || refErrors(moved) > refErrors(text);
        text = std::move(moved);
    };
    for (auto& [k, e] : copies) {
        if (std::get<2>(k) == sheet) {
            if (e.source && e.waiting(false)) settleBlocks(*this, e, false);
        } else if (std::get<0>(k) == book) {
            for (WaitingFormula& w : e.formulas) follow(w.text, w.spoiled);
            for (WaitingText& w : e.texts) follow(w.text, w.spoiled);
        }
    }
    forgetSheet(book, sheet, false);
}

void ReferenceState::forgetBook(uint64_t book) {
    std::erase_if(copies, [&](const auto& e) {
        return std::get<0>(e.first) == book || std::get<1>(e.first) == book;
    });
    sourceTables.erase(book);
    tableNames.erase(book);
    looks.erase(book);
}

namespace {

void freeze(ss::Worksheet& ws, const std::vector<uint64_t>& keys) {
    for (uint64_t k : keys) {
        ws.mutableFormulas().erase(k);
        if (ss::Cell* c = ws.find(ss::Worksheet::keyRow(k), ss::Worksheet::keyCol(k)))
            c->flags &= uint8_t(~ss::Cell::kHasFormula);
    }
}

void settleCopies(ReferenceState& state, const std::vector<PendingCopy>& group) {
    Workbook& src = *group.front().source;
    const ss::Workbook& from = src.model();
    ss::Workbook& to = group.front().target->model();
    const bool sameBook = &from == &to;

    ss::ReferenceMap map;
    std::vector<CopiedSheet> sheets;
    for (const PendingCopy& p : group) {
        map.addSheet(p.sourceName, {p.copy->name, true, {}});
        if (const ss::Worksheet* s = sheetNamed(from, p.sourceName)) sheets.push_back({s, p.copy});
        // Tables go with their sheet (a clash is renamed when the output is written, and the
        // structured references of the same source follow it there).
        if (p.copy->parts)
            for (const std::string& t : ss::tableNames(*p.copy->parts)) map.addName(t, t);
    }
    if (sameBook) {  // every other sheet and every name stays where it is
        for (const auto& s : from.sheets)
            if (!map.sheet(s->name) && std::none_of(group.begin(), group.end(),
                                                    [&](auto& p) { return p.copy == s.get(); }))
                map.addSheet(s->name, {s->name, true, {}});
        for (const ss::DefinedName& n : from.names)
            if (!n.localSheet)
                map.addName(n.name, n.name);
            else if (*n.localSheet < from.sheets.size())
                map.addName(n.name, n.name, from.sheets[*n.localSheet]->name);
    }
    ReferencePolicy policy(state, map, from, src.Name());

    std::vector<std::string> texts;
    if (!sameBook)
        for (const PendingCopy& p : group) {
            for (const auto& [k, f] : p.copy->formulas()) texts.push_back(f.text);
            for (std::string& t : keptFormulaTexts(p.copy->preserved))
                texts.push_back(std::move(t));
        }
    std::vector<std::string_view> views(texts.begin(), texts.end());
    NameCarry how;
    how.localNames = true;
    how.everyName = state.merging && !sameBook;
    carryNames(policy, map, from, to, sheets,
               sameBook ? std::vector<std::string>{} : namesUsedBy(views), how);

    for (const PendingCopy& p : group) {
        std::vector<uint64_t> frozen;
        // A reference to the formula's own table without its name ("[@Qty]") gets the name,
        // which the map knows.
        ss::TableIndex own;
        if (p.copy->parts) own.add(p.sourceName, ss::sheetTables(*p.copy->parts));
        auto named = [](const ss::TableIndex::Entry&) { return false; };
        for (auto& [k, f] : p.copy->mutableFormulas()) {
            const uint32_t row = ss::Worksheet::keyRow(k), col = ss::Worksheet::keyCol(k);
            auto r = own.empty() || f.text.find('[') == std::string::npos
                         ? policy.cellFormula(f.text, p.sourceName, row, col)
                         : policy.cellFormula(
                               ss::unstructure(f.text, p.sourceName, row, col, own, named),
                               p.sourceName, row, col);
            if (r)
                f.text = std::move(*r);
            else
                frozen.push_back(k);
        }
        freeze(*p.copy, frozen);
        ss::restatePreserved(p.copy->preserved,
                             [&](ss::KeptText kind, std::string_view text, int64_t, int64_t) {
                                 return policy.kept(kind, text, p.sourceName);
                             });
    }
}

}  // namespace

void settlePending(ReferenceState& state, const std::function<bool(const PendingCopy&)>& which) {
    ++state.holding;
    for (auto& [k, e] : state.copies)
        if (e.source && e.waiting(state.merging) &&
            which(PendingCopy{e.source, e.target, e.sheet, {}}))
            settleBlocks(state, e, true);
    std::vector<PendingCopy> due;
    std::erase_if(state.pending, [&](const PendingCopy& p) {
        if (!which(p)) return false;
        due.push_back(p);
        return true;
    });
    // A group holds one copy of each source sheet: a sheet copied twice gives two groups, each
    // copy reading its own sheet.
    while (!due.empty()) {
        std::vector<PendingCopy> group;
        std::set<std::string> names;
        const Workbook* source = due.front().source;
        const Workbook* target = due.front().target;
        std::erase_if(due, [&](const PendingCopy& p) {
            if (p.source != source || p.target != target ||
                !names.insert(lower(p.sourceName)).second)
                return false;
            group.push_back(p);
            return true;
        });
        settleCopies(state, group);
    }
    // The names left behind that no copy of this settling carried, each once.
    if (--state.holding == 0) {
        std::set<std::tuple<const ss::Workbook*, const ss::Workbook*, std::string>> named;
        for (ReferenceState::HeldName& h : state.heldNames)
            if (!state.carriedNames.count({h.from, h.to, h.key}) &&
                named.insert({h.from, h.to, h.key}).second) {
                ++state.report.droppedNames;
                state.report.namesLeft.push_back(std::move(h.label));
            }
        state.heldNames.clear();
        state.carriedNames.clear();
    }
}

}  // namespace detail

}  // namespace automation
