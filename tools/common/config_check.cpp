#include "common/config_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "common/config_markup.h"
#include "common/cron_text.h"
#include "common/edit_distance.h"
#include "kmp/kmp_frame.h"
#include "kmp/request_config.h"
#include "parser/options_text.h"
#include "parser/parser_BasicRequestItem.h"
#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"
#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace zol::tools {

namespace {

using parser::OptionsElement;

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---- Names ----

// Every element name the options dialog writes, and the event method the plug-in also reads.
constexpr std::string_view kKnownNames[] = {
    "QUERY",      "Request",    "Enabled",      "Device",    "Timeout",      "RequestMethod",
    "MethodOnce", "MethodPoll", "PollInterval", "PollUnits", "MethodAtTime", "AtTime",
    "MethodCron", "CronTime",   "MethodEvent",  "EventId",   "Response",     "Item",
    "Register",   "Custom",     "Name"};

bool IsKnownName(std::string_view name) {
    return std::any_of(
        std::begin(kKnownNames), std::end(kKnownNames),
        [name](std::string_view known) { return common::SameTextAscii(known, name); });
}

// The known name nearest to a misspelt one, when one is near enough to be what was meant.
std::optional<std::string_view> NearestKnownName(std::string_view name) {
    if (name.empty() || name.size() > 40) return std::nullopt;
    std::optional<std::string_view> best;
    std::size_t best_distance = 0;
    for (std::string_view known : kKnownNames) {
        const std::size_t limit =
            std::min<std::size_t>(2, std::max<std::size_t>(1, known.size() / 3));
        // A swap counts two edits here, so the check guesses as it always has.
        const std::size_t distance =
            EditDistance(name, known, {.ignore_ascii_case = true, .swap_is_one_edit = false});
        if (distance <= limit && (!best || distance < best_distance)) {
            best = known;
            best_distance = distance;
        }
    }
    return best;
}

// A text of the configuration as a finding shows it: on one line, cut after `longest` characters.
std::string Shown(std::string_view text, std::size_t longest = 40) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < longest; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(c < ' ' || c == 0x7F ? ' ' : text[i]);
    }
    if (text.size() > longest) out += "...";
    return out;
}

std::string Quote(std::string_view text) { return "\"" + Shown(text, 60) + "\""; }

std::string Hex4(std::int64_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id & 0xFFFF));
    return text;
}

// The tokens of a time list, cut where the plug-in cuts it (at ";" and ","), so that their
// positions are the indexes of its schedules.
std::vector<std::string_view> TimeListTokens(std::string_view list) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t separator = list.find_first_of(";,", start);
        const std::size_t end = separator == std::string_view::npos ? list.size() : separator;
        tokens.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

const OptionsElement* SelfOrDescendant(const OptionsElement& element, std::string_view name) {
    if (common::SameTextAscii(element.name, name)) return &element;
    return element.FindDescendant(name);
}

const char* MethodText(parser::TRequestMethod method) {
    switch (method) {
        case parser::TRequestMethod::rmPoll:
            return "polled";
        case parser::TRequestMethod::rmAtTime:
            return "sent at the times of AtTime";
        case parser::TRequestMethod::rmCron:
            return "sent by the cron string of CronTime";
        case parser::TRequestMethod::rmEvent:
            return "sent on the host's event";
        case parser::TRequestMethod::rmOnce:
            break;
    }
    return "sent once";
}

// ---- The check ----

class Checker {
   public:
    Checker(std::string_view text, kmp::KmpCatalogue catalogue)
        : document_(parser::ReadOptionsText(text)), catalogue_(catalogue) {
        markup_ = ScanMarkup(text);
        query_ = document_.root.FindChild("QUERY");
        for (const OptionsElement& child : document_.root.children) Number(child, kNone);
        // The scan names the reader's elements in the reader's order; should they ever differ,
        // the findings go without lines rather than with wrong ones.
        lines_known_ = markup_.elements.size() == nodes_.size();
        for (std::size_t i = 0; lines_known_ && i < nodes_.size(); ++i) {
            lines_known_ = markup_.elements[i].name == nodes_[i].element->name;
        }
        for (std::size_t i = 0; i < nodes_.size(); ++i) index_[nodes_[i].element] = i;
    }

