// Endpoint composition and request bodies, kept apart from the network so
// they can be tested on their own.
#pragma once

#include <string>
#include <string_view>

#include <qelsms/qelsms.hpp>

#include "transports.hpp"

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

// The operations' bodies as compact JSON text, written exactly as
// nlohmann::ordered_json would dump the same members in the same order.
RequestBody writeSingleSMSBody(const SingleSMSRequest& request);
RequestBody writeBulkSMSBody(const BulkSMSRequest& request);
// Callers send nothing for an empty MessageDetails.
RequestBody writeCustomSMSBody(const CustomSMSRequest& request);

// Writes the line an empty custom message map gets.
void logEmptySenderList();

}  // namespace qelsms::detail
