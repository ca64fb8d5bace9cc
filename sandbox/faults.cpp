#include "faults.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace qelsms::sandbox {

namespace {

constexpr std::array<std::pair<FaultType, std::string_view>, 9> kNames{{
    {FaultType::Delay, "delay"},
    {FaultType::Close, "close"},
    {FaultType::Reset, "reset"},
    {FaultType::Truncate, "truncate"},
    {FaultType::WrongMediaType, "wrong-media-type"},
    {FaultType::Html500, "html-500"},
    {FaultType::Oversized, "oversized"},
    {FaultType::Redirect, "redirect"},
    {FaultType::Throttle, "throttle"},
}};

std::string_view nameOf(FaultType type) {
    for (const auto& [t, name] : kNames) {
        if (t == type) return name;
    }
    return "?";
}

// A non-negative integer member, or `fallback` when absent.
bool readCount(const nlohmann::ordered_json& request, const char* key, std::size_t fallback, std::size_t& out,
               std::string& error) {
    const auto it = request.find(key);
    if (it == request.end()) {
        out = fallback;
        return true;
    }
    if (!it->is_number_unsigned()) {
        error = std::string("\"") + key + "\" must be a non-negative integer";
        return false;
    }
    out = it->get<std::size_t>();
    return true;
}

// Retry-After as a test gives it: a non-negative integer, or a string of
// visible characters and blanks (never a line break, which would end the
// header and start another).
bool readRetryAfter(const nlohmann::ordered_json& request, std::optional<std::string>& out,
                    std::string& error) {
    const auto it = request.find("retryAfter");
    if (it == request.end()) return true;
    if (it->is_number_unsigned()) {
        out = std::to_string(it->get<std::uint64_t>());
        return true;
    }
    if (it->is_string()) {
        const std::string& text = it->get_ref<const std::string&>();
        if (std::all_of(text.begin(), text.end(),
                        [](char c) { return c == '\t' || (c >= ' ' && c <= '~'); })) {
            out = text;
            return true;
        }
    }
    error = R"("retryAfter" must be a non-negative integer or a string of printable ASCII characters)";
    return false;
}

}  // namespace

bool processesRequest(FaultType type) {
    return type == FaultType::Delay || type == FaultType::Reset || type == FaultType::Truncate ||
           type == FaultType::WrongMediaType;
}

std::optional<Fault> parseFault(const nlohmann::ordered_json& request, std::string& error) {
    if (!request.is_object()) {
        error = "a fault is a JSON object";
        return std::nullopt;
    }
    static constexpr std::array<std::string_view, 7> kKeys{"type",  "count",    "path",      "delayMs",
                                                           "bytes", "location", "retryAfter"};
    for (const auto& [key, value] : request.items()) {
        if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
            error = "unknown member \"" + key + "\"";
            return std::nullopt;
        }
    }

    Fault fault;
    const auto type = request.find("type");
    if (type == request.end() || !type->is_string()) {
        error =
            "\"type\" must be one of delay, close, reset, truncate, wrong-media-type, html-500, oversized, "
            "redirect, throttle";
        return std::nullopt;
    }
    const auto known = std::find_if(kNames.begin(), kNames.end(), [&](const auto& entry) {
        return entry.second == type->get<std::string>();
    });
    if (known == kNames.end()) {
        error = "unknown fault type \"" + type->get<std::string>() + "\"";
        return std::nullopt;
    }
    fault.type = known->first;

    std::size_t delayMs = 0;
    if (!readCount(request, "count", 1, fault.count, error) ||
        !readCount(request, "delayMs", 1000, delayMs, error) ||
        !readCount(request, "bytes", fault.bytes, fault.bytes, error) ||
        !readRetryAfter(request, fault.retryAfter, error)) {
        return std::nullopt;
    }
    fault.delay = std::chrono::milliseconds(delayMs);
    if (fault.count == 0) {
        error = "\"count\" must be at least 1";
        return std::nullopt;
    }
    for (const char* key : {"path", "location"}) {
        const auto it = request.find(key);
        if (it == request.end()) continue;
        if (!it->is_string()) {
            error = std::string("\"") + key + "\" must be a string";
            return std::nullopt;
        }
        (std::string_view(key) == "path" ? fault.path : fault.location) = it->get<std::string>();
    }
    return fault;
}

nlohmann::ordered_json toJson(const Fault& fault) {
    nlohmann::ordered_json out = {{"type", nameOf(fault.type)}, {"count", fault.count}};
    if (!fault.path.empty()) out["path"] = fault.path;
    if (fault.type == FaultType::Delay) out["delayMs"] = fault.delay.count();
    if (fault.type == FaultType::Oversized) out["bytes"] = fault.bytes;
    if (fault.type == FaultType::Redirect && !fault.location.empty()) out["location"] = fault.location;
    if (fault.type == FaultType::Throttle && fault.retryAfter) out["retryAfter"] = *fault.retryAfter;
    return out;
}

Answer throttleAnswer(const Fault& fault) {
    Answer answer{429, {{"status", "error"}, {"errorDescription", "Too many requests: try again later"}}};
    if (fault.retryAfter) answer.headers.emplace_back("Retry-After", *fault.retryAfter);
    return answer;
}

void FaultPlan::arm(Fault fault) {
    std::lock_guard lock(mutex_);
    armed_.push_back(std::move(fault));
}

void FaultPlan::clear() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

nlohmann::ordered_json FaultPlan::describe() const {
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Fault& fault : armed_)
        list.push_back(toJson(fault));
    return list;
}

std::optional<Fault> FaultPlan::take(std::string_view path) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(armed_.begin(), armed_.end(),
                                 [&](const Fault& f) { return f.path.empty() || f.path == path; });
    if (it == armed_.end()) return std::nullopt;
    Fault taken = *it;
    if (--it->count == 0) armed_.erase(it);
    return taken;
}

}  // namespace qelsms::sandbox
