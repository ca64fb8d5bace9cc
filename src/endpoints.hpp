// The operations' endpoint URLs: each is the base URL, the operation's path
// and the percent-encoded credentials. Composed by the facade
// (sms_manager.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qelsms::detail {

inline constexpr std::string_view kGetBalancePath = "Credits/GetBalance/?Username=";
inline constexpr std::string_view kSingleSMSPath = "SendSMS/SingleSMS/?Username=";
inline constexpr std::string_view kBulkSMSPath = "SendSMS/BulkSMS/?Username=";
inline constexpr std::string_view kCustomSMSPath = "SendSMS/CustomSMS/?Username=";

// Appends `text` with every byte outside A-Z a-z 0-9 - . _ ~ written as %XX.
void appendPercentEncoded(std::string& out, std::string_view text);

// The inverse, for checking what was encoded: every %XX (either case of hex
// digit) becomes its byte; absent when a '%' starts no such escape.
std::optional<std::string> percentDecoded(std::string_view text);

// baseURL + path + user + "&Password=" + password, both credentials
// percent-encoded.
std::string composeEndpoint(std::string_view baseURL, std::string_view path, std::string_view user,
                            std::string_view password);

}  // namespace qelsms::detail
