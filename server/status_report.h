// The health report and the metrics of the ports, as the HTTP API serves them. Any thread.
#pragma once

#include <string>

#include "ledger/ledger.h"

#include "server/port_registry.h"

namespace vsk {

// GET /v1/health: a JSON object; *healthy when every open port answered its latest exchange in
// its time.
std::string HealthJson(CVSKPortManager& ports, CLedger& ledger, bool* healthy);
// GET /v1/status and the status page's events: the health report with the latest receipts
// and the tail of today's journals.
std::string StatusJson(CVSKPortManager& ports, CLedger& ledger);
// GET /metrics: the Prometheus text format.
std::string MetricsText(CVSKPortManager& ports);

}  // namespace vsk