    std::vector<ConfigFinding> Run() {
        CheckDocument();
        CheckMarkup();
        if (query_ != nullptr) {
            for (std::size_t k = 0; k < query_->children.size(); ++k) CheckEntry(k);
        }
        std::stable_sort(
            findings_.begin(), findings_.end(),
            [](const ConfigFinding& a, const ConfigFinding& b) { return a.line < b.line; });
        return std::move(findings_);
    }

   private:
    struct Node {
        const OptionsElement* element;
        std::size_t entry;  // the request (position under QUERY) it belongs to, or kNone
    };

    // Numbers the tree depth first, as the scan meets the elements.
    void Number(const OptionsElement& element, std::size_t entry) {
        nodes_.push_back({&element, entry});
        const bool is_query = &element == query_;
        for (std::size_t k = 0; k < element.children.size(); ++k) {
            Number(element.children[k], is_query ? k : entry);
        }
    }

    std::size_t LineOf(const OptionsElement* element) const {
        if (!lines_known_ || element == nullptr) return 0;
        const auto found = index_.find(element);
        return found == index_.end() ? 0 : markup_.elements[found->second].line;
    }
    std::size_t LineOfIndex(std::size_t index) const {
        return lines_known_ && index < markup_.elements.size() ? markup_.elements[index].line : 0;
    }

    std::string EntryName(std::size_t entry) const {
        if (entry == kNone || query_ == nullptr) return "document";
        return Shown(parser::OptionsCaption(query_->children[entry], "Request",
                                            static_cast<int>(entry + 1)));
    }

    void Add(std::size_t entry, std::size_t line, const std::string& what) {
        findings_.push_back({EntryName(entry),
                             line > 0 ? "line " + std::to_string(line) + ": " + what : what, line});
    }

    void CheckDocument() {
        for (const OptionsElement& child : document_.root.children) {
            if (&child == query_) continue;
            std::string what = "<" + Shown(child.name) + "> lies outside QUERY and is not read";
            if (query_ == nullptr) {
                const auto nearest = NearestKnownName(child.name);
                if (nearest && common::SameTextAscii(*nearest, "QUERY")) {
                    what = Shown(child.name) + " is not read (did you mean QUERY?)";
                }
            }
            Add(kNone, LineOf(&child), what);
        }
        if (query_ == nullptr) Add(kNone, 0, "no QUERY element: the plug-in loads no request");
    }

    void CheckMarkup() {
        for (const MarkupProblem& problem : markup_.problems) {
            const bool known = lines_known_ && problem.element != kNoElement;
            const std::size_t entry = known ? nodes_[problem.element].entry : kNone;
            const std::string open_name =
                problem.element != kNoElement ? Shown(markup_.elements[problem.element].name) : "";
            switch (problem.kind) {
                case MarkupProblemKind::kCutOff:
                    Add(entry, problem.line, problem.what);
                    break;
                case MarkupProblemKind::kNeverClosed:
                    Add(entry, problem.line, "<" + open_name + "> is never closed");
                    break;
                case MarkupProblemKind::kNotClosedBefore:
                    Add(entry, problem.line,
                        "<" + open_name + "> is not closed before </" + Shown(problem.close_name) +
                            "> in line " + std::to_string(problem.close_line));
                    break;
                case MarkupProblemKind::kMismatch: {
                    // A misspelt start tag is already named as an unknown element.
                    const auto& name = markup_.elements[problem.element].name;
                    const auto nearest = IsKnownName(name) ? std::nullopt : NearestKnownName(name);
                    if (nearest && common::SameTextAscii(*nearest, problem.close_name)) break;
                    Add(entry, problem.line,
                        "</" + Shown(problem.close_name) + "> closes <" + open_name + "> of line " +
                            std::to_string(LineOfIndex(problem.element)));
                    break;
                }
                case MarkupProblemKind::kStrayClose:
                    Add(kNone, problem.line,
                        "</" + Shown(problem.close_name) + "> closes no open element");
                    break;
            }
        }
    }

