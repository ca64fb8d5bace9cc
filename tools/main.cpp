// qelsms: send messages and check the balance of a QelSMS account from a
// shell. Exit status 0 on success, 1 when the request was not processed, 3
// when it may have been, 2 when the command line is not usable; killed by
// SIGINT or SIGTERM after saying what became of the request.
#include <exception>
#include <iostream>
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
    "--password-file. There is deliberately no password option: the shell's\n"
    "history and the process list would show it.";

constexpr const char* kFooter =
    "Options of qelsms itself (--user, --password-file, --base-url, --connect-to,\n"
    "--cacert, --sender, --json, --timeout, --deadline, --verbose) may come before\n"
    "or after the subcommand. Numbers are 8 to 15 digits, optionally after a \"+\".\n"
    "Files may start with a UTF-8 byte order mark.\n\n"
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

// What a subcommand cannot do without, then the tool's own footer.
std::string footerFor(const std::string& requirements) {
    return "Required: " + requirements + "\n\n" + kFooter;
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
    if (!unexpected && !unknownSubcommand) {
        return printable(error.what()) + "\nRun with --help for more information.\n";
    }
    std::string message;
    if (unknownSubcommand) {
        message =
            "unknown subcommand (not shown); the subcommands are balance, send, bulk, custom and segments";
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

}  // namespace

int main(int argc, char** argv) {
    if (mentionsPasswordOption(argc, argv)) {
        std::cerr << "qelsms: there is no --password option; put the password in QELSMS_PASSWORD or in a "
                     "file given with --password-file\n";
        return kUsage;
    }

    CLI::App app(kDescription, "qelsms");
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
    app.add_option("--sender", global.sender, "sender name of the messages")
        ->envname("QELSMS_SENDER")
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

    CLI::App* balance = app.add_subcommand("balance", "show the account's credit balance");
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
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kSuccess : kUsage;
    }

    try {
        if (balance->parsed()) return runBalance(global);
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
