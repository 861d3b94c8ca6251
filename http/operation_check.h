// The bodies of the day's operations (reports, cash, the clock, the displays), checked before
// the register is asked anything: a body refused names its field, and nothing is sent.
// Internal to http/ (and its tests).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/http_front.h"
#include "http/receipt_desk.h"
#include "rpc/json.h"

namespace vsk {

// The operation a route's body asks for. `route` is the path after /v1/ports/{n}/:
// "reports/x", "reports/z", "reports/periodic", "cash", "clock" (PUT) or "displays". nullopt:
// it may go to the register; else the refusal.
std::optional<HttpReply> CheckOperation(std::string_view route, const Json& body,
                                        DeskOperation* operation);

// The register's clock text (GETD: YYYYMMDDHHMMSS) as the API writes times,
// "YYYY-MM-DDTHH:MM:SS"; "" when it is not one.
std::string ClockText(const std::string& registerClock);

// Days since 1899-12-30 (an automation DATE) of a calendar date.
double AutomationDate(int year, int month, int day);

}  // namespace vsk
