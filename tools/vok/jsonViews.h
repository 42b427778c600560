// The library's records as JSON objects for --json output.
#pragma once

#include <vok/vok.h>

#include <nlohmann/json.hpp>

namespace vokcli {

nlohmann::ordered_json toJson(const VokIdInfo& info);
nlohmann::ordered_json toJson(const VokIdResponse& response);

// Prints a JSON document on stdout, followed by a newline.
void printJson(const nlohmann::ordered_json& document);

}  // namespace vokcli
