// Judging numbers against a country's numbering plan, with libphonenumber;
// only the dry run asks, since the service checks numbers itself.
#pragma once

#include <string>

namespace qelsms::cli {

/// True when `region` is an ISO 3166-1 alpha-2 code libphonenumber knows
/// (upper case, as "QA" or "DE").
bool isKnownRegion(const std::string& region);

/// True when `number` is a valid number: in international form when it
/// starts with "+" or with its country's calling code, else in `region`'s
/// national form.
bool isValidNumber(const std::string& number, const std::string& region);

}  // namespace qelsms::cli
