#include "commands.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <regex>
#include <utility>

#include "input_files.hpp"
#include "interrupt.hpp"

namespace qelsms::cli {

namespace {

using Json = nlohmann::json;

// Every request gets this much longer than the library's deadline, so that
// the library's message ("Client error!") wins over the tool's.
constexpr std::chrono::seconds kWaitMargin{5};
// The library's deadline grows by this much per number a request sends to.
constexpr std::chrono::milliseconds kDeadlinePerNumber{4};
// After an interrupt, how long the library gets to say whether the request
// had left before the tool assumes it had.
constexpr std::chrono::seconds kStopGrace{1};

std::string compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

struct Account {
    std::string user;
    std::string password;
};

Account resolveAccount(const GlobalOptions& global) {
    Account account;
    account.user = global.user ? *global.user : environment("QELSMS_USER");
    if (account.user.empty()) throw UsageError("no user name: set QELSMS_USER or give --user");
    if (global.passwordFile) {
        account.password = readPasswordFile(*global.passwordFile);
    } else {
        account.password = environment("QELSMS_PASSWORD");
        if (account.password.empty()) {
            throw UsageError("no password: set QELSMS_PASSWORD or give --password-file");
        }
    }
    return account;
}

}  // namespace

// The account's client, with the HTTP client set up as the options ask. The
// base URL is checked here because the library reports an unparsable URL
// only on standard output and then calls neither callback.
Client makeClient(const GlobalOptions& global, AccountOptions pacing) {
    std::string baseURL = global.baseURL.empty() ? std::string(Client::defaultBaseURL()) : global.baseURL;
    if (!isUsableBaseURL(baseURL)) {
        throw UsageError(
            "--base-url must be an http:// or https:// URL without query, such as "
            "https://host:8443/api/");
    }
    if (!baseURL.ends_with('/')) baseURL.push_back('/');

    Account account = resolveAccount(global);

    HttpClientOptions options;
    options.caFile = global.caFile;
    options.connectTo = global.connectTo;
    options.timeoutSeconds = global.timeoutSeconds;
    options.deadlineSeconds = global.deadlineSeconds;
    if (global.verbose) {
        // One write per line, so lines from the network thread never
        // interleave with the tool's own messages.
        options.logHandler = [](LogLevel level, std::string_view line) {
            const std::string text =
                "qelsms: " + std::string(toString(level)) + ": " + printable(line) + "\n";
            std::fwrite(text.data(), 1, text.size(), stderr);
        };
    }
    try {
        configureHttpClient(std::move(options));
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    try {
        return Client(std::move(account.user), std::move(account.password), std::move(baseURL), pacing);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
}

std::string requireSender(const GlobalOptions& global) {
    if (global.sender.empty()) throw UsageError("--sender is required (or set QELSMS_SENDER)");
    return global.sender;
}

// How error messages name a file given on the command line.
std::string sourceName(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

// A text read from a file loses one trailing line break: editors add one, and
// it is seldom meant to be part of a message.
std::string textFromFile(const std::string& path) {
    std::string text = readInput(path);
    requireUtf8(text, sourceName(path));
    if (text.ends_with('\n')) text.pop_back();
    if (text.ends_with('\r')) text.pop_back();
    return text;
}

std::string messageText(const SendArguments& arguments) {
    if (arguments.message && arguments.messageFile) {
        throw UsageError("give the text with --message or --message-file, not both");
    }
    if (arguments.message) {
        requireUtf8(*arguments.message, "the --message text");
        return *arguments.message;
    }
    if (arguments.messageFile) return textFromFile(*arguments.messageFile);
    throw UsageError("no text: give --message or --message-file");
}

namespace {

std::vector<std::string> numbersOf(const SendArguments& arguments) {
    std::vector<std::string> numbers = arguments.numbers;
    for (std::size_t i = 0; i < numbers.size(); ++i)
        requireUtf8(numbers[i], "number argument " + std::to_string(i + 1));
    if (arguments.numbersFile) {
        const std::string listing = readInput(*arguments.numbersFile);
        requireUtf8(listing, sourceName(*arguments.numbersFile));
        auto listed = parseNumberList(listing);
        numbers.insert(numbers.end(), listed.begin(), listed.end());
    }
    if (numbers.empty()) throw UsageError("no number: give numbers as arguments or with --numbers-file");
    return numbers;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string describeBalance(const Json& answer) {
    if (answer.is_object()) {
        for (const auto& [key, value] : answer.items()) {
            if (value.is_number() &&
                (equalsIgnoringCase(key, "balance") || equalsIgnoringCase(key, "credits"))) {
                return "Balance: " + compact(value);
            }
        }
    }
    return "Balance: " + describe(answer);
}

void printFailure(const GlobalOptions& global, const Error& error, int signal = 0) {
    // The message may quote the request back, invisible characters and all.
    std::cerr << "qelsms: " << printable(errorText(error)) << std::endl;
    if (!global.json) return;
    nlohmann::ordered_json object = failureJson(error);
    if (signal != 0) object["interrupted"] = signalName(signal);
    std::cout << object.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
}

// A signal arrived while the request was out: stop the library, which ends
// the call and says whether its request had left, then say so and end as
// the signal would have.
[[noreturn]] void reportInterrupted(const GlobalOptions& global, std::future<Outcome>& pending, int signal,
                                    std::string (*readable)(const Json& answer)) {
    qelsms::shutdown();
    bool mayHaveActed = true;
    if (pending.wait_for(kStopGrace) == std::future_status::ready) {
        try {
            Outcome outcome = pending.get();
            if (outcome.ok()) {
                // The answer made it: the application's record matters more
                // than the interruption.
                std::cout << (global.json ? compact(outcome.answer()) : readable(outcome.answer()))
                          << std::endl;
                std::cerr << "qelsms: interrupted by " << signalName(signal)
                          << " after the provider's answer arrived" << std::endl;
                endAsInterrupted(signal);
            }
            mayHaveActed = outcome.error().mayHaveBeenProcessed;
        } catch (const std::future_error&) {
            // No word from the library: the request may well have left.
        }
    }
    const std::string text =
        "interrupted by " + signalName(signal) +
        (mayHaveActed ? " after the request was sent: the provider may have acted on it, check before "
                        "sending again"
                      : " before the request was sent: the provider did not act on it");
    printFailure(global, {text, mayHaveActed ? ErrorKind::Interrupted : ErrorKind::NotSent, 0, mayHaveActed},
                 signal);
    endAsInterrupted(signal);
}

// Makes the call, waits for it and reports it: the answer on standard output,
// or the library's message on standard error (and, with --json, the failure
// as JSON on standard output). `numbers` is how many numbers the request
// sends to, which lengthens the library's deadline.
int report(const GlobalOptions& global, std::size_t numbers,
           const std::function<std::future<Outcome>()>& call, std::string (*readable)(const Json& answer)) {
    const auto wait =
        std::chrono::seconds(global.deadlineSeconds) + kDeadlinePerNumber * numbers + kWaitMargin;
    const InterruptWatch watch;
    std::future<Outcome> pending = call();
    const auto giveUp = std::chrono::steady_clock::now() + wait;
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < giveUp) {
        ready = pending.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
        if (!ready && InterruptWatch::caught() != 0)
            reportInterrupted(global, pending, InterruptWatch::caught(), readable);
    }
    int status = kSuccess;
    if (!ready) {
        // The request may still be on its way: nothing says it wasn't sent.
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
        const Error error{"no answer within " + std::to_string(seconds) + " seconds", ErrorKind::TimedOut, 0,
                          true};
        printFailure(global, error);
        status = exitStatusFor(error);
    } else if (Outcome outcome = pending.get(); outcome.ok()) {
        std::cout << (global.json ? compact(outcome.answer()) : readable(outcome.answer())) << std::endl;
    } else {
        printFailure(global, outcome.error());
        status = exitStatusFor(outcome.error());
    }
    // A signal that came as the call ended still stops a loop around the tool.
    if (const int signal = InterruptWatch::caught(); signal != 0) {
        std::cerr << "qelsms: interrupted by " << signalName(signal) << " as the call ended" << std::endl;
        endAsInterrupted(signal);
    }
    return status;
}

std::string describeSubmission(const Json& answer) {
    return "Accepted: " + describe(answer);
}

}  // namespace

int exitStatusFor(const Error& error) {
    return error.mayHaveBeenProcessed ? kOutcomeUnknown : kRefused;
}

nlohmann::ordered_json failureJson(const Error& error) {
    return {{"message", error.message},
            {"kind", std::string(toString(error.kind))},
            {"status", error.httpStatus},
            {"mayHaveBeenProcessed", error.mayHaveBeenProcessed},
            {"detail", error.detail}};
}

std::string errorText(const Error& error) {
    if (error.detail.empty() || error.detail == error.message) return error.message;
    return error.message + " (" + error.detail + ")";
}

bool isUsableBaseURL(std::string_view url) {
    static const std::regex kPattern(
        R"(https?://(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:[0-9]{1,5})?(/[A-Za-z0-9._~!$&'()*+,;=:@%/-]*)?)",
        std::regex::ECMAScript);
    return std::regex_match(url.begin(), url.end(), kPattern);
}

std::string describe(const Json& answer) {
    if (!answer.is_object()) return compact(answer);
    std::string line;
    for (const auto& [key, value] : answer.items()) {
        if (!line.empty()) line.push_back(' ');
        line.append(key).push_back('=');
        if (value.is_string()) {
            const auto& text = value.get_ref<const std::string&>();
            const bool plain = !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
                return static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\x7F';
            });
            line.append(plain ? text : compact(value));
        } else {
            line.append(compact(value));
        }
    }
    return line;
}

int runBalance(const GlobalOptions& global, const AccountOptions& pacing) {
    const Client client = makeClient(global, pacing);
    return report(
        global, 0, [&] { return client.GetBalance(); }, &describeBalance);
}

int runSend(const GlobalOptions& global, const SendArguments& arguments, bool bulk) {
    const std::string sender = requireSender(global);
    const std::string text = messageText(arguments);
    std::vector<std::string> numbers = numbersOf(arguments);
    const Client client = makeClient(global);
    const MessageOptions& o = arguments.options;
    const std::size_t count = numbers.size();
    if (!bulk) {
        const SingleSMSRequest request{
            std::move(numbers), text,     sender,          o.reportRequired, o.callbackQueryString,
            o.referenceName,    o.quorvi, o.quorviBaseURL, o.quorviFinalURL};
        return report(
            global, count, [&] { return client.SingleSMS(request); }, &describeSubmission);
    }
    checkScheduledDate(o.scheduledDate, o.allowPast, std::chrono::system_clock::now());
    const BulkSMSRequest request{std::move(numbers),
                                 text,
                                 sender,
                                 o.scheduledDate,
                                 o.removeDuplicates,
                                 o.referenceName,
                                 o.reportRequired,
                                 o.callbackQueryString,
                                 o.returnIndividualResponse,
                                 o.asynchronousSubmission,
                                 o.quorvi,
                                 o.quorviBaseURL,
                                 o.quorviFinalURL};
    return report(
        global, count, [&] { return client.BulkSMS(request); }, &describeSubmission);
}

int runCustom(const GlobalOptions& global, const CustomArguments& arguments) {
    const std::string sender = requireSender(global);
    checkScheduledDate(arguments.options.scheduledDate, arguments.options.allowPast,
                       std::chrono::system_clock::now());
    const std::string source = sourceName(arguments.csvFile);
    const std::string records = readInput(arguments.csvFile);
    requireUtf8(records, source);
    MessageMap messages = messagesFromCsv(parseCsv(records, source), source, arguments.header);
    const Client client = makeClient(global);
    const MessageOptions& o = arguments.options;
    const std::size_t count = messages.size();
    const CustomSMSRequest request{
        std::move(messages),      sender,           o.scheduledDate,       o.removeDuplicates,
        o.referenceName,          o.reportRequired, o.callbackQueryString, o.returnIndividualResponse,
        o.asynchronousSubmission, o.quorvi,         o.quorviBaseURL,       o.quorviFinalURL};
    return report(
        global, count, [&] { return client.CustomSMS(request); }, &describeSubmission);
}

int runSegments(const GlobalOptions& global, const SegmentsArguments& arguments) {
    if (arguments.text && arguments.file) throw UsageError("give the text or --file, not both");
    if (!arguments.text && !arguments.file)
        throw UsageError("no text: give it as an argument or with --file");
    const std::string text = arguments.text ? *arguments.text : textFromFile(*arguments.file);
    const SegmentCount count = countSegments(text);
    const char* encoding = count.encoding == Encoding::GSM7 ? "GSM7" : "UCS2";
    if (global.json) {
        std::cout << nlohmann::ordered_json{{"encoding", encoding},
                                            {"characters", count.characters},
                                            {"parts", count.parts}}
                         .dump()
                  << std::endl;
    } else {
        std::cout << encoding << ": " << count.characters
                  << (count.characters == 1 ? " character, " : " characters, ") << count.parts
                  << (count.parts == 1 ? " part" : " parts") << std::endl;
    }
    return kSuccess;
}

}  // namespace qelsms::cli
