#include "number_check.hpp"

#include <phonenumbers/phonenumberutil.h>

#include <set>

namespace qelsms::cli {

bool isKnownRegion(const std::string& region) {
    std::set<std::string> regions;
    i18n::phonenumbers::PhoneNumberUtil::GetInstance()->GetSupportedRegions(&regions);
    return regions.contains(region);
}

bool isValidNumber(const std::string& number, const std::string& region) {
    const auto* util = i18n::phonenumbers::PhoneNumberUtil::GetInstance();
    i18n::phonenumbers::PhoneNumber parsed;
    if (util->Parse(number, region, &parsed) != i18n::phonenumbers::PhoneNumberUtil::NO_PARSING_ERROR)
        return false;
    return util->IsValidNumber(parsed);
}

}  // namespace qelsms::cli
