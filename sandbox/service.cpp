#include "service.hpp"

#include <qelsms/segments.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>
#include <unordered_set>

namespace qelsms::sandbox {

namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kDeniedMessage = "Authorization has been denied for this request.";

enum class Type { String, Boolean, StringArray, MessageDetails };

struct Member {
    std::string_view name;
    Type type;
    bool required;
};

// The members each service accepts, with their JSON types. Anything else in a
// body is refused, so a client that misspells or mistypes a member learns it
// here rather than from a real provider that might silently ignore it.
constexpr Member kSingleMembers[] = {
    {"MobileNumbers", Type::StringArray, true},
    {"Message", Type::String, true},
    {"SenderName", Type::String, true},
    {"ReportRequired", Type::Boolean, true},
    {"Quorvi", Type::Boolean, true},
    {"CallbackQueryString", Type::String, false},
    {"ReferenceName", Type::String, false},
    {"QuorviBaseURL", Type::String, false},
    {"QuorviFinalURL", Type::String, false},
};

constexpr Member kBulkMembers[] = {
    {"MobileNumbers", Type::StringArray, true},
    {"Message", Type::String, true},
    {"SenderName", Type::String, true},
    {"RemoveDuplicates", Type::Boolean, true},
    {"ReportRequired", Type::Boolean, true},
    {"ReturnIndividualResponse", Type::Boolean, true},
    {"AsynchronousSubmission", Type::Boolean, true},
    {"Quorvi", Type::Boolean, true},
    {"QuorviBaseURL", Type::String, false},
    {"QuorviFinalURL", Type::String, false},
    {"CallbackQueryString", Type::String, false},
    {"ReferenceName", Type::String, false},
    {"ScheduledDate", Type::String, false},
};

constexpr Member kCustomMembers[] = {
    {"MessageDetails", Type::MessageDetails, true},
    {"SenderName", Type::String, true},
    {"RemoveDuplicates", Type::Boolean, true},
    {"ReportRequired", Type::Boolean, true},
    {"ReturnIndividualResponse", Type::Boolean, true},
    {"AsynchronousSubmission", Type::Boolean, true},
    {"Quorvi", Type::Boolean, true},
    {"QuorviBaseURL", Type::String, false},
    {"QuorviFinalURL", Type::String, false},
    {"CallbackQueryString", Type::String, false},
    {"ReferenceName", Type::String, false},
    {"ScheduledDate", Type::String, false},
};

std::span<const Member> membersOf(SendKind kind) {
    switch (kind) {
        case SendKind::Single:
            return kSingleMembers;
        case SendKind::Bulk:
            return kBulkMembers;
        case SendKind::Custom:
            break;
    }
    return kCustomMembers;
}

const char* serviceName(SendKind kind) {
    switch (kind) {
        case SendKind::Single:
            return "SingleSMS";
        case SendKind::Bulk:
            return "BulkSMS";
        case SendKind::Custom:
            break;
    }
    return "CustomSMS";
}

std::string jsonQuoted(std::string_view text) {
    return json(text).dump();
}

bool hasType(const json& value, Type type) {
    switch (type) {
        case Type::String:
            return value.is_string();
        case Type::Boolean:
            return value.is_boolean();
        case Type::StringArray:
            return value.is_array() &&
                   std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); });
        case Type::MessageDetails:
            break;
    }
    return value.is_array() && std::all_of(value.begin(), value.end(), [](const json& entry) {
               if (!entry.is_object() || entry.size() != 2) return false;
               const auto to = entry.find("To");
               const auto message = entry.find("Message");
               return to != entry.end() && to->is_string() && message != entry.end() && message->is_string();
           });
}

const char* typeDescription(Type type) {
    switch (type) {
        case Type::String:
            return "a string";
        case Type::Boolean:
            return "a boolean";
        case Type::StringArray:
            return "an array of strings";
        case Type::MessageDetails:
            break;
    }
    return R"(an array of objects with exactly the string members "To" and "Message")";
}