    // What the plug-in uses in place of an element the entry lacks.
    std::string Consequence(std::string_view missing, const OptionsElement& entry,
                            const parser::TBasicRequestItem& loaded,
                            const OptionsElement* item) const {
        auto is = [missing](std::string_view name) { return common::SameTextAscii(missing, name); };
        if (is("Response")) {
            return entry.FindChild("Response") == nullptr
                       ? "without Response the request is not loaded"
                       : "";
        }
        if (is("Register") || is("Custom") || is("Name")) {
            if (item == nullptr || SelfOrDescendant(*item, missing) != nullptr) return "";
            if (is("Name")) return "the item keeps its default name";
            if (SelfOrDescendant(*item, is("Register") ? "Custom" : "Register") != nullptr)
                return "";
            return "register 0000 is read";
        }
        if (entry.FindDescendant(missing) != nullptr) return "";
        if (is("Device")) return "without Device, address 1 is asked";
        if (is("Timeout")) return "the reply timeout stays 300 ms";
        if (is("Enabled")) return "the request is not sent, only its answers are decoded";
        if (is("PollInterval") || is("PollUnits")) {
            return "the interval is read as " + std::to_string(loaded.PollInterval) + " ms";
        }
        if (missing.starts_with("Method")) {
            return std::string("the request is ") + MethodText(loaded.Method);
        }
        if (is("AtTime")) return "the time list is 12:00:00";
        if (is("CronTime")) return "the cron string is 0 0 12 * * *";
        if (is("EventId")) return "no event is named";
        return "";
    }

    void CheckNames(std::size_t entry, const OptionsElement& element, const OptionsElement* item,
                    const OptionsElement* parent, const parser::TBasicRequestItem& loaded,
                    std::set<std::string>& suggested) {
        const OptionsElement& top = query_->children[entry];
        // Entries and register items may have any name: the plug-in takes them by position.
        const bool any_name =
            &element == &top || (parent != nullptr && parent == top.FindChild("Response"));
        if (&element == &top && !common::SameTextAscii(element.name, "Request") &&
            top.FindChild("Response") != nullptr) {
            // The plug-in takes any element in QUERY as a request; a name that is nearly Request
            // is a slip worth naming, other names are the writer's choice.
            const auto nearest = NearestKnownName(element.name);
            if (nearest && *nearest == "Request") {
                Add(entry, LineOf(&element),
                    "<" + Shown(element.name) +
                        "> is loaded as a request whatever its name (did you mean Request?): the "
                        "plug-in takes every element in QUERY that holds a Response as one");
            }
        }
        if (!any_name && !IsKnownName(element.name)) {
            std::string what = Shown(element.name) + " is not an element the plug-in reads";
            if (element.name.empty()) what = "an element without a name is not read";
            if (const auto nearest = NearestKnownName(element.name)) {
                what += " (did you mean " + std::string(*nearest) + "?)";
                const std::string consequence = Consequence(*nearest, top, loaded, item);
                if (!consequence.empty()) what += ": " + consequence;
                suggested.insert(std::string(*nearest));
            }
            Add(entry, LineOf(&element), what);
        }
        if (&element != &top && element.FindChild("Response") != nullptr) {
            const auto caption = element.Attribute("caption");
            const std::string label =
                caption && !caption->empty() ? Quote(*caption) : "<" + Shown(element.name) + ">";
            Add(entry, LineOf(&element),
                "the request " + label +
                    " lies inside this one and is not loaded (is an end tag missing before it?)");
        }
        const bool holds_items = &element == top.FindChild("Response");
        for (const OptionsElement& child : element.children) {
            CheckNames(entry, child, holds_items ? &child : item, &element, loaded, suggested);
        }
    }

