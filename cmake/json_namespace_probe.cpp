#include <nlohmann/json.hpp>
qelsms_json_namespace=NLOHMANN_JSON_NAMESPACE
