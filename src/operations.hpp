// Endpoint composition and request bodies, kept apart from the network so
// they can be tested on their own.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

namespace qelsms::detail {

inline constexpr std::string_view kGetBalancePath = "Credits/GetBalance/?Username=";
inline constexpr std::string_view kSingleSMSPath = "SendSMS/SingleSMS/?Username=";
inline constexpr std::string_view kBulkSMSPath = "SendSMS/BulkSMS/?Username=";
inline constexpr std::string_view kCustomSMSPath = "SendSMS/CustomSMS/?Username=";

// Appends `text` with every byte outside A-Z a-z 0-9 - . _ ~ written as %XX.
void appendPercentEncoded(std::string& out, std::string_view text);

// baseURL + path + user + "&Password=" + password, both credentials
// percent-encoded.
std::string composeEndpoint(std::string_view baseURL, std::string_view path, std::string_view user,
                            std::string_view password);

nlohmann::ordered_json buildSingleSMSBody(const SingleSMSRequest& request);
nlohmann::ordered_json buildBulkSMSBody(const BulkSMSRequest& request);
// Null when the request holds no message: nothing may be sent then.
nlohmann::ordered_json buildCustomSMSBody(const CustomSMSRequest& request);

// Writes the line an empty custom message map gets.
void logEmptySenderList();

}  // namespace qelsms::detail