    void CheckEntry(std::size_t entry) {
        const OptionsElement& top = query_->children[entry];
        parser::TBasicRequestItem loaded;
        loaded.LoadFromXml(top, static_cast<int>(entry + 1));
        std::set<std::string> suggested;
        CheckNames(entry, top, nullptr, nullptr, loaded, suggested);
        if (top.FindChild("Response") == nullptr) {
            if (suggested.count("Response") == 0) {
                Add(entry, LineOf(&top),
                    "no Response element: the plug-in does not load this request");
            }
            return;
        }
        CheckDevices(entry, top, suggested.count("Device") != 0);
        CheckNumber(entry, top, "Timeout", "the reply timeout is 300 ms");
        CheckNumber(entry, top, "PollInterval",
                    "the interval is read as " + std::to_string(loaded.PollInterval) + " ms");
        CheckUnits(entry, top, loaded);
        CheckMethods(entry, top, loaded);
        if (loaded.Method == parser::TRequestMethod::rmAtTime) CheckTimeList(entry, top, loaded);
        if (loaded.Method == parser::TRequestMethod::rmCron) CheckCron(entry, top, loaded);
        CheckRegisters(entry, *top.FindChild("Response"));
    }

    void CheckDevices(std::size_t entry, const OptionsElement& top, bool suggested) {
        const OptionsElement* device = top.FindDescendant("Device");
        const std::size_t line = LineOf(device != nullptr ? device : &top);
        if (device == nullptr) {
            if (!suggested) Add(entry, line, "no Device element: address 1 is asked");
            return;
        }
        const std::vector<std::string> tokens = kmp::SplitDevices(device->text);
        std::vector<std::string> kept = tokens;
        kmp::NormalizeDevices(kept);
        std::set<std::string_view> seen, repeated;
        for (const std::string& token : tokens) {
            const std::string_view trimmed = common::TrimControl(token);
            if (trimmed.empty()) continue;
            if (kmp::DeviceNumber(trimmed) < 0) {
                Add(entry, line, "Device token " + Quote(trimmed) + " is not an address: dropped");
            } else if (!seen.insert(trimmed).second && repeated.insert(trimmed).second) {
                Add(entry, line,
                    "address " + Shown(trimmed) + " is written twice in Device: it is asked once");
            }
        }
        if (kept.empty()) {
            Add(entry, line, "no address is left in Device: address 1 is asked");
            return;
        }
        std::map<std::int64_t, std::vector<std::string_view>> by_address;
        for (const std::string& text : kept) {
            const std::string_view trimmed = common::TrimControl(text);
            const std::int64_t number = kmp::DeviceNumber(trimmed);
            by_address[number & 0xFF].push_back(trimmed);
            if (number >= 1 && number <= 254) continue;
            if (number > 255) {
                Add(entry, line,
                    "address " + Shown(trimmed) +
                        " is outside 1-254: the request goes to address " +
                        std::to_string(number & 0xFF));
            } else {
                Add(entry, line,
                    "address " + Shown(trimmed) + " is outside 1-254: no meter answers it");
            }
        }
        for (const auto& [address, texts] : by_address) {
            if (texts.size() < 2) continue;
            std::string written;
            for (const std::string_view text : texts)
                written += (written.empty() ? "" : ", ") + Shown(text);
            Add(entry, line,
                "address " + std::to_string(address) + " appears " + std::to_string(texts.size()) +
                    " times in Device (" + written + "): the meter is asked " +
                    std::to_string(texts.size()) + " times");
        }
    }

    void CheckNumber(std::size_t entry, const OptionsElement& top, std::string_view name,
                     const std::string& consequence) {
        const OptionsElement* element = top.FindDescendant(name);
        if (element == nullptr || parser::ParseOptionsInteger(element->text)) return;
        Add(entry, LineOf(element),
            std::string(name) + " " + Quote(element->text) +
                " is not a whole number: " + consequence);
    }

    void CheckUnits(std::size_t entry, const OptionsElement& top,
                    const parser::TBasicRequestItem& loaded) {
        const OptionsElement* element = top.FindDescendant("PollUnits");
        if (element == nullptr) return;
        const std::string& units = element->text;
        if (units.empty() || units == "S" || units == "M" || units == "H" ||
            common::SameTextAscii(units, "MS")) {
            return;  // any spelling of MS reads as milliseconds, as meant
        }
        const std::string interval =
            "the interval is read as " + std::to_string(loaded.PollInterval) + " ms";
        std::string what;
        if (units == "s" || units == "m" || units == "h") {
            static constexpr std::pair<char, const char*> kUnits[] = {
                {'s', "seconds"}, {'m', "minutes"}, {'h', "hours"}};
            for (const auto& [letter, meaning] : kUnits) {
                if (units[0] != letter) continue;
                what = "PollUnits " + Quote(units) + " is lower case: only " +
                       static_cast<char>(letter - 'a' + 'A') + " means " + meaning + "; " +
                       interval;
            }
        } else {
            what = "PollUnits " + Quote(units) + " is not a unit: " + interval;
        }
        Add(entry, LineOf(element), what);
    }

