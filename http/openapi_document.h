// The OpenAPI document of the HTTP API, built into the binary from http/openapi.json and the
// failure table (http/openapi.cmake), served at GET /v1/openapi.json.
#pragma once

#include <string_view>

namespace vsk {

std::string_view OpenApiDocument();

}  // namespace vsk
