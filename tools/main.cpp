// qelsms: send messages and check the balance of a QelSMS account from a
// shell. Exit status 0 on success, 1 when the request was not processed, 3
// when it may have been, 2 when the command line is not usable; killed by
// SIGINT or SIGTERM after saying what became of the request.
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "campaign.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace {

using namespace qelsms::cli;

constexpr const char* kDescription =
    "Command-line client for the QelSMS SMS service.\n\n"
    "The account comes from QELSMS_USER and QELSMS_PASSWORD, or from --user and\n"
    "--password-file, or from a profile (--profile NAME). There is deliberately no\n"
    "password option: the shell's history and the process list would show it.";

constexpr const char* kFooter =
    "Options of qelsms itself (--user, --password-file, --base-url, --connect-to,\n"
    "--cacert, --sender, --json, --timeout, --deadline, --verbose, --profile) may\n"
    "come before or after the subcommand. Numbers are 8 to 15 digits, optionally\n"
    "after a \"+\". Files may start with a UTF-8 byte order mark.\n\n"
    "Profiles: --profile NAME (or QELSMS_PROFILE) reads options of qelsms, one\n"
    "\"name = value\" a line (user = \"shop\", password-file = \"/path\", sender =\n"
    "\"Shop\"...), from $XDG_CONFIG_HOME/qelsms/NAME.conf (~/.config/qelsms/NAME.conf\n"
    "by default). The command line wins over the profile, the profile over the\n"
    "environment. A profile never holds the password itself: name a password-file.\n\n"
    "Before each request the tool checks that the machine has a network, that is a\n"
    "default route, and refuses with \"Network connectivity is falied\" otherwise,\n"
    "also for a service on 127.0.0.1. In an isolated network namespace (unshare -n)\n"
    "give it one over loopback: ip link set lo up; ip route add default dev lo\n\n"
    "Exit status:\n"
    "  0  success: the provider accepted the request.\n"
    "  1  the request was not processed (not sent, no connection, or refused by the\n"
    "     provider with a 3xx or 4xx status).\n"
    "  2  the command line, or a file it names, is not usable; nothing was sent.\n"
    "  3  the outcome is unknown (time-out, connection lost after sending, a server\n"
    "     error or an unusable answer): the provider may have acted.\n"
    "Only 1 means safe to send again; after 3, or after a signal, check first.\n"
    "The reason goes to standard error, the library's message then its cause in\n"
    "parentheses; with --json, a failure is also printed on standard output as one\n"
    "JSON object (message, kind, status, mayHaveBeenProcessed, detail).\n\n"
    "Signals: SIGINT (Ctrl-C) or SIGTERM during a call makes qelsms say on standard\n"
    "error, and with --json as the failure object (with \"interrupted\": the\n"
    "signal's name), that the run was interrupted and whether the provider may\n"
    "have acted (it may once the request has left); then it ends killed by that\n"
    "signal (status 128 + its number in a shell), so a loop around it stops. A\n"
    "second signal ends it at once.";

constexpr const char* kSendRequirements =
    "--sender NAME (or QELSMS_SENDER); the text, with --message or --message-file;\n"
    "one number or more, as arguments or with --numbers-file.";

constexpr const char* kScheduleFormat =
    "--scheduled-date is \"YYYY-MM-DD HH:MM:SS\" in UTC (e.g. \"2026-12-08 17:30:00\").";

constexpr const char* kAccountNeeded =
    "the account, from QELSMS_USER (or --user) and QELSMS_PASSWORD (or --password-file).";

constexpr const char* kShortFooter =
    "Exit status: 0 accepted; 1 not processed (safe to send again); 2 unusable\n"
    "command line; 3 outcome unknown, the provider may have acted (check first).\n"
    "More, with signals and profiles: qelsms --help, man qelsms.";

// What a subcommand cannot do without, then a short footer: the whole one is
// in the tool's own help.
std::string footerFor(const std::string& requirements) {
    return "Required: " + requirements + "\n\n" + kShortFooter;
}