    // The dialog ticks one method; a hand-edited text may tick more, and the plug-in then takes
    // the first of them in its own order of precedence, whatever the order of the text.
    void CheckMethods(std::size_t entry, const OptionsElement& top,
                      const parser::TBasicRequestItem& loaded) {
        static constexpr std::pair<std::string_view, parser::TRequestMethod> kPrecedence[] = {
            {"MethodAtTime", parser::TRequestMethod::rmAtTime},
            {"MethodCron", parser::TRequestMethod::rmCron},
            {"MethodOnce", parser::TRequestMethod::rmOnce},
            {"MethodEvent", parser::TRequestMethod::rmEvent},
            {"MethodPoll", parser::TRequestMethod::rmPoll}};
        std::optional<std::string_view> used;
        for (const auto& [name, method] : kPrecedence) {
            if (!parser::OptionsBooleanValue(top, name, false)) continue;
            if (!used) {
                used = name;
                continue;
            }
            Add(entry, LineOf(top.FindDescendant(name)),
                std::string(name) + " is ticked too, but the plug-in uses " + std::string(*used) +
                    " only: the request is " + MethodText(loaded.Method) + ", not " +
                    MethodText(method));
        }
    }

    void CheckTimeList(std::size_t entry, const OptionsElement& top,
                       const parser::TBasicRequestItem& loaded) {
        const std::string& list = loaded.MethodParams.Param;
        const std::size_t line = LineOf(top.FindDescendant("AtTime"));
        std::set<int> read;
        const auto schedules = parser::ParseAtTimeList(list);
        for (const auto& schedule : schedules) read.insert(schedule.index);
        const std::vector<std::string_view> tokens = TimeListTokens(list);
        CheckRepeatedTimes(entry, line, schedules, tokens);
        for (std::size_t k = 0; k < tokens.size(); ++k) {
            const std::string_view token = common::TrimControl(tokens[k]);
            if (token.empty() || read.count(static_cast<int>(k)) != 0) continue;
            Add(entry, line, "AtTime token " + Quote(token) + " is not a time of day: dropped");
        }
        if (read.empty()) Add(entry, line, "AtTime holds no time of day: the request never runs");
    }

    // Every token of the list is a schedule of its own, so a time written twice (in any form)
    // fires twice and the request is sent once for each.
    void CheckRepeatedTimes(std::size_t entry, std::size_t line,
                            const std::vector<parser::AtTimeSchedule>& schedules,
                            const std::vector<std::string_view>& tokens) {
        std::vector<std::pair<std::string, std::vector<std::string_view>>> by_time;
        for (const auto& schedule : schedules) {
            // The schedule is "second minute hour * * * *".
            int second = 0, minute = 0, hour = 0;
            if (std::sscanf(schedule.cron.c_str(), "%d %d %d", &second, &minute, &hour) != 3)
                continue;
            char at[16];
            std::snprintf(at, sizeof at, "%02d:%02d:%02d", hour, minute, second);
            auto found = std::find_if(by_time.begin(), by_time.end(),
                                      [&at](const auto& known) { return known.first == at; });
            if (found == by_time.end()) found = by_time.insert(by_time.end(), {at, {}});
            const auto index = static_cast<std::size_t>(schedule.index);
            if (index < tokens.size()) found->second.push_back(common::TrimControl(tokens[index]));
        }
        for (const auto& [at, written] : by_time) {
            if (written.size() < 2) continue;
            std::string texts;
            for (const std::string_view text : written)
                texts += (texts.empty() ? "" : ", ") + Shown(text);
            const std::string times = std::to_string(written.size()) + " times";
            Add(entry, line,
                "time " + at + " appears " + times + " in AtTime (" + texts +
                    "): the request is sent " + times + " at " + at);
        }
    }

