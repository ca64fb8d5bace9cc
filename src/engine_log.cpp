#include "engine_log.hpp"

#include <openssl/x509.h>

#include <cstdint>
#include <utility>

namespace qelsms::detail {

namespace {

std::string targetOf(CURLU* url, bool post) {
    return std::string(post ? "POST " : "GET ") + loggableURL(url);
}

template <typename T>
T info(CURL* easy, CURLINFO what) {
    T value{};
    if (easy == nullptr || curl_easy_getinfo(easy, what, &value) != CURLE_OK) return T{};
    return value;
}

std::string milliseconds(curl_off_t microseconds) {
    return std::to_string(microseconds / 1000) + " ms";
}

// Bytes, time, peer and connection of a transfer that ran.
std::string transferFacts(CURL* easy) {
    const auto up = info<curl_off_t>(easy, CURLINFO_SIZE_UPLOAD_T);
    const auto down = info<curl_off_t>(easy, CURLINFO_SIZE_DOWNLOAD_T);
    const auto total = info<curl_off_t>(easy, CURLINFO_TOTAL_TIME_T);
    const auto connects = info<long>(easy, CURLINFO_NUM_CONNECTS);
    const char* ip = info<const char*>(easy, CURLINFO_PRIMARY_IP);
    const auto port = info<long>(easy, CURLINFO_PRIMARY_PORT);
    std::string facts =
        std::to_string(up) + " bytes up, " + std::to_string(down) + " bytes down, " + milliseconds(total);
    if (ip != nullptr && *ip != '\0') {
        facts += ", peer ";
        facts += ip;
        // Appended apart: GCC 12 at -O3 sees a false overlap (-Wrestrict) in
        // "literal" + std::string&&, which inserts at the front.
        facts += ':';
        facts += std::to_string(port);
        facts += connects > 0 ? ", new connection" : ", reused connection";
    } else {
        facts += ", no connection";
    }
    return facts;
}

// Why the transport failed, in curl's words and, for a certificate that was
// refused, OpenSSL's.
std::string transportReason(CURL* easy, const ExchangeLog* log, CURLcode result, bool tooLarge) {
    if (tooLarge) return "answer larger than the library accepts";
    std::string reason = log != nullptr && log->errorText[0] != '\0'
                             ? std::string(log->errorText)
                             : std::string(curl_easy_strerror(result));
    reason = scrubbed(reason) + " (curl error " + std::to_string(static_cast<int>(result)) + ")";
    const auto verify = info<long>(easy, CURLINFO_SSL_VERIFYRESULT);
    if (verify != X509_V_OK) {
        reason += "; certificate refused: ";
        reason += X509_verify_cert_error_string(verify);
    }
    const auto connectCode = info<long>(easy, CURLINFO_HTTP_CONNECTCODE);
    if (connectCode >= 300)
        reason += "; the proxy refused the tunnel with status " + std::to_string(connectCode);
    return reason;
}

bool isJsonType(const char* contentType) {
    if (contentType == nullptr) return false;
    std::string_view type(contentType);
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    constexpr std::string_view kJson = "application/json";
    if (type.size() != kJson.size()) return false;
    for (std::size_t i = 0; i < type.size(); ++i) {
        const char c = type[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kJson[i]) return false;
    }
    return true;
}

}  // namespace

std::string loggableURL(CURLU* url) {
    std::string text = urlPart(url, CURLUPART_SCHEME) + "://" + urlPart(url, CURLUPART_HOST);
    const std::string port = urlPart(url, CURLUPART_PORT);
    if (!port.empty()) text += ":" + port;
    const std::string path = urlPart(url, CURLUPART_PATH);
    text += path.empty() ? "/" : path;
    return text;
}

std::string scrubbed(std::string_view text) {
    text = text.substr(0, text.find('?'));
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t scheme = text.find("://", from);
        if (scheme == std::string_view::npos) break;
        const std::size_t authority = scheme + 3;
        const std::size_t end = text.find_first_of("/ \t\"'>", authority);
        const std::size_t at = text.rfind('@', end == std::string_view::npos ? text.size() : end);
        out.append(text.substr(from, authority - from));
        from = (at != std::string_view::npos && at >= authority) ? at + 1 : authority;
    }
    out.append(text.substr(from));
    return out;
}

void emit(const LogHandler& handler, LogLevel level, std::string_view line) noexcept {
    try {
        handler(level, line);
    } catch (...) {
        // The application's handler failed; the exchange goes on regardless.
    }
}

std::unique_ptr<ExchangeLog> logExchangeStart(const Settings& settings, CURL* easy, CURLU* url, bool post,
                                              std::size_t bodyBytes) {
    auto log = std::make_unique<ExchangeLog>();
    log->target = targetOf(url, post);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, log->errorText);
    std::string line = log->target + " started";
    if (post) line += ", " + std::to_string(bodyBytes) + " bytes to send";
    if (settings.proxyForLog == "none") {
        line += ", no proxy";
    } else if (!settings.proxyForLog.empty()) {
        line += ", through proxy " + settings.proxyForLog;
    }
    emit(settings.log, LogLevel::debug, line);
    return log;
}

void logExchangeEnd(const Settings& settings, ExchangeLog* log, CURL* easy, CURLU* url, bool post,
                    CURLcode result, bool tooLarge) {
    const std::string target = log != nullptr ? std::move(log->target) : targetOf(url, post);
    if (log == nullptr || easy == nullptr) {
        emit(settings.log, LogLevel::error, target + " could not be started (out of memory or handles)");
        return;
    }
    if (result != CURLE_OK || tooLarge) {
        emit(
            settings.log, LogLevel::warning,
            target + " failed: " + transportReason(easy, log, result, tooLarge) + "; " + transferFacts(easy));
    } else {
        const auto status = info<long>(easy, CURLINFO_RESPONSE_CODE);
        const char* type = info<const char*>(easy, CURLINFO_CONTENT_TYPE);
        std::string line = target + " -> " + std::to_string(status) + " " +
                           (type != nullptr ? scrubbed(type) : std::string("without Content-Type")) + ", " +
                           transferFacts(easy);
        const bool usable = status >= 200 && status < 300 && isJsonType(type);
        if (!usable) {
            line += status >= 200 && status < 300 ? "; not a JSON answer" : "; refused by the server";
        }
        emit(settings.log, usable ? LogLevel::info : LogLevel::warning, line);
    }
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
}

}  // namespace qelsms::detail

namespace qelsms {

std::string_view toString(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "unknown";
}

}  // namespace qelsms