// Empty when the members and their types are right, else the complaint.
std::string checkMembers(const json& body, std::span<const Member> members) {
    for (const auto& [key, value] : body.items()) {
        const auto member =
            std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.name == key; });
        if (member == members.end()) return "Unknown member " + jsonQuoted(key);
        if (!hasType(value, member->type)) {
            return "Member " + jsonQuoted(key) + " must be " + typeDescription(member->type);
        }
    }
    for (const Member& member : members) {
        if (member.required && !body.contains(member.name))
            return "Missing member " + jsonQuoted(member.name);
    }
    return {};
}

bool isMobileNumber(std::string_view number) {
    if (!number.empty() && number.front() == '+') number.remove_prefix(1);
    return number.size() >= 8 && number.size() <= 15 &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isJsonMediaType(std::string_view contentType) {
    contentType = contentType.substr(0, contentType.find(';'));
    while (!contentType.empty() && contentType.back() == ' ')
        contentType.remove_suffix(1);
    constexpr std::string_view kJson = "application/json";
    return contentType.size() == kJson.size() &&
           std::equal(contentType.begin(), contentType.end(), kJson.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

Answer error(int status, std::string description) {
    return {status, json{{"status", "error"}, {"errorDescription", std::move(description)}}};
}

Answer denied() {
    return {401, json{{"Message", kDeniedMessage}}};
}

const char* encodingName(Encoding encoding) {
    return encoding == Encoding::GSM7 ? "GSM7" : "UCS2";
}

// "100", "0.25": up to three decimals, no trailing zeros.
std::string formatRate(double rate) {
    char out[64];
    std::snprintf(out, sizeof out, "%.3f", rate);
    std::string text = out;
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

std::string submissionId(std::uint64_t n) {
    std::string digits = std::to_string(n);
    if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
    return "SBX" + digits;
}

}  // namespace

std::optional<InitialAccount> parseAccountOption(std::string_view text) {
    const auto first = text.find(':');
    const auto last = text.rfind(':');
    if (first == std::string_view::npos || first == last || first == 0) return std::nullopt;
    const std::string_view credits = text.substr(last + 1);
    InitialAccount account{std::string(text.substr(0, first)),
                           std::string(text.substr(first + 1, last - first - 1)), 0};
    const auto [end, ec] = std::from_chars(credits.data(), credits.data() + credits.size(), account.credits);
    if (ec != std::errc() || end != credits.data() + credits.size() || account.credits < 0)
        return std::nullopt;
    return account;
}

std::optional<RateLimit> parseRateLimit(std::string_view text) {
    double rate = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(rate) ||
        rate < 0) {
        return std::nullopt;
    }
    return RateLimit{rate};
}

std::optional<std::chrono::sys_seconds> parseScheduledDate(std::string_view text) {
    if (text.size() != kScheduledDateFormat.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char pattern = kScheduledDateFormat[i];
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (std::string_view("YMDHS").find(pattern) != std::string_view::npos ? !digit : text[i] != pattern) {
            return std::nullopt;
        }
    }
    const auto number = [&](std::size_t pos, std::size_t len) {
        int value = 0;
        for (std::size_t i = pos; i < pos + len; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    using namespace std::chrono;
    const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                              day{static_cast<unsigned>(number(8, 2))}};
    const int h = number(11, 2);
    const int m = number(14, 2);
    const int s = number(17, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) return std::nullopt;
    return sys_days{date} + hours{h} + minutes{m} + seconds{s};
}

std::string formatTime(std::chrono::sys_seconds time) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(time);
    const year_month_day date{days};
    const hh_mm_ss clock{time - days};
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02u-%02u %02ld:%02ld:%02ld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(clock.hours().count()), static_cast<long>(clock.minutes().count()),
                  static_cast<long>(clock.seconds().count()));
    return out;
}

// Kept apart from the library's own decoder on purpose: the sandbox checks
// what the library encodes, so it must not share the library's mistakes.
std::string percentDecode(std::string_view text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) {
            return eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

Service::Service(std::vector<InitialAccount> accounts, RateLimit rateLimit)
    : initialAccounts_(std::move(accounts)), rateLimit_(rateLimit) {
    reset();
}

void Service::reset() {
    std::lock_guard lock(mutex_);
    accounts_.clear();
    for (const InitialAccount& account : initialAccounts_)
        accounts_[account.user] = {account.password, account.credits};
    records_.clear();
    firstRecord_ = 0;
    requestCounts_.clear();
    buckets_.clear();
    rateLimited_ = 0;
    clockOffset_ = std::chrono::seconds{0};
}

std::chrono::sys_seconds Service::now() const {
    std::chrono::seconds offset;
    {
        std::lock_guard lock(mutex_);
        offset = clockOffset_;
    }
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + offset;
}

bool Service::advanceClock(std::chrono::seconds by) {
    using namespace std::chrono;
    constexpr sys_seconds kEarliest{sys_days{year{1970} / January / 1}};
    constexpr sys_seconds kLatest{sys_days{year{9999} / December / 31} + hours{23} + minutes{59} +
                                  seconds{59}};
    const auto real = floor<seconds>(system_clock::now());
    std::lock_guard lock(mutex_);
    std::int64_t offset = 0;
    std::int64_t moment = 0;
    if (__builtin_add_overflow(clockOffset_.count(), by.count(), &offset) ||
        __builtin_add_overflow(real.time_since_epoch().count(), offset, &moment)) {
        return false;
    }
    if (moment < kEarliest.time_since_epoch().count() || moment > kLatest.time_since_epoch().count())
        return false;
    clockOffset_ = seconds{offset};
    return true;
}

Service::Account* Service::authenticate(std::string_view query, std::string& user) {
    const auto name = queryValue(query, "Username");
    const auto password = queryValue(query, "Password");
    if (!name || !password) return nullptr;
    const auto it = accounts_.find(*name);
    if (it == accounts_.end() || it->second.password != *password) return nullptr;
    user = *name;
    return &it->second;
}

std::optional<Answer> Service::overRateLimit(const std::string& user) {
    const double rate = rateLimit_.requestsPerSecond;
    if (rate <= 0) return std::nullopt;
    const double capacity = std::max(1.0, rate);
    const auto now = std::chrono::steady_clock::now();
    // A bucket seen for the first time (or since a reset) is full.
    const auto [it, fresh] = buckets_.try_emplace(user, Bucket{capacity, now});
    Bucket& bucket = it->second;
    if (!fresh) {
        const std::chrono::duration<double> quiet = now - bucket.refilledAt;
        bucket.tokens = std::min(capacity, bucket.tokens + quiet.count() * rate);
        bucket.refilledAt = now;
    }
    if (bucket.tokens >= 1) {
        bucket.tokens -= 1;
        return std::nullopt;
    }
    ++rateLimited_;
    // Whole seconds until a token is back, at least one.
    const auto wait = static_cast<long long>(std::max(1.0, std::ceil((1 - bucket.tokens) / rate)));
    Answer answer = error(429, "Too many requests: this account may make " + formatRate(rate) +
                                   " requests per second; try again in " + std::to_string(wait) + " s");
    answer.headers.emplace_back("Retry-After", std::to_string(wait));
    return answer;
}

Answer Service::getBalance(std::string_view query) {
    std::lock_guard lock(mutex_);
    std::string user;
    const Account* account = authenticate(query, user);
    if (account == nullptr) return denied();
    if (auto refusal = overRateLimit(user)) return std::move(*refusal);
    return {200, json{{"status", "success"}, {"username", user}, {"balance", account->credits}}};
}

Answer Service::send(SendKind kind, std::string_view query, std::string_view contentType,
                     std::string_view body) {
    // Credentials come first, as with the real service: a caller with a wrong
    // password learns nothing about its body.
    // Then the rate, before the body is even read: a refused request costs
    // nothing and leaves no trace but its count.
    {
        std::lock_guard lock(mutex_);
        std::string user;
        if (authenticate(query, user) == nullptr) return denied();
        if (auto refusal = overRateLimit(user)) return std::move(*refusal);
    }

    if (!isJsonMediaType(contentType))
        return error(400, "The request's Content-Type must be application/json");
    json request = json::parse(body, nullptr, false);
    if (request.is_discarded()) return error(400, "The request body is not valid JSON");
    if (!request.is_object()) return error(400, "The request body must be a JSON object");
    if (std::string complaint = checkMembers(request, membersOf(kind)); !complaint.empty()) {
        return error(400, std::move(complaint));
    }

    const std::string& sender = request["SenderName"].get_ref<const std::string&>();
    if (sender.empty()) return error(400, R"("SenderName" is empty)");

    std::vector<Recipient> recipients;
    if (kind == SendKind::Custom) {
        const json& details = request["MessageDetails"];
        if (details.empty()) return error(400, R"("MessageDetails" is empty)");
        for (const json& entry : details) {
            recipients.push_back({entry["To"].get<std::string>(), entry["Message"].get<std::string>(), 1});
        }
    } else {
        const json& numbers = request["MobileNumbers"];
        if (numbers.empty()) return error(400, R"("MobileNumbers" is empty)");
        const std::string& text = request["Message"].get_ref<const std::string&>();
        if (text.empty()) return error(400, R"("Message" is empty)");
        for (const json& number : numbers)
            recipients.push_back({number.get<std::string>(), text, 1});
    }
    for (const Recipient& r : recipients) {
        if (!isMobileNumber(r.number)) {
            return error(400, "Invalid mobile number " + jsonQuoted(r.number) +
                                  R"(: expected 8 to 15 digits, optionally after a "+")");
        }
        if (r.text.empty()) return error(400, "The message for " + jsonQuoted(r.number) + " is empty");
    }

    std::optional<std::chrono::sys_seconds> scheduledAt;
    if (const auto it = request.find("ScheduledDate"); it != request.end()) {
        scheduledAt = parseScheduledDate(it->get_ref<const std::string&>());
        if (!scheduledAt) {
            return error(400, R"("ScheduledDate" must be a UTC date and time written )" +
                                  std::string(kScheduledDateFormat));
        }
    }

    // Numbers that differ only in the leading "+" are the same phone.
    const bool removeDuplicates = request.value("RemoveDuplicates", false);
    std::vector<bool> duplicate(recipients.size(), false);
    if (removeDuplicates) {
        std::unordered_set<std::string_view> seen;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            std::string_view key = recipients[i].number;
            if (key.front() == '+') key.remove_prefix(1);
            duplicate[i] = !seen.insert(key).second;
        }
    }

    // One text for single and bulk: count it once.
    std::optional<SegmentCount> sharedCount;
    if (kind != SendKind::Custom) sharedCount = countSegments(recipients.front().text);
    std::int64_t cost = 0;
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        recipients[i].parts = sharedCount ? sharedCount->parts : countSegments(recipients[i].text).parts;
        if (!duplicate[i]) cost += static_cast<std::int64_t>(recipients[i].parts);
    }

    json options = json::object();
    for (const auto& [key, value] : request.items()) {
        if (key != "MobileNumbers" && key != "Message" && key != "MessageDetails" && key != "SenderName" &&
            key != "ScheduledDate") {
            options[key] = value;
        }
    }

    std::string user;
    std::string messageId;
    std::int64_t balance = 0;
    const auto now = this->now();
    const bool held = scheduledAt && *scheduledAt > now;
    {
        std::lock_guard lock(mutex_);
        // Authenticated again: the account may have changed while the body
        // was being checked.
        Account* account = authenticate(query, user);
        if (account == nullptr) return denied();
        if (account->credits < cost) {
            return error(402, "Insufficient credits: the message needs " + std::to_string(cost) +
                                  " credits and the balance is " + std::to_string(account->credits));
        }
        account->credits -= cost;
        balance = account->credits;
        messageId = submissionId(nextSubmission_++);

        Record record{messageId, serviceName(kind), user, now, scheduledAt, cost, {}, std::move(options)};
        record.options["SenderName"] = sender;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            if (!duplicate[i]) record.recipients.push_back(recipients[i]);
        }
        if (records_.size() < kMaxRecords) {
            records_.push_back(std::move(record));
        } else {
            records_[firstRecord_] = std::move(record);
            firstRecord_ = (firstRecord_ + 1) % kMaxRecords;
        }
    }

    const std::size_t removed =
        static_cast<std::size_t>(std::count(duplicate.begin(), duplicate.end(), true));
    json answer = {
        {"status", "success"},          {"messageId", messageId},
        {"numbers", recipients.size()}, {"accepted", recipients.size() - removed},
        {"duplicatesRemoved", removed}, {"creditsUsed", cost},
        {"balance", balance},           {"scheduled", held},
    };
    if (scheduledAt) answer["scheduledDate"] = formatTime(*scheduledAt);
    if (sharedCount) {
        answer["encoding"] = encodingName(sharedCount->encoding);
        answer["characters"] = sharedCount->characters;
        answer["parts"] = sharedCount->parts;
    }
    std::shared_ptr<IndividualResults> results;
    if (request.value("ReturnIndividualResponse", false)) {
        results = std::make_shared<IndividualResults>();
        results->messageId = messageId;
        results->held = held;
        results->entries.reserve(recipients.size());
        std::size_t sequence = 0;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            results->entries.push_back(
                {std::move(recipients[i].number), recipients[i].parts, duplicate[i] ? 0 : ++sequence});
        }
    }
    return {200, std::move(answer), {}, std::move(results)};
}

