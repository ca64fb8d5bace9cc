#include "individual_results.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace qelsms::sandbox {

std::size_t IndividualResults::write(std::size_t from, std::size_t count, std::string& out) const {
    const std::size_t end = std::min(entries.size(), from + count);
    for (std::size_t i = from; i < end; ++i) {
        const Entry& entry = entries[i];
        nlohmann::ordered_json result = {{"mobileNumber", entry.number}};
        if (entry.sequence == 0) {
            result["status"] = "duplicate";
            result["creditsUsed"] = 0;
        } else {
            result["status"] = held ? "scheduled" : "sent";
            result["messageId"] = messageId + "-" + std::to_string(entry.sequence);
            result["parts"] = entry.parts;
            result["creditsUsed"] = entry.parts;
        }
        if (i != 0) out += ',';
        out += result.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    return end;
}

}  // namespace qelsms::sandbox
