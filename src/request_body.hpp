// The operations' request bodies, written as JSON text straight from their
// arguments.
#pragma once

#include <string>

#include <qelsms/qelsms.hpp>

namespace qelsms::detail {

// A request body as compact JSON text, or, when it could not be written (a
// string that is not valid UTF-8), the JSON library's description of why.
struct RequestBody {
    std::string json;
    std::string error;
    // Numbers the body sends to: the answer and the exchange may grow with them.
    std::size_t numbers = 0;
};

// The operations' bodies as compact JSON text, written exactly as
// nlohmann::ordered_json would dump the same members in the same order.
RequestBody writeSingleSMSBody(const SingleSMSRequest& request);
RequestBody writeBulkSMSBody(const BulkSMSRequest& request);
// Callers send nothing for an empty MessageDetails.
RequestBody writeCustomSMSBody(const CustomSMSRequest& request);

}  // namespace qelsms::detail