void Service::countRequest(std::string_view path) {
    std::lock_guard lock(mutex_);
    const auto it = requestCounts_.find(path);
    if (it != requestCounts_.end()) {
        ++it->second;
    } else {
        requestCounts_.emplace(std::string(path), 1);
    }
}

json Service::requestCounts() const {
    std::lock_guard lock(mutex_);
    json counts = json::object();
    std::uint64_t total = 0;
    for (const auto& [path, count] : requestCounts_) {
        counts[path] = count;
        total += count;
    }
    return {{"total", total}, {"paths", std::move(counts)}, {"rateLimited", rateLimited_}};
}

json Service::messages() const {
    const auto now = this->now();
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (std::size_t n = 0; n < records_.size(); ++n) {
        const Record& record = records_[(firstRecord_ + n) % records_.size()];
        json recipients = json::array();
        for (const Recipient& r : record.recipients) {
            const SegmentCount count = countSegments(r.text);
            recipients.push_back({{"mobileNumber", r.number},
                                  {"message", r.text},
                                  {"encoding", encodingName(count.encoding)},
                                  {"characters", count.characters},
                                  {"parts", r.parts}});
        }
        json entry = {
            {"messageId", record.messageId},
            {"service", record.service},
            {"username", record.user},
            {"receivedAt", formatTime(record.receivedAt)},
            {"status", record.scheduledAt && *record.scheduledAt > now ? "scheduled" : "sent"},
            {"creditsUsed", record.credits},
            {"recipients", std::move(recipients)},
            {"options", record.options},
        };
        if (record.scheduledAt) entry["scheduledDate"] = formatTime(*record.scheduledAt);
        list.push_back(std::move(entry));
    }
    return {{"now", formatTime(now)}, {"messages", std::move(list)}};
}

json Service::accounts() const {
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (const auto& [user, account] : accounts_)
        list.push_back({{"username", user}, {"balance", account.credits}});
    return list;
}

void Service::putAccount(const InitialAccount& account) {
    std::lock_guard lock(mutex_);
    accounts_[account.user] = {account.password, account.credits};
}

}  // namespace qelsms::sandbox