// Shows, in a subcommand's help, the options of the tool itself, which may
// follow the subcommand's name.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_footer(const CLI::App* app) const override {
        const CLI::App* parent = app->get_parent();
        if (parent == nullptr) return CLI::Formatter::make_footer(app);
        const CLI::Option* help = parent->get_help_ptr();
        const std::vector<const CLI::Option*> options =
            parent->get_options([help](const CLI::Option* option) {
                return option != help && option->nonpositional() && !option->get_group().empty() &&
                       option->get_name() != "--version";
            });
        return make_group("Options of qelsms (before or after the subcommand)", false, options) + "\n" +
               CLI::Formatter::make_footer(app);
    }
};

// Edits (insertions, deletions, substitutions, swaps of neighbours) from `a`
// to `b`.
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The subcommand `word` was most likely meant to be, if one is close: the
// name alone is said, never the word typed.
std::optional<std::string> likelySubcommand(const CLI::App* root, std::string_view word) {
    if (word.size() > 20) return std::nullopt;
    std::string lowered(word);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::optional<std::string> best;
    std::size_t bestDistance = 3;
    for (const CLI::App* sub : root->get_subcommands({})) {
        const std::string& name = sub->get_name();
        const std::size_t distance =
            name.starts_with(lowered) && lowered.size() >= 2 ? 0 : editDistance(lowered, name);
        // Two edits for a long name, one for a short one.
        if (distance <= (name.size() > 4 ? 2U : 1U) && distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

// A string option whose presence matters even when its value is empty.
CLI::Option* addOptionalString(CLI::App* app, const std::string& name, std::optional<std::string>& target,
                               const std::string& description) {
    return app->add_option_function<std::string>(
        name, [&target](const std::string& value) { target = value; }, description);
}

void addCommonMessageOptions(CLI::App* app, MessageOptions& options) {
    app->add_flag("--report-required", options.reportRequired, "ask the provider for delivery reports");
    addOptionalString(app, "--callback-query-string", options.callbackQueryString,
                      "query string the provider appends to delivery-report callbacks");
    addOptionalString(app, "--reference-name", options.referenceName, "a name to find the submission by");
    app->add_flag("--quorvi", options.quorvi, "send through Quorvi");
    addOptionalString(app, "--quorvi-base-url", options.quorviBaseURL, "Quorvi base URL");
    addOptionalString(app, "--quorvi-final-url", options.quorviFinalURL, "Quorvi final URL");
}

void addBulkMessageOptions(CLI::App* app, MessageOptions& options) {
    addCommonMessageOptions(app, options);
    app->add_option("--scheduled-date", options.scheduledDate,
                    "send at this time instead of now: \"YYYY-MM-DD HH:MM:SS\", in UTC")
        ->type_name("\"YYYY-MM-DD HH:MM:SS\"");
    app->add_flag("--allow-past", options.allowPast,
                  "send even when --scheduled-date has passed (the provider then sends at once)");
    app->add_flag("--remove-duplicates", options.removeDuplicates, "send once to numbers listed twice");
    app->add_flag("--return-individual-response", options.returnIndividualResponse,
                  "ask for one result per number");
    app->add_flag("--asynchronous-submission", options.asynchronousSubmission,
                  "let the provider accept before processing");
}

void addTextOptions(CLI::App* app, SendArguments& arguments) {
    addOptionalString(app, "-m,--message", arguments.message, "the text to send");
    addOptionalString(app, "--message-file", arguments.messageFile,
                      "read the text from FILE (- for standard input); one trailing line break is dropped")
        ->type_name("FILE");
    app->add_option("numbers", arguments.numbers,
                    "destination numbers: 8 to 15 digits, optionally after \"+\"")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    addOptionalString(app, "--numbers-file", arguments.numbersFile,
                      "read more numbers from FILE (- for standard input), one a line; blank lines and "
                      "lines starting with # are skipped")
        ->type_name("FILE");
}

// The password must never reach the command line, and CLI11 would quote an
// unexpected argument back in its error message: refuse before parsing.
bool mentionsPasswordOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "--password" || arg.starts_with("--password=")) return true;
    }
    return false;
}

