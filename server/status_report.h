// The health report and the metrics of the ports, as the HTTP API serves them. Any thread.
#pragma once

#include <string>

#include "server/port_registry.h"

namespace vsk {

// GET /v1/health: a JSON object; *healthy when every open port answered its latest exchange in
// its time.
std::string HealthJson(CVSKPortManager& ports, bool* healthy);
// GET /metrics: the Prometheus text format.
std::string MetricsText(CVSKPortManager& ports);

}  // namespace vsk