    void CheckCron(std::size_t entry, const OptionsElement& top,
                   const parser::TBasicRequestItem& loaded) {
        const std::string& cron = loaded.MethodParams.Param;
        const std::size_t line = LineOf(top.FindDescendant("CronTime"));
        const std::size_t fields = parser::CronFields(cron).size();
        if (fields < 5) {
            Add(entry, line,
                "CronTime " + Quote(cron) + " has " + std::to_string(fields) +
                    (fields == 1 ? " field" : " fields") +
                    " where 5 or 6 are needed: the request runs every day at midnight");
            return;
        }
        if (fields > 6) {
            Add(entry, line,
                "CronTime " + Quote(cron) + " has " + std::to_string(fields) +
                    " fields: only the first 6 are read");
        }
        // A five-field string may run as two schedules: the request runs when either comes.
        // Both share every field but the days, so a parse error is in both.
        bool comes = false;
        const char* failure = nullptr;
        // Where a field is at fault, the reason names it as written (not the scheduler's form).
        const CronProblem problem = FindCronProblem(cron, scheduler::NowOle());
        const bool field_named = problem.kind == CronProblemKind::kUnreadable ||
                                 problem.kind == CronProblemKind::kOutOfRange;
        for (const std::string& schedule : parser::CronStringsFromParams(loaded.MethodParams)) {
            const auto parsed = scheduler::ParseCronString(schedule);
            if (!parsed.Ok()) {
                Add(entry, line,
                    "CronTime " + Quote(cron) + " is not a schedule (" +
                        (field_named ? Shown(problem.reason, 200) : Shown(parsed.error)) +
                        "): the request never runs");
                return;
            }
            // Values out of range and dates that never come (31 February) parse, but the
            // scheduler finds no run for them when the plug-in registers the schedule.
            const auto next = scheduler::NextRun(parsed.entries, scheduler::NowOle(), 0, 0);
            if (next.Ok() && next.time != 0) comes = true;
            if (!next.Ok() && failure == nullptr) failure = next.error;
        }
        if (!comes) {
            Add(entry, line,
                "CronTime " + Quote(cron) + " never comes" +
                    (field_named          ? " (" + Shown(problem.reason, 200) + ")"
                     : failure == nullptr ? std::string()
                                          : " (" + std::string(failure) + ")") +
                    ": the request never runs");
        }
    }

    // A catalogue row of this code: the catalogue in use first, then the other one.
    std::pair<const kmp::TKmpRegisterInfo*, const char*> RowOfCode(std::string_view code) const {
        if (const auto* row = kmp::FindRegisterByCode(kmp::Catalogue(catalogue_), code)) {
            return {row, "the catalogue"};
        }
        const bool heat = catalogue_ == kmp::KmpCatalogue::kHeat;
        const auto* row = kmp::FindRegisterByCode(
            kmp::Catalogue(heat ? kmp::KmpCatalogue::kElectricity : kmp::KmpCatalogue::kHeat),
            code);
        return {row, heat ? "the electricity catalogue" : "the heat catalogue"};
    }

    void CheckRegisters(std::size_t entry, const OptionsElement& response) {
        // The plug-in sends the first eight registers of a request and never the rest.
        if (response.children.size() > kmp::kMaxRequestRegisters) {
            Add(entry, LineOf(&response.children[kmp::kMaxRequestRegisters]),
                "Response holds " + std::to_string(response.children.size()) +
                    " registers: only the first 8 are read (one register request carries 8; "
                    "the rest need a request of their own)");
        }
        for (const OptionsElement& item : response.children) {
            CheckCustom(entry, item);
            // The plug-in's rule: Custom when present and not 0, else Register as hexadecimal.
            if (parser::OptionsIntegerValue(item, "Custom", 0) != 0) continue;
            const OptionsElement* element = SelfOrDescendant(item, "Register");
            if (element == nullptr) {
                if (SelfOrDescendant(item, "Custom") == nullptr && IsKnownAll(item)) {
                    Add(entry, LineOf(&item),
                        "the item has neither Register nor Custom: register 0000 is read");
                }
                continue;
            }
            const std::string& text = element->text;
            const auto id = parser::ParseOptionsInteger("$" + text);
            const auto [row, catalogue] = RowOfCode(text);
            const std::string code = row != nullptr && row->Id != 0
                                         ? std::string("; ") + catalogue + "'s code " +
                                               std::string(kmp::RegisterCode(row->Id)) +
                                               " is register " + Hex4(row->Id)
                                         : "";
            if (!id) {
                Add(entry, LineOf(element),
                    "Register " + Quote(text) + " is not a hexadecimal id: register 0000 is read" +
                        code);
            } else if (!code.empty() && row->Id != *id) {
                Add(entry, LineOf(element),
                    "Register " + Quote(text) + " is read as the hexadecimal id " + Hex4(*id) +
                        code);
            } else if (*id < 0 || *id > 0xFFFF) {
                Add(entry, LineOf(element),
                    "Register " + Quote(text) +
                        " has more than four hexadecimal digits: register " + Hex4(*id) +
                        " is read");
            }
        }
    }