// CLI11 quotes every unexpected argument back, and one of them may be a
// password typed in the wrong place: name unknown options, count the rest.
std::string describeFailure(const CLI::App* app, const CLI::Error& error) {
    const CLI::App* root = app;
    while (root->get_parent() != nullptr)
        root = root->get_parent();
    const std::vector<std::string> extras = root->remaining(true);
    const bool unknownSubcommand =
        root->get_subcommands().empty() && !extras.empty() && !extras.front().starts_with('-');
    const bool unexpected = dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr;
    if (dynamic_cast<const CLI::ConfigError*>(&error) != nullptr) {
        // CLI11 names the setting it could not use, never its value.
        return "qelsms: in the profile: " + printable(error.what()) +
               " (profiles take the long names of qelsms's options)\n";
    }
    if (!unexpected && !unknownSubcommand) {
        return printable(error.what()) + "\nRun with --help for more information.\n";
    }
    std::string message;
    if (unknownSubcommand) {
        message =
            "unknown subcommand (not shown); the subcommands are balance, send, bulk, custom and segments";
        if (const auto meant = likelySubcommand(root, extras.front()))
            message += "; did you mean " + *meant + "?";
    } else {
        std::string options;
        std::size_t others = 0;
        for (const std::string& extra : extras) {
            if (extra.starts_with('-') && extra.size() > 1) {
                options += (options.empty() ? "" : ", ") + extra.substr(0, extra.find('='));
            } else {
                ++others;
            }
        }
        const std::string values =
            std::to_string(others) + (others == 1 ? " unexpected argument" : " unexpected arguments");
        if (options.empty()) {
            message = values + " (not shown)";
        } else {
            message = "unknown options: " + options;
            if (others > 0) message += "; and " + values + " (not shown)";
        }
    }
    return "qelsms: " + message + "\nRun with --help for more information.\n";
}

// The profile asked for, by --profile NAME (the last one) or QELSMS_PROFILE;
// read before parsing, since it supplies values the parse needs.
std::optional<std::string> profileName(int argc, char** argv) {
    std::optional<std::string> name;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "--profile" && i + 1 < argc) {
            name = argv[++i];
        } else if (arg.starts_with("--profile=")) {
            name = std::string(arg.substr(10));
        }
    }
    if (!name) {
        const char* fromEnvironment = std::getenv("QELSMS_PROFILE");
        if (fromEnvironment != nullptr && *fromEnvironment != '\0') name = fromEnvironment;
    }
    return name;
}

// Where profile `name` lives; throws UsageError for a name that would leave
// the directory, or when there is no home to look in.
std::filesystem::path profilePath(const std::string& name) {
    const bool plain =
        !name.empty() && name.front() != '.' && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                   c == '_' || c == '.';
        });
    if (!plain)
        throw UsageError("a profile's name is letters, digits, '-', '_' and '.', not starting with '.'");
    std::filesystem::path directory;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        directory = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        directory = std::filesystem::path(home) / ".config";
    } else {
        throw UsageError("no profile directory: neither XDG_CONFIG_HOME nor HOME is set");
    }
    return directory / "qelsms" / (name + ".conf");
}