    // Custom takes a decimal id only: any other text counts as 0, and the plug-in reads the
    // item's Register instead, or register 0 when there is none. People write the hexadecimal id
    // the dialog shows, or a code, so the finding says how to write what was meant.
    void CheckCustom(std::size_t entry, const OptionsElement& item) {
        const OptionsElement* custom = SelfOrDescendant(item, "Custom");
        if (custom == nullptr || custom->text.empty() || parser::ParseOptionsInteger(custom->text))
            return;
        const std::string& text = custom->text;
        std::string what = "Custom " + Quote(text) + " is not a decimal id: ";
        if (const OptionsElement* hex = SelfOrDescendant(item, "Register")) {
            const auto id = parser::ParseOptionsInteger("$" + hex->text).value_or(0);
            what += "Register " + Hex4(id) + " is read";
        } else {
            what += "register 0 is read";
        }
        std::optional<std::int64_t> meant;
        std::string named;
        const auto [row, catalogue] = RowOfCode(text);
        if (row != nullptr && row->Id != 0) {
            meant = row->Id;
            named = std::string(kmp::RegisterCode(row->Id)) + " (register 0x" + Hex4(row->Id) +
                    (row == kmp::FindRegister(kmp::Catalogue(catalogue_), row->Id)
                         ? ")"
                         : std::string(" of ") + catalogue + ")");
        } else if (const auto id = HexadecimalId(text); id && *id != 0) {
            meant = *id;
            named = "0x" + Hex4(*id);
        }
        if (meant) {
            char register_text[16];
            std::snprintf(register_text, sizeof register_text, "%X", static_cast<unsigned>(*meant));
            what += "; for " + named + " write " + std::to_string(*meant) + " or use <Register>" +
                    register_text + "</Register>";
        }
        Add(entry, LineOf(custom), what);
    }

    // A register id written in hexadecimal: one to four digits, with or without "0x".
    static std::optional<std::int64_t> HexadecimalId(std::string_view text) {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            text.remove_prefix(2);
        if (text.empty() || text.size() > 4) return std::nullopt;
        std::int64_t id = 0;
        for (const char c : text) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return std::nullopt;
            id = id * 16 + digit;
        }
        return id;
    }

    // True when no child of the item is an unknown name (a misspelt Register is named already).
    static bool IsKnownAll(const OptionsElement& item) {
        return std::all_of(item.children.begin(), item.children.end(),
                           [](const OptionsElement& child) { return IsKnownName(child.name); });
    }

    parser::OptionsDocument document_;
    kmp::KmpCatalogue catalogue_;
    Markup markup_;
    const OptionsElement* query_ = nullptr;
    std::vector<Node> nodes_;
    std::unordered_map<const OptionsElement*, std::size_t> index_;
    bool lines_known_ = false;
    std::vector<ConfigFinding> findings_;
};

}  // namespace

std::vector<ConfigFinding> CheckOptionsText(std::string_view text, kmp::KmpCatalogue catalogue) {
    return Checker(text, catalogue).Run();
}

std::string FindingLine(const ConfigFinding& finding) {
    return "warning: " + finding.where + ": " + finding.what;
}

}  // namespace zol::tools