// A profile may name a password file but never hold the password: a file of
// settings gets copied, shared and shown far more readily than a secret.
void refusePasswordIn(const std::filesystem::path& path, const std::string& name) {
    std::ifstream in(path);
    if (!in) throw UsageError("no profile \"" + name + "\": cannot read " + path.string());
    std::string line;
    while (std::getline(in, line)) {
        const auto end = line.find_first_of("=:");
        if (end == std::string::npos) continue;
        std::string key;
        for (const char c : line.substr(0, end)) {
            if (c == ' ' || c == '\t' || c == '"' || c == '\'') continue;
            key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        const std::string bare = key.substr(key.rfind('.') == std::string::npos ? 0 : key.rfind('.') + 1);
        if (bare == "password" || bare == "passwd" || bare == "pass" || bare == "pwd") {
            throw UsageError("the profile \"" + name + "\" holds a password (" + path.string() +
                             "); a profile may name a password-file, or put the password in QELSMS_PASSWORD");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (mentionsPasswordOption(argc, argv)) {
        std::cerr << "qelsms: there is no --password option; put the password in QELSMS_PASSWORD or in a "
                     "file given with --password-file\n";
        return kUsage;
    }

    CLI::App app(kDescription, "qelsms");
    app.formatter(std::make_shared<HelpFormatter>());
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("qelsms ") + QELSMS_VERSION);
    app.failure_message(describeFailure);
    // A repeated option keeps its last value, so a later one overrides an
    // earlier one (from an alias, say); lists opt out below.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.require_subcommand(1);
    // Options of the whole tool may also follow the subcommand's name.
    app.fallthrough();

    GlobalOptions global;
    addOptionalString(&app, "--user", global.user, "account user name (instead of QELSMS_USER)");
    addOptionalString(&app, "--password-file", global.passwordFile,
                      "read the password from the first line of FILE (instead of QELSMS_PASSWORD)")
        ->type_name("FILE");
    app.add_option("--base-url", global.baseURL, "the service's base URL (default: the provider's)")
        ->type_name("URL");
    app.add_option("--connect-to", global.connectTo,
                   "HOST:PORT:CONNECT-HOST:CONNECT-PORT: connect there for HOST:PORT; repeatable")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("ENTRY");
    app.add_option("--cacert", global.caFile, "also trust the PEM certificates in FILE")->type_name("FILE");
    // QELSMS_SENDER is read after the profile, which wins over it.
    CLI::Option* senderOption =
        app.add_option("--sender", global.sender, "sender name of the messages (default: QELSMS_SENDER)")
            ->type_name("NAME");
    app.add_flag("--json", global.json,
                 "print the answer as JSON instead of a readable line, and a failure as a JSON object");
    app.add_flag("-v,--verbose", global.verbose,
                 "print each exchange with the service (start, end, why it failed) on standard error");
    app.add_option("--timeout", global.timeoutSeconds,
                   "fail when nothing is sent or received for this many seconds (default 60)")
        ->check(CLI::Range(1, 3600))
        ->type_name("SECONDS");
    app.add_option("--deadline", global.deadlineSeconds,
                   "fail when the whole exchange takes longer than this many seconds, plus 4 ms per "
                   "number (default 300)")
        ->check(CLI::Range(1, 86400))
        ->type_name("SECONDS");

    std::string profile;
    app.add_option(
           "--profile", profile,
           "read options from the profile NAME: $XDG_CONFIG_HOME/qelsms/NAME.conf (also QELSMS_PROFILE)")
        ->type_name("NAME");

    CLI::App* balance = app.add_subcommand("balance", "show the account's credit balance");
    // One GET: a second try never charges, but the library still makes one
    // only where the service certainly did not answer the first.
    qelsms::AccountOptions balancePacing;
    balance
        ->add_option_function<double>(
            "--rate", [&balancePacing](double value) { balancePacing.requestsPerSecond = value; },
            "at most R requests per second (the account's pace, as for the other commands)")
        ->check(CLI::Range(0.001, 1000.0))
        ->type_name("R");
    balance
        ->add_option_function<int>(
            "--retries", [&balancePacing](int value) { balancePacing.retry.maxAttempts = 1 + value; },
            "further attempts when the service could not be reached or asked to wait (429)")
        ->check(CLI::Range(0, 10))
        ->type_name("N");
    balance->footer(footerFor(kAccountNeeded));

    SendArguments send;
    CLI::App* sendCommand = app.add_subcommand("send", "send one text to one or more numbers");
    addTextOptions(sendCommand, send);
    addCommonMessageOptions(sendCommand, send.options);
    CampaignOptions sendCampaign;
    addCampaignOptions(sendCommand, sendCampaign);
    sendCommand->footer(footerFor(std::string(kSendRequirements) + "\n" + kAccountNeeded));

    SendArguments bulk;
    CLI::App* bulkCommand =
        app.add_subcommand("bulk", "send one text to many numbers, with scheduling and submission options");
    addTextOptions(bulkCommand, bulk);
    addBulkMessageOptions(bulkCommand, bulk.options);
    CampaignOptions bulkCampaign;
    addCampaignOptions(bulkCommand, bulkCampaign);
    bulkCommand->footer(
        footerFor(std::string(kSendRequirements) + "\n" + kAccountNeeded + "\n" + kScheduleFormat));

    CustomArguments custom;
    CLI::App* customCommand = app.add_subcommand(
        "custom", "send a different text to each number, from a CSV file of number,text records");
    customCommand->add_option("file", custom.csvFile, "the CSV file (- for standard input)")
        ->required()
        ->type_name("FILE");
    customCommand->add_flag("--header", custom.header, "the first record is a header; skip it");
    addBulkMessageOptions(customCommand, custom.options);
    CampaignOptions customCampaign;
    addCampaignOptions(customCommand, customCampaign);
    customCommand->footer(
        footerFor("--sender NAME (or QELSMS_SENDER) and FILE, CSV records of number,text (a text\n"
                  "with commas or line breaks in double quotes, \"\" for a quote in it), one a line.\n" +
                  std::string(kAccountNeeded) + "\n" + kScheduleFormat));

    SegmentsArguments segments;
    CLI::App* segmentsCommand =
        app.add_subcommand("segments", "estimate how many SMS parts a text takes (offline)");
    addOptionalString(segmentsCommand, "text", segments.text, "the text");
    addOptionalString(segmentsCommand, "--file", segments.file,
                      "read the text from FILE (- for standard input); one trailing line break is dropped")
        ->type_name("FILE");
    segmentsCommand->footer(footerFor("the text, as an argument or with --file; no account, no network."));

    try {
        if (const auto name = profileName(argc, argv)) {
            const std::filesystem::path path = profilePath(*name);
            if (!std::filesystem::exists(path))
                throw UsageError("no profile \"" + *name + "\": " + path.string() + " does not exist");
            refusePasswordIn(path, *name);
            // Read by CLI11 for every option the command line left unset; a
            // name it doesn't know is an error, not a silent no-op.
            app.set_config("--profile-file", path.string(), "", true)->group("");
            app.allow_config_extras(CLI::config_extras_mode::error);
        }
    } catch (const UsageError& e) {
        std::cerr << "qelsms: " << printable(e.what()) << "\n";
        return kUsage;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kSuccess : kUsage;
    }
    if (senderOption->count() == 0) {
        if (const char* sender = std::getenv("QELSMS_SENDER"); sender != nullptr) global.sender = sender;
    }

    try {
        if (balance->parsed()) return runBalance(global, balancePacing);
        if (sendCommand->parsed()) {
            return sendCampaign.requested() ? runSendCampaign(global, send, false, sendCampaign)
                                            : runSend(global, send, false);
        }
        if (bulkCommand->parsed()) {
            return bulkCampaign.requested() ? runSendCampaign(global, bulk, true, bulkCampaign)
                                            : runSend(global, bulk, true);
        }
        if (customCommand->parsed()) {
            return customCampaign.requested() ? runCustomCampaign(global, custom, customCampaign)
                                              : runCustom(global, custom);
        }
        return runSegments(global, segments);
    } catch (const UsageError& e) {
        std::cerr << "qelsms: " << printable(e.what()) << "\nRun with --help for more information.\n";
    } catch (const InputError& e) {
        std::cerr << "qelsms: " << printable(e.what()) << "\n";
    } catch (const std::exception& e) {
        // Out of memory or threads, say: the request may not have been made.
        std::cerr << "qelsms: " << printable(e.what()) << "\n";
        return kRefused;
    }
    return kUsage;
}
